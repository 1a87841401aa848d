// Smoke test of the real Win32 platform, run under Wine with the Polish locale
// (active ANSI code page 1250). Expects two arguments: "a b" and "zażółć".

#include <cstdio>
#include <string>
#include <vector>

#include "platform/Win32Platform.h"

#include <winsock2.h>
#include <windows.h>
// The seam's method names match Win32 names that windows.h turns into A/W macros.
#undef CreateFile
#undef DeleteFile
#undef GetClassName
#undef GetWindowText
#undef RegisterWindowMessage
#undef QueryFullProcessImageName
#undef ReplaceFile

namespace {

int g_passed = 0;
int g_failed = 0;

void Check(bool condition, const char* what) {
  if (condition) {
    ++g_passed;
  } else {
    ++g_failed;
    std::printf("FAIL: %s\n", what);
  }
}

// "zażółć gęślą jaźń" in code page 1250, in UTF-8 and in UTF-16.
const std::string kAnsi = "za\xBF\xF3\xB3\xE6 g\xEA\x9Cl\xB9 ja\x9F\xF1";
const std::string kUtf8 = "za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87 g\xC4\x99\xC5\x9Bl\xC4\x85 ja\xC5\xBA\xC5\x84";
const std::u16string kWide = u"za\u017C\u00F3\u0142\u0107 g\u0119\u015Bl\u0105 ja\u017A\u0144";

void CheckText(Platform& os) {
  Check(os.MultiByteToWide(kCodePageAnsi, kAnsi) == kWide, "ANSI 1250 to UTF-16");
  Check(os.MultiByteToWide(kCodePageUtf8, kUtf8) == kWide, "UTF-8 to UTF-16");
  Check(os.WideToMultiByte(kCodePageUtf8, kWide, nullptr) == kUtf8, "UTF-16 to UTF-8");
  bool usedDefault = true;
  Check(os.WideToMultiByte(kCodePageAnsi, kWide, &usedDefault) == kAnsi && !usedDefault, "UTF-16 to ANSI 1250");
  Check(os.MultiByteToWide(kCodePageAnsi, "").empty(), "empty text converts to empty text");

  const std::u16string chinese = u"\u4E2D";  // not in code page 1250
  usedDefault = false;
  std::string ansi = os.WideToMultiByte(kCodePageAnsi, chinese, &usedDefault);
  Check(usedDefault && ansi == "?", "missing character takes the default character");
  usedDefault = true;
  Check(os.WideToMultiByte(kCodePageUtf8, chinese, &usedDefault) == "\xE4\xB8\xAD" && !usedDefault,
        "UTF-8 conversion with the default-character question still works");

  Check(os.SameTextIgnoreCase("ZA\xAF\xD3\xA3\xC6", "za\xBF\xF3\xB3\xE6"), "Polish letters compare ignoring case");
  Check(!os.SameTextIgnoreCase("abc", "abd"), "different texts differ");
  Check(!os.SameTextIgnoreCase("abc", "abcd"), "a prefix is not the same text");
  Check(os.TimeSeparator() == ':', "time separator");
}

void CheckArguments(Platform& os) {
  std::vector<std::string> arguments = os.CommandLineArguments();
  Check(arguments.size() == 3, "two arguments expected");
  if (arguments.empty()) return;
  const std::string& self = arguments[0];
  Check(self.size() > 7 && self[1] == ':' && self[2] == '\\', "argument 0 is a full path");
  Check(self.size() > 4 && os.SameTextIgnoreCase(self.substr(self.size() - 4), ".exe"), "argument 0 ends in .exe");
  if (arguments.size() != 3) return;
  Check(arguments[1] == "a b", "argument with a blank");
  Check(arguments[2] == "za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87", "argument in UTF-8");
}

std::u16string Digits(std::uint32_t value) {
  const std::string text = std::to_string(value);
  return std::u16string(text.begin(), text.end());
}

void CheckFiles(Platform& os) {
  std::u16string temp = os.TempPath();
  Check(!temp.empty() && temp.back() == u'\\', "temporary folder ends in a backslash");
  Check(!os.FileExists(temp), "a folder is not a file");
  // A name that no ANSI code page holds whole: Cyrillic and Polish letters.
  std::u16string name = temp + u"OrvinPlatformSmoke_\u042E\u043B\u0438\u044F_\u0142_" + Digits(os.CurrentProcessId());
  std::u16string moved = name + u".moved";
  const char content[] = "first\0line\r\n";
  const std::uint32_t size = sizeof content - 1;

  OsHandle file = os.CreateFile(name, FileOpen::CreateAlwaysExclusive);
  Check(file != kInvalidHandle, "create file");
  if (file == kInvalidHandle) return;
  std::uint32_t written = 0;
  Check(os.WriteFile(file, content, size, written) && written == size, "write file");
  Check(os.CreateFile(name, FileOpen::ReadExistingShared) == kInvalidHandle, "a file created exclusively is not shared");
  os.CloseHandle(file);

  Check(os.FileExists(name), "file exists");
  file = os.CreateFile(name, FileOpen::ReadExistingShared);
  Check(file != kInvalidHandle, "open file for reading");
  std::uint64_t fileSize = 0;
  Check(os.FileSize(file, fileSize) && fileSize == size, "file size");
  char buffer[64] = {};
  std::uint32_t read = 0;
  Check(os.ReadFile(file, buffer, sizeof buffer, read) && read == size && std::string(buffer, read) ==
        std::string(content, size), "read back the exact bytes");
  os.CloseHandle(file);

  OsHandle other = os.CreateFile(moved, FileOpen::CreateAlwaysExclusive);
  os.CloseHandle(other);
  Check(os.MoveFileReplace(name, moved), "move over an existing file");
  Check(!os.FileExists(name) && os.FileExists(moved), "the file moved");
  file = os.CreateFile(moved, FileOpen::ReadExistingShared);
  Check(os.FileSize(file, fileSize) && fileSize == size, "the moved file has the content");
  os.CloseHandle(file);
  file = os.CreateFile(moved, FileOpen::ReadExistingShared);
  Check(os.DeleteFile(moved), "a reader lets others delete the file");
  os.CloseHandle(file);
  Check(!os.FileExists(moved), "deleted once the reader closed it");
  file = os.CreateFile(moved, FileOpen::CreateAlwaysExclusive);
  os.CloseHandle(file);
  Check(os.DeleteFile(moved) && !os.FileExists(moved), "delete file");
  Check(os.CreateFile(moved, FileOpen::ReadExistingShared) == kInvalidHandle, "a missing file does not open");

  // Another program's file: a new one never overwrites, and the replace keeps the target's place.
  file = os.CreateFile(name, FileOpen::CreateNewExclusive);
  Check(file != kInvalidHandle && os.WriteFile(file, "new", 3, written) && os.FlushFile(file), "create, write, flush");
  os.CloseHandle(file);
  Check(os.CreateFile(name, FileOpen::CreateNewExclusive) == kInvalidHandle && os.LastError() == 80,
        "CREATE_NEW refuses an existing file");
  file = os.CreateFile(moved, FileOpen::CreateAlwaysExclusive);
  os.WriteFile(file, "older", 5, written);
  os.CloseHandle(file);
  Check(os.ReplaceFile(moved, name) && !os.FileExists(name), "ReplaceFileW puts the new file in place");
  file = os.CreateFile(moved, FileOpen::ReadExistingShared);
  Check(os.ReadFile(file, buffer, sizeof buffer, read) && std::string(buffer, read) == "new", "with its content");
  os.CloseHandle(file);
  Check(!os.ReplaceFile(name, moved), "nothing to replace: ReplaceFileW fails");
  os.DeleteFile(moved);
  Check(os.FolderExists(temp) && !os.FolderExists(moved), "a folder is a folder, a missing one is none");
  Check(!os.EnvironmentVariable(u"TEMP").empty() && os.EnvironmentVariable(u"ORVIN_NO_SUCH_VARIABLE").empty(),
        "environment variables");
}

// What -install asks of another program's file, its folder, the user and the session.
void CheckInstallCalls(Platform& os) {
  const std::u16string temp = os.TempPath();
  const std::u16string name = temp + u"OrvinPlatformSmoke_\u0142_" + Digits(os.CurrentProcessId());
  const std::u16string other = name + u".other";
  for (const std::u16string& file : {name, other}) os.CloseHandle(os.CreateFile(file, FileOpen::CreateNewExclusive));
  Check(!os.MoveFileToNewName(other, name) && os.LastError() == 183 && os.DeleteFile(name) &&
            os.MoveFileToNewName(other, name) && !os.FileExists(other),
        "a move to a new name leaves an existing file alone and takes a free name");
  SetFileAttributesW(reinterpret_cast<const wchar_t*>(name.c_str()), FILE_ATTRIBUTE_READONLY);
  Check(os.FileAttributes(name) & kAttributeReadOnly, "a read-only file says so");
  SetFileAttributesW(reinterpret_cast<const wchar_t*>(name.c_str()), FILE_ATTRIBUTE_NORMAL);
  const std::u16string final = os.FinalPathName(name);
  Check(final.compare(0, 4, u"\\\\?\\") == 0 && final[5] == u':' &&
            os.SameTextOrdinalIgnoreCase(u"\\\\?\\" + os.LongPathName(name), final),
        "the final path of a file, in the form that takes file calls past MAX_PATH");
  const std::u16string folder = final + u".d", deep = folder + u"\\" + std::u16string(250, u'k');
  CreateDirectoryW(reinterpret_cast<const wchar_t*>(folder.c_str()), nullptr);
  os.CloseHandle(os.CreateFile(deep, FileOpen::CreateNewExclusive));
  Check(os.DeleteFile(deep) && RemoveDirectoryW(reinterpret_cast<const wchar_t*>(folder.c_str())), "a name past MAX_PATH");
  Check(os.FinalPathName(other).empty() && os.FileAttributes(other) == kNoAttributes, "a missing file has none");
  std::vector<std::u16string> holders{u"x"};
  Check(os.FileHolders(name, holders) && holders.empty(), "Restart Manager, loaded from System32, names nobody");
  os.DeleteFile(name);
  ObjectSecurity security;  // the user's own temporary folder
  Check(os.FileSecurity(temp, security) && security.Owner == os.CurrentUserSid() && !security.Entries.empty() &&
            security.Owner.rfind("S-1-5-", 0) == 0,
        "the user's SID, and the owner and the DACL of a folder");
  const wchar_t value[] = L"%SystemRoot%\\x";  // in the user's environment only for this check
  RegSetKeyValueW(HKEY_CURRENT_USER, L"Environment", L"ORVIN_SMOKE", REG_EXPAND_SZ, value, sizeof value);
  Check(os.UserEnvironmentVariable(u"ORVIN_SMOKE") == os.EnvironmentVariable(u"SystemRoot") + u"\\x",
        "the user's environment, expanded");
  RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Environment", L"ORVIN_SMOKE");
  bool self = false;
  for (const ProcessEntry& process : os.Processes()) {
    self |= process.Id == os.CurrentProcessId() && os.SameTextOrdinalIgnoreCase(process.ExeName, u"PlatformSmoke.exe");
  }
  Check(self, "the processes, this one among them by its name");
}

void CheckFolders(Platform& os) {
  Check(os.FullPathName(u"C:/windows/./Temp/../system32.") == u"C:\\windows\\system32",
        "GetFullPathNameW: slashes, dot segments and a trailing dot");
  Check(os.FullPathName(u"").empty(), "no full path of an empty text");
  Check(!os.LongPathName(u"C:\\windows").empty(), "an existing folder has a long form");
  Check(os.LongPathName(u"C:\\no such folder\\x").empty(), "a missing folder has none");
  Check(os.SameTextOrdinalIgnoreCase(u"C:\\ZA\u017B\u00D3\u0141\u0106", u"c:\\za\u017C\u00F3\u0142\u0107"),
        "file names compare ignoring case, Polish letters too");
  Check(!os.SameTextOrdinalIgnoreCase(u"C:\\a", u"C:\\a\\"), "a trailing backslash makes another text");
}

std::uintptr_t g_receivedTag = 0;
std::string g_received;
int g_calls = 0;
int g_closes = 0;

void OnClose(bool sessionEnds) { g_closes += sessionEnds ? 10 : 1; }

bool OnCopyData(std::uintptr_t tag, const char* data, std::size_t size) {
  ++g_calls;
  g_receivedTag = tag;
  g_received.assign(data != nullptr ? data : "", data != nullptr ? size : 0);
  return true;
}

struct Search {
  WindowHandle wanted;
  bool found;
};

bool Visit(WindowHandle window, void* context) {
  Search* search = static_cast<Search*>(context);
  if (window == search->wanted) search->found = true;
  return true;
}

void CheckWindows(Platform& os) {
  std::uint32_t tag = os.RegisterWindowMessage("OrvinMCPMsg");
  Check(tag != 0, "RegisterWindowMessage");
  Check(os.RegisterWindowMessage("OrvinMCPMsg") == tag, "the same name gives the same message");

  WindowHandle window = os.CreateHiddenWindow("OrvinPlatformSmokeWnd", OnCopyData, OnClose);
  Check(window != 0, "create hidden window");
  if (window == 0) return;

  os.AllowCopyDataFromLowerRights(window);  // what Wine makes of the filter is not Windows' answer: no check
  const char message[] = "1\r\n42\r\n0\r\nMCP=\0tail";
  Check(os.SendCopyData(window, window, tag, message, sizeof message, 5000), "SendCopyData to the own window");
  Check(g_calls == 1 && g_receivedTag == tag && g_received == std::string(message, sizeof message),
        "the handler got the tag and the exact bytes");
  Check(!os.SendCopyData(0, window, tag, message, sizeof message, 1000), "SendCopyData to no window fails");
  SendMessageA(reinterpret_cast<HWND>(window), WM_CLOSE, 0, 0);
  Check(g_closes == 1 && os.WindowExists(window), "WM_CLOSE asks the bridge to end, and the window stays");
  SendMessageA(reinterpret_cast<HWND>(window), WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
  Check(g_closes == 11, "WM_ENDSESSION tells that the session ends");

  Search search{window, false};
  os.EnumWindows(Visit, &search);
  Check(search.found, "EnumWindows sees the hidden window");
  char className[64] = {};
  Check(os.GetClassName(window, className, sizeof className) > 0 &&
            std::string(className) == "OrvinPlatformSmokeWnd", "class name");
  char caption[16] = {'x'};
  Check(os.GetWindowText(window, caption, sizeof caption) == 0 && caption[0] == '\0', "empty caption");
  Check(os.WindowProcessId(window) == os.CurrentProcessId(), "window process id");

  OsHandle process = os.OpenProcessLimited(os.CurrentProcessId());
  Check(process != kNullHandle, "open own process with limited rights");
  const std::u16string path = process != kNullHandle ? os.QueryFullProcessImageName(process) : std::u16string();
  Check(!path.empty() && os.WideToMultiByte(kCodePageUtf8, path, nullptr) == os.CommandLineArguments()[0],
        "QueryFullProcessImageNameW gives the own executable");
  if (process != kNullHandle) os.CloseHandle(process);
  Check(os.OpenProcessLimited(0) == kNullHandle && os.LastError() == 87, "a failed open tells why");

  // A worker's send waits while the loop's thread takes the message in: the handshake's way.
  bool sent = false, done = false;
  const int calls = g_calls;
  os.QueueWork([&] { sent = os.SendCopyData(window, window, tag, message, sizeof message, 5000); },
               [&] { done = true; });
  const std::uint32_t start = os.TickCount();
  while (!done && os.TickCount() - start < 5000) os.RunLoopOnce(1000);
  Check(done && sent && g_calls == calls + 1, "a worker's send reaches the window through the loop");
  Check(os.WindowExists(window), "IsWindow sees the hidden window");
  os.DestroyWindow(window);
  Check(!os.WindowExists(window), "and not once it is destroyed");
  search.found = false;
  os.EnumWindows(Visit, &search);
  Check(!search.found, "a destroyed window is gone");
}

void CheckSockets(Platform& os) {
  Check(os.SocketStartup(), "WSAStartup");
  OsHandle socket = os.SocketOpen();
  Check(socket != kInvalidHandle, "a TCP socket");
  if (socket == kInvalidHandle) return;
  Check(os.SocketSetReceiveTimeout(socket, 2000), "a receive time-out");
  Check(!os.SocketConnect(socket, "127.0.0.1", 9), "connecting to a closed port fails");  // discard port: nothing listens
  Check(os.LastError() == 10061, "the failure is WSAECONNREFUSED");
  os.SocketClose(socket);

  // A listener that never accepts: the connection is made, and nobody reads.
  SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  bool sending = bind(listener, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(listener, 1) == 0 &&
                 getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  static char block[65536];
  std::uint32_t sent = 0;
  socket = os.SocketOpen();
  sending = sending && os.SocketConnect(socket, "127.0.0.1", ntohs(address.sin_port)) &&
            os.SocketSetSendTimeout(socket, 300);
  // The server side of this connection: local end the listener's, remote end ours.
  std::uint32_t ownAddress = 0;
  std::uint16_t ownPort = 0;
  Check(os.SocketLocalAddress(socket, ownAddress, ownPort) && ownAddress == INADDR_LOOPBACK && ownPort != 0,
        "getsockname gives the connection's own end");
  const TIpAddress loopback = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1};
  bool listed = false, tables = true;
  std::vector<TTcpConnection> rows;
  for (bool ipv6 : {false, true}) {
    tables = os.TcpConnections(ipv6, rows) && tables;
    for (const TTcpConnection& row : rows) {
      listed = listed || (row.LocalAddress == loopback && row.LocalPort == ntohs(address.sin_port) &&
                          row.RemoteAddress == loopback && row.RemotePort == ownPort &&
                          (row.ProcessId == os.CurrentProcessId() || row.ProcessId == 0));  // Wine names no owner
    }
  }
  Check(tables, "both connection tables can be read, from iphlpapi in System32");
  Check(listed, "they hold the server side of our connection");
  for (int i = 0; i < 10000 && sending; ++i) sending = os.SocketSend(socket, block, sizeof block, sent);
  Check(!sending && os.LastError() == 10060, "a send that nobody reads ends after its time-out with WSAETIMEDOUT");
  os.SocketClose(socket);
  closesocket(listener);
}

void CheckTime(Platform& os) {
  std::uint32_t tick = os.TickCount();
  os.Sleep(50);
  Check(os.TickCount() - tick >= 30, "the tick counter advances over a sleep");
  LocalTime now = os.GetLocalTime();
  Check(now.Hour < 24 && now.Minute < 60 && now.Second < 61 && now.Millisecond < 1000, "local time");
}

// ---- The event loop, and log writes that never wait ----

OsHandle FromWin32(HANDLE handle) { return reinterpret_cast<OsHandle>(handle); }

bool Peek(HANDLE pipe, std::uint32_t& available) {
  DWORD total = 0;
  const bool ok = PeekNamedPipe(pipe, nullptr, 0, nullptr, &total, nullptr) != 0;
  available = total;
  return ok;
}

// Blocking reads on workers, side by side, and a loop that wakes as each one ends.
void CheckLoop(Platform& os) {
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, nullptr, 0)) {
    Check(false, "CreatePipe");
    return;
  }
  // Work that ended during the last dispatch may leave one wake-up behind, no more.
  bool waited = false;
  for (int i = 0; i < 2 && !waited; ++i) {
    const std::uint32_t before = os.TickCount();
    os.RunLoopOnce(100);
    waited = os.TickCount() - before >= 80;
  }
  Check(waited, "with nothing to do the loop waits out its time");
  std::uint32_t start = 0;

