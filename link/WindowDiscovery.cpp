#include "link/WindowDiscovery.h"

#include "common/Encodings.h"
#include "common/Text.h"

namespace {
const char kMainWindowClass[] = "TMain";
const char kCaptionPrefix[] = "Orvin ";
constexpr int kNameBuffer = 256;
}  // namespace

std::u16string ProcessImagePath(WindowHandle window, bool& stoppedByRights) {
  stoppedByRights = false;
  return window == 0 ? std::u16string() : ProgramPath(Os().WindowProcessId(window), stoppedByRights);
}

// The least right that tells a program's path: it is all that a program started
// as administrator grants a normal one, and asks nothing that looks like
// reading another program's memory.
std::u16string ProgramPath(std::uint32_t processId, bool& stoppedByRights) {
  stoppedByRights = false;
  if (processId == 0) return std::u16string();
  const OsHandle process = Os().OpenProcessLimited(processId);
  if (process == kNullHandle) {
    stoppedByRights = Os().LastError() == kAccessDenied;
    return std::u16string();
  }
  const std::u16string path = Os().QueryFullProcessImageName(process);
  Os().CloseHandle(process);
  return path;
}

std::u16string NormalizeFolder(const std::string& folder) {
  std::u16string path = Utf8ToWide(folder);
  for (char16_t& unit : path) {
    if (unit == u'/') unit = u'\\';
  }
  // Without its final separator the last segment loses trailing dots and blanks,
  // as Windows drops them when it opens the folder; a root keeps its backslash.
  const std::size_t size = path.size();
  if (size > 1 && path[size - 1] == u'\\' && path[size - 2] != u':' && path[size - 2] != u'\\') path.pop_back();
  const std::u16string full = Os().FullPathName(path);
  if (!full.empty()) path = full;
  const std::u16string longForm = Os().LongPathName(path);
  if (!longForm.empty()) path = longForm;
  if (!path.empty() && path.back() != u'\\') path += u'\\';
  return path;
}

bool ExamineWindow(WindowHandle window, void* context) {
  auto& search = *static_cast<TSzukanie*>(context);
  char caption[kNameBuffer + 1] = {};
  char className[kNameBuffer + 1] = {};
  // The class first: reading a caption sends WM_GETTEXT to windows of the
  // bridge's own process, and to a hung one it would wait.
  if (Os().GetClassName(window, className, kNameBuffer) <= 0) return true;
  if (std::string(className) != kMainWindowClass) return true;
  if (Os().GetWindowText(window, caption, kNameBuffer) <= 0) return true;
  if (std::string(caption).compare(0, sizeof kCaptionPrefix - 1, kCaptionPrefix) != 0) return true;

  bool stoppedByRights = false;
  const std::u16string path = ProcessImagePath(window, stoppedByRights);
  if (path.empty()) {
    ++search.OtherCount;
    if (stoppedByRights) ++search.RightsCount;
    return true;
  }
  std::size_t cut = path.find_last_of(u'\\');
  if (cut == std::u16string::npos) cut = path.find(u':');
  std::u16string folder = cut == std::u16string::npos ? std::u16string() : path.substr(0, cut + 1);
  // A program started through a short (8.3) name reports that name.
  const std::u16string longForm = Os().LongPathName(folder);
  if (!longForm.empty()) folder = longForm;
  if (!folder.empty() && folder.back() != u'\\') folder += u'\\';
  if (Os().SameTextOrdinalIgnoreCase(folder, search.Folder)) {
    search.Windows.push_back(window);
    return true;
  }
  ++search.OtherCount;
  for (const std::u16string& known : search.OtherFolders) {
    if (Os().SameTextOrdinalIgnoreCase(known, folder)) return true;
  }
  search.OtherFolders.push_back(folder);
  return true;
}

int FindCrmWindows(const std::string& folder, TMCPIPCOkna& windows, TLookAlikes& lookAlikes) {
  lookAlikes = TLookAlikes();
  windows.clear();
  if (Trim(folder).empty()) return 0;
  TSzukanie search;
  search.Folder = NormalizeFolder(folder);
  Os().EnumWindows(&ExamineWindow, &search);
  lookAlikes.Count = search.OtherCount;
  lookAlikes.RightsCount = search.RightsCount;
  for (const std::u16string& other : search.OtherFolders) lookAlikes.Folders.push_back(WideToUtf8(other));
  windows = search.Windows;
  return static_cast<int>(windows.size());
}

std::string DifferentRightsText() {
  return "Orvin i OrvinMCP działają z różnymi uprawnieniami (jeden z nich jako administrator). "
         "Uruchom oba tak samo: oba zwyczajnie albo oba jako administrator (kod " + ToDecimal(kAccessDenied) +
         ").";
}
