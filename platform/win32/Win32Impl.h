#pragma once
// The Win32 implementation of the platform seam, split by kind of handle as
// libuv's src/win/ is: processes and text, files and streams, windows, sockets,
// and the loop's threads and time. This header is theirs alone.

// Before windows.h, whose A/W macros would rename the seam's methods.
#include "platform/Platform.h"

#include <winsock2.h>
#include <windows.h>

#include <string>

// The seam's method names match Win32 names that windows.h turns into A/W macros.
#undef CreateFile
#undef DeleteFile
#undef GetWindowText
#undef GetClassName
#undef RegisterWindowMessage
#undef QueryFullProcessImageName
#undef ReplaceFile
#undef WriteConsole

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected");

inline HANDLE ToHandle(OsHandle handle) { return reinterpret_cast<HANDLE>(handle); }
inline OsHandle FromHandle(HANDLE handle) { return reinterpret_cast<OsHandle>(handle); }
inline HWND ToWindow(WindowHandle window) { return reinterpret_cast<HWND>(window); }
inline const wchar_t* WideText(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }
inline wchar_t* WideBuffer(std::u16string& buffer) { return reinterpret_cast<wchar_t*>(&buffer[0]); }

// A call that fills a buffer and returns the length it wrote, or the size it
// needs (terminator included) when the buffer is too small.
template <typename Call>
std::u16string WideResult(Call call) {
  std::u16string buffer(MAX_PATH + 1, u'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD length = call(WideBuffer(buffer), static_cast<DWORD>(buffer.size()));
    if (length == 0) return std::u16string();
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    buffer.assign(length + 1, u'\0');
  }
  return std::u16string();
}

// Writes all of it, as far as the handle takes it; false when a write fails.
bool WriteWhole(HANDLE handle, const char* data, std::size_t size);

// Hands `done` from any thread to the loop's thread, which runs it as the `done`
// of finished work; false when the loop has no queue for it. The loop's thread
// prepares the queues first, before any other thread may post.
bool PrepareLoopQueues();
bool PostToLoop(LoopTask done);

class Win32PlatformImpl final : public Platform {
 public:
  // Processes and text (Process.cpp)
  std::vector<std::string> CommandLineArguments() override;
  std::uint32_t CurrentProcessId() override;
  std::uint32_t LastError() override;
  OsHandle OpenParentProcess() override;
  bool RunsElevated() override;
  std::u16string EnvironmentVariable(const std::u16string& name) override;
  std::u16string UserEnvironmentVariable(const std::u16string& name) override;
  std::vector<ProcessEntry> Processes() override;
  unsigned ConsoleOutputCodePage() override;
  std::u16string MultiByteToWide(unsigned codePage, const std::string& text) override;
  std::string WideToMultiByte(unsigned codePage, const std::u16string& text, bool* usedDefault) override;
  bool SameTextIgnoreCase(const std::string& a, const std::string& b) override;
  bool SameTextOrdinalIgnoreCase(const std::u16string& a, const std::u16string& b) override;
  OsHandle OpenProcessLimited(std::uint32_t processId) override;
  std::u16string QueryFullProcessImageName(OsHandle process) override;

  // Files and standard streams (Files.cpp)
  OsHandle StdHandle(StdStream stream) override;
  FileType GetFileType(OsHandle handle) override;
  bool ReadFile(OsHandle handle, char* buffer, std::uint32_t size, std::uint32_t& read) override;
  bool WriteFile(OsHandle handle, const char* data, std::uint32_t size, std::uint32_t& written) override;
  void CloseHandle(OsHandle handle) override;
  OsHandle CreateFile(const std::u16string& name, FileOpen mode) override;
  bool FileSize(OsHandle file, std::uint64_t& size) override;
  bool FlushFile(OsHandle file) override;
  bool FileExists(const std::u16string& name) override;
  bool FolderExists(const std::u16string& name) override;
  bool MoveFileReplace(const std::u16string& from, const std::u16string& to) override;
  bool ReplaceFile(const std::u16string& target, const std::u16string& replacement) override;
  bool DeleteFile(const std::u16string& name) override;
  std::u16string TempPath() override;
  std::uint32_t FileAttributes(const std::u16string& name) override;
  bool MoveFileToNewName(const std::u16string& from, const std::u16string& to) override;
  std::u16string FinalPathName(const std::u16string& name) override;
  bool FileHolders(const std::u16string& name, std::vector<std::u16string>& programs) override;
  bool FileSecurity(const std::u16string& name, ObjectSecurity& security) override;
  std::string CurrentUserSid() override;
  std::string ProcessUserSid(OsHandle process) override;
  std::u16string FullPathName(const std::u16string& path) override;
  std::u16string LongPathName(const std::u16string& path) override;
  bool IsConsole(OsHandle handle) override;
  bool WriteConsole(OsHandle console, const std::u16string& text) override;
  bool ReadConsoleKey(OsHandle input, char16_t& key) override;

  // Windows (Windows.cpp)
  bool AllowCopyDataFromLowerRights(WindowHandle window) override;
  void EnumWindows(WindowVisitor visitor, void* context) override;
  int GetWindowText(WindowHandle window, char* buffer, int size) override;
  int GetClassName(WindowHandle window, char* buffer, int size) override;
  std::uint32_t WindowProcessId(WindowHandle window) override;
  std::uint32_t RegisterWindowMessage(const char* name) override;
  WindowHandle CreateHiddenWindow(const char* className, CopyDataHandler onCopyData, CloseHandler onClose) override;
  void DestroyWindow(WindowHandle window) override;
  bool SendCopyData(WindowHandle target, WindowHandle from, std::uintptr_t tag, const char* data,
                    std::uint32_t size, std::uint32_t timeoutMilliseconds) override;
  bool WindowExists(WindowHandle window) override;

  // Sockets (Sockets.cpp)
  bool SocketStartup() override;
  OsHandle SocketOpen() override;
  bool SocketSetReceiveTimeout(OsHandle socket, std::uint32_t milliseconds) override;
  bool SocketSetSendTimeout(OsHandle socket, std::uint32_t milliseconds) override;
  bool SocketConnect(OsHandle socket, const char* address, std::uint16_t port) override;
  bool SocketSend(OsHandle socket, const char* data, std::uint32_t size, std::uint32_t& sent) override;
  bool SocketReceive(OsHandle socket, char* buffer, std::uint32_t size, std::uint32_t& received) override;
  void SocketClose(OsHandle socket) override;
  bool SocketLocalAddress(OsHandle socket, std::uint32_t& address, std::uint16_t& port) override;
  bool TcpConnections(bool ipv6, std::vector<TTcpConnection>& rows) override;

  // The loop's threads, writers and time (Loop.cpp, Writers.cpp)
  std::uint32_t TickCount() override;
  void Sleep(std::uint32_t milliseconds) override;
  LocalTime GetLocalTime() override;
  char TimeSeparator() override;
  void QueueWork(LoopTask work, LoopTask done) override;
  void RunLoopOnce(std::uint32_t timeoutMilliseconds) override;
  void WatchProcessEnd(OsHandle process, LoopTask onEnded) override;
  bool WriteInOrder(OsHandle handle, std::string block, std::size_t holdAtMost) override;
  bool FinishWrites(OsHandle handle, std::uint32_t timeoutMilliseconds) override;
  void WatchWriteFailure(OsHandle handle, std::function<void(std::uint32_t error)> onFailed) override;
};
