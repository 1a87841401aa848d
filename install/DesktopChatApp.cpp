#include "install/DesktopChatApp.h"

#include <string>

#include "common/Files.h"
#include "platform/Platform.h"

namespace {
// Its program lies in the classic installation (%LOCALAPPDATA%\AnthropicClaude\app-1.2.3\Claude.exe)
// or in its Store package (...\WindowsApps\Claude_1.2.3.0_x64__pzs8sxrjxfjjc\app\Claude.exe),
// wherever the Store keeps its packages. Claude Code is a claude.exe of its own elsewhere.
bool IsDesktopChatImage(const std::u16string& image) {
  std::u16string local = Os().EnvironmentVariable(u"LOCALAPPDATA");
  while (!local.empty() && local.back() == u'\\') local.pop_back();
  if (!local.empty() && NameStartsWith(image, local + u"\\AnthropicClaude\\")) return true;
  std::size_t start = 0;
  for (std::size_t end = image.find(u'\\'); end != std::u16string::npos; end = image.find(u'\\', start)) {
    const std::u16string folder = image.substr(start, end - start);
    start = end + 1;
    if (!Os().SameTextOrdinalIgnoreCase(folder, u"WindowsApps")) continue;
    const std::u16string package = image.substr(start, image.find(u'\\', start) - start);
    if (NameStartsWith(package, u"Claude_") && NameEndsWith(package, u"_pzs8sxrjxfjjc")) return true;
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
