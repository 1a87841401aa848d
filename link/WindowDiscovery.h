#pragma once
// Finding the CRM application's main windows: the top-level windows whose class
// and caption fit and whose program lies in the configured folder.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Platform.h"

using TMCPIPCOkna = std::vector<WindowHandle>;

// One window search, handed to the enumeration callback.
struct TSzukanie {
  std::u16string Folder;  // NormalizeFolder of the configured folder
  TMCPIPCOkna Windows;
  std::int32_t OtherCount = 0;  // look-alikes whose program lies elsewhere or is unknown
  std::vector<std::u16string> OtherFolders;  // where those programs lie, each folder once
  std::int32_t RightsCount = 0;  // of the unknown ones, those the bridge's rights do not let it read
};

// The look-alikes of one search: their count, the folders they run from, and how
// many of them hide their program because they run with other rights.
struct TLookAlikes {
  std::int32_t Count = 0;
  std::vector<std::string> Folders;
  std::int32_t RightsCount = 0;
};

// Main windows of the CRM application whose program lies directly in `folder`;
// `lookAlikes` tells the user where the others run, so that -dir can name it.
int FindCrmWindows(const std::string& folder, TMCPIPCOkna& windows, TLookAlikes& lookAlikes);
bool ExamineWindow(WindowHandle window, void* search);
// Slashes as backslashes, the full path, and its long form where the folder exists;
// ends in a backslash.
std::u16string NormalizeFolder(const std::string& folder);
// Empty when the path cannot be read; `stoppedByRights` then tells whether the
// process runs with higher rights than the bridge.
std::u16string ProcessImagePath(WindowHandle window, bool& stoppedByRights);
// The same for a process known by its id.
std::u16string ProgramPath(std::uint32_t processId, bool& stoppedByRights);

// Windows' error when rights stop a step (ERROR_ACCESS_DENIED).
constexpr std::uint32_t kAccessDenied = 5;
// The cause and the cure when the CRM application and the bridge run with
// different rights; a sentence that ends the message, with the error code.
std::string DifferentRightsText();
