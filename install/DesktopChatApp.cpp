#include "install/DesktopChatApp.h"

#include <string>

#include "platform/Platform.h"

namespace {
bool StartsWithIgnoringCase(const std::u16string& text, const std::u16string& start) {
  return text.size() >= start.size() && Os().SameTextOrdinalIgnoreCase(text.substr(0, start.size()), start);
}

bool EndsWithIgnoringCase(const std::u16string& text, const std::u16string& end) {
  return text.size() >= end.size() && Os().SameTextOrdinalIgnoreCase(text.substr(text.size() - end.size()), end);
}

// Its program lies in the classic installation (%LOCALAPPDATA%\AnthropicClaude\app-1.2.3\Claude.exe)
// or in its Store package (...\WindowsApps\Claude_1.2.3.0_x64__pzs8sxrjxfjjc\app\Claude.exe),
// wherever the Store keeps its packages. Claude Code is a claude.exe of its own elsewhere.
bool IsDesktopChatImage(const std::u16string& image) {
  std::u16string local = Os().EnvironmentVariable(u"LOCALAPPDATA");
  while (!local.empty() && local.back() == u'\\') local.pop_back();
  if (!local.empty() && StartsWithIgnoringCase(image, local + u"\\AnthropicClaude\\")) return true;
  std::size_t start = 0;
  for (std::size_t end = image.find(u'\\'); end != std::u16string::npos; end = image.find(u'\\', start)) {
    const std::u16string folder = image.substr(start, end - start);
    start = end + 1;
    if (!Os().SameTextOrdinalIgnoreCase(folder, u"WindowsApps")) continue;
    const std::u16string package = image.substr(start, image.find(u'\\', start) - start);
    if (StartsWithIgnoringCase(package, u"Claude_") && EndsWithIgnoringCase(package, u"_pzs8sxrjxfjjc")) return true;
  }
  return false;
}
}  // namespace

bool DesktopChatAppRuns() {
  for (const ProcessEntry& process : Os().SessionProcesses()) {
    if (!Os().SameTextOrdinalIgnoreCase(process.ExeName, u"claude.exe")) continue;
    const OsHandle handle = Os().OpenProcessLimited(process.Id);
    if (handle == kNullHandle) continue;
    const std::u16string image = Os().QueryFullProcessImageName(handle);
    Os().CloseHandle(handle);
    if (IsDesktopChatImage(image)) return true;
  }
  return false;
}
