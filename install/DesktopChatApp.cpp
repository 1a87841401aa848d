#include "install/DesktopChatApp.h"

#include <string>

#include "common/Files.h"
#include "platform/Platform.h"

namespace {
// Whether the image lies under `folder` + `below`, also where one of them is reached
// through a junction (a profile moved to another disk) or a profile container.
bool LiesIn(const std::u16string& image, const std::u16string& folder, const std::u16string& below) {
  if (NameStartsWith(image, folder + below)) return true;
  const std::u16string finalImage = Os().FinalPathName(image), finalFolder = Os().FinalPathName(folder);
  return !finalImage.empty() && !finalFolder.empty() && NameStartsWith(finalImage, finalFolder + below);
}

// Its program lies in the classic installation (%LOCALAPPDATA%\AnthropicClaude\app-1.2.3\Claude.exe)
// or in its Store package (...\WindowsApps\Claude_1.2.3.0_x64__pzs8sxrjxfjjc\app\Claude.exe),
// wherever the Store keeps its packages. Claude Code is a claude.exe of its own elsewhere.
bool IsDesktopChatImage(const std::u16string& image) {
  std::u16string local = Os().EnvironmentVariable(u"LOCALAPPDATA");
  while (!local.empty() && local.back() == u'\\') local.pop_back();
  if (!local.empty() && LiesIn(image, local, u"\\AnthropicClaude\\")) return true;
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
  const std::string user = Os().CurrentUserSid();
  for (const ProcessEntry& process : Os().Processes()) {
    if (!Os().SameTextOrdinalIgnoreCase(process.ExeName, u"claude.exe")) continue;
    const OsHandle handle = Os().OpenProcessLimited(process.Id);
    if (handle == kNullHandle) continue;
    // Only this user's: another user's client, in a session of theirs, writes a file of theirs.
    const bool ours = user.empty() || Os().ProcessUserSid(handle) == user;
    const std::u16string image = ours ? Os().QueryFullProcessImageName(handle) : std::u16string();
    Os().CloseHandle(handle);
    if (ours && IsDesktopChatImage(image)) return true;
  }
  return false;
}
