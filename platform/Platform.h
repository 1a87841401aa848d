#pragma once
// The one seam between the bridge and the operating system. The exe installs the
// Win32 implementation; unit tests install a double. Each call is a thin image of
// one Windows call (or of a fixed two-step idiom such as a size query and a
// conversion), so the logic above keeps every decision the bridge makes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using OsHandle = std::uintptr_t;      // kernel object, file, process or WinINet handle
using WindowHandle = std::uintptr_t;  // HWND

constexpr OsHandle kNullHandle = 0;
constexpr OsHandle kInvalidHandle = ~OsHandle(0);  // INVALID_HANDLE_VALUE

constexpr unsigned kCodePageAnsi = 0;      // CP_ACP
constexpr unsigned kCodePageUtf8 = 65001;  // CP_UTF8

enum class StdStream { Input, Output, Error };

// GetFileType's answers; Char is FILE_TYPE_CHAR (2): a console or another character device.
enum class FileType { Unknown = 0, Disk = 1, Char = 2, Pipe = 3 };

enum class FileOpen {
  CreateAlwaysExclusive,  // GENERIC_READ|GENERIC_WRITE, no sharing, CREATE_ALWAYS
  ReadExistingShared      // GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING
};

struct LocalTime {
  int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

// Called for every WM_COPYDATA that reaches the bridge's hidden window. `data` is
// the block the sender delivered (null when lpData was null) and `size` its cbData.
// Returning false lets the platform's default window procedure handle the message.
using CopyDataHandler = bool (*)(std::uintptr_t tag, const char* data, std::size_t size);

using WindowVisitor = bool (*)(WindowHandle window, void* context);

// What a wait for standard input ended with; see WaitForInputOrMessages.
enum class InputWait { Ready, TimedOut, Unavailable };

class Platform {
 public:
  virtual ~Platform() = default;

  // Process
  // Argument 0 is the full path of the running executable, the rest as the
  // platform split the command line (quotes removed), in the ANSI code page.
  virtual std::vector<std::string> CommandLineArguments() = 0;
  virtual std::uint32_t CurrentProcessId() = 0;
  virtual std::uint32_t LastError() = 0;

  // Standard streams and files
  virtual OsHandle StdHandle(StdStream stream) = 0;
  virtual FileType GetFileType(OsHandle handle) = 0;
  virtual bool PeekPipe(OsHandle pipe, std::uint32_t& available) = 0;  // PeekNamedPipe, total only
  virtual bool ReadFile(OsHandle handle, char* buffer, std::uint32_t size, std::uint32_t& read) = 0;
  virtual bool WriteFile(OsHandle handle, const char* data, std::uint32_t size, std::uint32_t& written) = 0;
  virtual void CloseHandle(OsHandle handle) = 0;
  virtual OsHandle CreateFile(const std::string& name, FileOpen mode) = 0;  // kInvalidHandle on failure
  virtual bool FileSize(OsHandle file, std::uint64_t& size) = 0;
  virtual bool FileExists(const std::string& name) = 0;  // an existing file, not a folder
  virtual bool MoveFileReplace(const std::string& from, const std::string& to) = 0;  // MOVEFILE_REPLACE_EXISTING
  virtual bool DeleteFile(const std::string& name) = 0;
  virtual std::string TempPath() = 0;  // GetTempPathA; empty when it fails

  // Time
  virtual std::uint32_t TickCount() = 0;       // GetTickCount
  virtual std::uint32_t MultimediaTime() = 0;  // timeGetTime
  virtual void Sleep(std::uint32_t milliseconds) = 0;
  virtual LocalTime GetLocalTime() = 0;
  virtual char TimeSeparator() = 0;  // of the user's regional settings

  // Text
  virtual unsigned ConsoleOutputCodePage() = 0;
  // MultiByteToWideChar / WideCharToMultiByte with no flags; an empty result when
  // the size query gives zero or less. `usedDefault`, when not null, tells whether
  // the code page's default character had to stand in.
  virtual std::u16string MultiByteToWide(unsigned codePage, const std::string& text) = 0;
  virtual std::string WideToMultiByte(unsigned codePage, const std::u16string& text, bool* usedDefault) = 0;
  // CompareStringA, LOCALE_USER_DEFAULT, NORM_IGNORECASE, whole strings.
  virtual bool SameTextIgnoreCase(const std::string& a, const std::string& b) = 0;

