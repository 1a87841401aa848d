#pragma once
// The CRM application as the bridge finds and asks it: its main windows, the
// handshake records and texts, and the sending of one request.

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

// The parsed handshake answer.
struct TMCPIPCOdpowiedz {
  std::string Status;
  std::int32_t Port = 0;
  std::string Token;
  std::string Message;
  std::string Key;
  bool KeySupported = false;
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
void LoadPsapi();

std::uint32_t HandshakeMessageId();
std::string BuildHandshakeRequest(WindowHandle proxyWindow, bool background);
bool SendHandshakeRequest(WindowHandle target, std::uint32_t tag, const std::string& text,
                          std::uint32_t timeoutMilliseconds);
// The answer comes in the ANSI code page; its fields are the bridge's UTF-8 text.
TMCPIPCOdpowiedz ParseHandshakeReply(const std::string& ansi);
bool ParseKeyLine(const std::string& line, std::string& key);

// Windows' error when rights stop a step (ERROR_ACCESS_DENIED).
constexpr std::uint32_t kAccessDenied = 5;
// The cause and the cure when the CRM application and the bridge run with
// different rights; a sentence that ends the message, with the error code.
std::string DifferentRightsText();

// Forgets the psapi look-up and the registered tag, as at process start.
void ResetCrmDiscovery();