  char byte = 0;
  std::uint32_t read = 0;
  int finished = 0;
  bool readOk = false;
  os.QueueWork([&] { readOk = os.ReadFile(FromWin32(readEnd), &byte, 1, read); }, [&] { ++finished; });
  os.QueueWork([&] { os.Sleep(300); }, [&] { ++finished; });
  os.QueueWork([&] { os.Sleep(300); }, [&] { ++finished; });
  start = os.TickCount();
  while (finished < 2 && os.TickCount() - start < 5000) os.RunLoopOnce(1000);
  Check(finished == 2 && os.TickCount() - start < 550, "two sleeping workers end side by side, a blocked read aside");
  std::uint32_t written = 0;
  os.WriteFile(FromWin32(writeEnd), "x", 1, written);
  start = os.TickCount();
  while (finished < 3 && os.TickCount() - start < 5000) os.RunLoopOnce(5000);
  Check(finished == 3 && readOk && read == 1 && byte == 'x' && os.TickCount() - start < 1000,
        "the loop wakes at once when the blocked read gets its byte");
  CloseHandle(writeEnd);
  CloseHandle(readEnd);
}

// Reads what the pipe holds until the writer has nothing more to give.
std::string Drain(Platform& os, HANDLE readEnd, OsHandle writeEnd) {
  std::string out;
  static char buffer[65536];
  for (;;) {
    std::uint32_t available = 0, read = 0;
    if (!Peek(readEnd, available)) break;
    if (available == 0) {
      os.FinishWrites(writeEnd, 200);
      if (!Peek(readEnd, available) || available == 0) break;
    }
    if (!os.ReadFile(FromWin32(readEnd), buffer, sizeof buffer, read) || read == 0) break;
    out.append(buffer, read);
  }
  return out;
}