  // Windows
  virtual void EnumWindows(WindowVisitor visitor, void* context) = 0;
  virtual int GetWindowText(WindowHandle window, char* buffer, int size) = 0;
  virtual int GetClassName(WindowHandle window, char* buffer, int size) = 0;
  virtual std::uint32_t WindowProcessId(WindowHandle window) = 0;  // 0 when unknown
  // OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ); kNullHandle on failure.
  virtual OsHandle OpenProcessForQuery(std::uint32_t processId) = 0;
  // Loads psapi.dll and looks up GetModuleFileNameExA; true when it is available.
  virtual bool LoadPsapi() = 0;
  // GetModuleFileNameExA for the main module; only after LoadPsapi gave true.
  virtual std::uint32_t ModuleFileNameEx(OsHandle process, char* buffer, std::uint32_t size) = 0;
  virtual std::uint32_t RegisterWindowMessage(const char* name) = 0;  // 0 on failure
  // Registers the class (its result is not examined) and creates a hidden
  // top-level window of it; 0 on failure, LastError then tells why.
  virtual WindowHandle CreateHiddenWindow(const char* className, CopyDataHandler handler) = 0;
  virtual void DestroyWindow(WindowHandle window) = 0;
  // SendMessageTimeoutA(WM_COPYDATA, wParam 0, SMTO_ABORTIFHUNG); true when it returned non-zero.
  virtual bool SendCopyData(WindowHandle target, std::uintptr_t tag, const char* data, std::uint32_t size,
                            std::uint32_t timeoutMilliseconds) = 0;
  // PeekMessageA(PM_REMOVE) for all windows of the thread, then Translate and
  // Dispatch; false when the queue was empty.
  virtual bool PumpOneMessage() = 0;

  // WinINet, synchronous; null handles on failure, LastError then tells why.
  virtual OsHandle InternetOpen(const char* agent) = 0;  // INTERNET_OPEN_TYPE_DIRECT, no proxy
  virtual OsHandle InternetConnect(OsHandle root, const char* host, int port) = 0;  // INTERNET_SERVICE_HTTP
  virtual OsHandle HttpOpenRequest(OsHandle connection, const char* verb, const char* object, const char* version,
                                   std::uint32_t flags) = 0;
  virtual void InternetSetOption(OsHandle handle, std::uint32_t option, std::uint32_t value) = 0;
  virtual bool HttpSendRequest(OsHandle request, const std::string& headers, const std::string& body) = 0;
  // HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER
  virtual bool HttpQueryStatusCode(OsHandle request, std::uint32_t& status) = 0;
  // HTTP_QUERY_CONTENT_LENGTH; false when the response declared no length.
  virtual bool HttpQueryContentLength(OsHandle request, std::uint64_t& length) = 0;
  virtual bool InternetReadFile(OsHandle request, char* buffer, std::uint32_t size, std::uint32_t& read) = 0;
  virtual void InternetCloseHandle(OsHandle handle) = 0;

  // Waiting for standard input without polling, and log writes that never wait.
  //
  // Waits up to the time-out for bytes (or the end) on the pipe, answering the
  // thread's window messages meanwhile. A zero-byte ReadFile on a helper thread
  // watches the pipe; it is started when none is pending. Ready: it returned, so
  // the pipe may be peeked and read. TimedOut: it is still pending, and the pipe
  // must not be touched until a later wait gives Ready, since Windows serialises
  // I/O on a synchronous handle. Unavailable: no helper could be started, nothing
  // was waited for, and every later call says the same.
  virtual InputWait WaitForInputOrMessages(OsHandle pipe, std::uint32_t timeoutMilliseconds) = 0;
  // Hands the whole block to a writer thread of the handle, in order; false, with
  // nothing of it written, while the writer holds too much that its handle has not
  // taken yet. While the handle keeps up, returns once the block is written (or a
  // short time has passed). Where no writer can be started, the block is written
  // at once.
  virtual bool WriteWithoutWaiting(OsHandle handle, const char* data, std::uint32_t size) = 0;
  // Lets the writer finish what it holds, waiting at most the time-out.
  virtual void FinishWritesWithoutWaiting(std::uint32_t timeoutMilliseconds) = 0;
};

// The platform in force for this process.
Platform& Os();
void SetPlatform(Platform* platform);
