#include "link/MCPIPCU.h"

#include <cstdlib>

#include "common/AICommon.h"
#include "common/AICommonUtf8.h"
#include "core/CommandLine.h"

namespace {
const char kMainWindowClass[] = "TMain";
const char kCaptionPrefix[] = "Orvin ";
const char kTagName[] = "OrvinMCPMsg";
constexpr int kNameBuffer = 256;

struct PsapiSupport {
  bool Tried = false;
  bool Available = false;
};

PsapiSupport Psapi;
std::uint32_t HandshakeTag = 0;

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string current;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(current);
      current.clear();
      i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
    } else {
      current += c;
      ++i;
    }
  }
  if (!current.empty()) lines.push_back(current);
  return lines;
}

// A whole decimal integer with an optional sign; false otherwise or out of range.
bool ParseWholeInteger(const std::string& text, std::int32_t& value) {
  std::size_t i = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
  if (i >= text.size() || text.size() - i > 10) return false;
  for (std::size_t k = i; k < text.size(); ++k) {
    if (text[k] < '0' || text[k] > '9') return false;
  }
  const long long parsed = std::strtoll(text.c_str(), nullptr, 10);
  if (parsed < INT32_MIN || parsed > INT32_MAX) return false;
  value = static_cast<std::int32_t>(parsed);
  return true;
}
}  // namespace

void ResetCrmDiscovery() {
  Psapi = PsapiSupport();
  HandshakeTag = 0;
}

void LoadPsapi() {
  if (Psapi.Tried) return;
  Psapi.Tried = true;
  Psapi.Available = Os().LoadPsapi();
}

std::u16string ProcessImagePath(WindowHandle window, bool& stoppedByRights) {
  stoppedByRights = false;
  if (window == 0) return std::u16string();
  LoadPsapi();
  if (!Psapi.Available) return std::u16string();
  const std::uint32_t processId = Os().WindowProcessId(window);
  if (processId == 0) return std::u16string();
  OsHandle process = Os().OpenProcessForQuery(processId);
  std::u16string path;
  if (process != kNullHandle) {
    path = Os().ModuleFileNameEx(process);
    if (path.empty()) path = Os().QueryFullProcessImageName(process);
    Os().CloseHandle(process);
    return path;
  }
  if (Os().LastError() != kAccessDenied) return path;
  // A program started as administrator lets a normal one ask only for its name.
  process = Os().OpenProcessLimited(processId);
  if (process == kNullHandle) {
    stoppedByRights = Os().LastError() == kAccessDenied;
    return path;
  }
  path = Os().QueryFullProcessImageName(process);
  Os().CloseHandle(process);
  stoppedByRights = path.empty();  // a system without the call: the denied open tells why
  return path;
}

std::u16string NormalizeFolder(const std::string& folder) {
  std::u16string path = TextToWide(folder);
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
  if (Os().GetWindowText(window, caption, kNameBuffer) <= 0) return true;
  if (Os().GetClassName(window, className, kNameBuffer) <= 0) return true;
  if (std::string(className) != kMainWindowClass) return true;
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
  for (const std::u16string& other : search.OtherFolders) lookAlikes.Folders.push_back(WideToText(other));
  windows = search.Windows;
  return static_cast<int>(windows.size());
}

std::string DifferentRightsText() {
  return Ansi("Orvin i OrvinMCP działają z różnymi uprawnieniami (jeden z nich jako administrator). ") +
         Ansi("Uruchom oba tak samo: oba zwyczajnie albo oba jako administrator (kod ") + ToDecimal(kAccessDenied) +
         ").";
}

std::uint32_t HandshakeMessageId() {
  if (HandshakeTag == 0) HandshakeTag = Os().RegisterWindowMessage(kTagName);
  return HandshakeTag;
}

// The CRM application reads and writes its handshake texts in the ANSI code page.
std::string BuildHandshakeRequest(WindowHandle proxyWindow, bool background) {
  return "1\r\n" + ToDecimal(static_cast<std::uint64_t>(proxyWindow)) + "\r\n" + (background ? "1" : "0") +
         "\r\nMCP=" + Utf8ToAnsi(GetMcpKey());
}

bool SendHandshakeRequest(WindowHandle target, std::uint32_t tag, const std::string& text,
                          std::uint32_t timeoutMilliseconds) {
  if (target == 0 || tag == 0) return false;
  // The terminating zero byte travels with the text.
  return Os().SendCopyData(target, tag, text.c_str(), static_cast<std::uint32_t>(text.size() + 1),
                           timeoutMilliseconds);
}

bool ParseKeyLine(const std::string& line, std::string& key) {
  key.clear();
  if (line.compare(0, 4, "MCP=") != 0) return false;
  key = Trim(line.substr(4));
  return true;
}

TMCPIPCOdpowiedz ParseHandshakeReply(const std::string& ansi) {
  TMCPIPCOdpowiedz reply;
  const std::vector<std::string> lines = SplitLines(AnsiToUtf8(ansi));
  if (lines.empty()) {
    reply.Status = "ERROR";
    reply.Message = Ansi("Pusta odpowiedź z Orvina.");
    return reply;
  }
  reply.Status = Trim(lines[0]);
  if (lines.size() > 1) ParseWholeInteger(Trim(lines[1]), reply.Port);
  if (lines.size() > 2) reply.Token = Trim(lines[2]);
  if (lines.size() > 3) reply.Message = Trim(lines[3]);
  if (lines.size() > 4) reply.KeySupported = ParseKeyLine(lines[4], reply.Key);
  return reply;
}