// Blocks of 1000 bytes into a pipe that nobody reads: refused once the writer
// holds enough (the log's way), never stuck, and only whole blocks come out.
// Without a limit (standard output's way), 4 MB are taken at once all the same.
void CheckWritesThatNeverWait(Platform& os) {
  HANDLE readEnd = nullptr, writeEnd = nullptr, bigRead = nullptr, bigWrite = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, nullptr, 0) || !CreatePipe(&bigRead, &bigWrite, nullptr, 0)) {
    Check(false, "CreatePipe");
    return;
  }
  const OsHandle pipe = FromWin32(writeEnd);
  int taken = 0;
  for (int i = 0; i < 2000; ++i) {
    if (!os.WriteInOrder(pipe, std::string(1000, static_cast<char>('a' + i % 26)), 256 * 1024)) break;
    ++taken;
  }
  Check(taken > 0 && taken < 2000, "a pipe nobody reads refuses blocks after a while");
  const std::string out = Drain(os, readEnd, pipe);
  bool whole = out.size() == static_cast<std::size_t>(taken) * 1000;
  for (std::size_t i = 0; whole && i < out.size(); ++i) whole = out[i] == static_cast<char>('a' + (i / 1000) % 26);
  Check(whole, "every block taken arrives whole and in order");
  Check(os.WriteInOrder(pipe, "y", 256 * 1024), "a drained pipe takes blocks again");

  const OsHandle big = FromWin32(bigWrite);
  const std::uint32_t start = os.TickCount();
  os.WriteInOrder(big, std::string(4 << 20, 'z'), 0);
  os.WriteInOrder(big, "\n", 0);
  Check(os.TickCount() - start < 100 && !os.FinishWrites(big, 100), "4 MB for a reader that does not read: no wait");
  const std::string line = Drain(os, bigRead, big);
  Check(line.size() == (4u << 20) + 1 && line.back() == '\n', "and all of it arrives once it reads");

  // A pipe whose reader is gone fails a write of no bytes at once, and its writer reports its failure to the loop.
  std::uint32_t written = 0;
  Check(os.WriteFile(pipe, "", 0, written), "a write of no bytes while the reader is there");
  CloseHandle(readEnd);
  Check(!os.WriteFile(pipe, "", 0, written) && os.LastError() == ERROR_NO_DATA, "fails once the reader is gone");
  std::uint32_t failure = 0;
  os.WatchWriteFailure(pipe, [&failure](std::uint32_t error) { failure = error; });
  os.WriteInOrder(pipe, "z", 0);
  for (int i = 0; i < 50 && failure == 0; ++i) os.RunLoopOnce(100);
  Check(failure == ERROR_NO_DATA, "the writer's failure reaches the loop");
  CloseHandle(writeEnd);
  CloseHandle(bigRead);
  CloseHandle(bigWrite);
}
// ---- end of the waiting section ----

}  // namespace

int main() {
  Platform& os = Win32Platform();
  SetPlatform(&os);
  CheckText(Os());
  CheckArguments(Os());
  CheckFiles(Os());
  CheckFolders(Os());
  CheckInstallCalls(Os());
  CheckWindows(Os());
  CheckSockets(Os());
  CheckTime(Os());
  CheckLoop(Os());
  CheckWritesThatNeverWait(Os());
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
