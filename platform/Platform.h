#pragma once
// The one seam between the bridge and the operating system. The exe installs the
// Win32 implementation; unit tests install a double. Each call is a thin image of
// one Windows call (or of a fixed two-step idiom such as a size query and a
// conversion), so the logic above keeps every decision the bridge makes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using OsHandle = std::uintptr_t;      // kernel object, file, process or socket handle
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
  CreateNewExclusive,     // GENERIC_READ|GENERIC_WRITE, no sharing, CREATE_NEW: fails when the file exists
  ReadExistingShared      // GENERIC_READ, FILE_SHARE_READ|FILE_SHARE_DELETE, OPEN_EXISTING
};

// GetFileAttributesW's answer: FILE_ATTRIBUTE_* bits, or kNoAttributes when it fails.
constexpr std::uint32_t kNoAttributes = 0xFFFFFFFF;  // INVALID_FILE_ATTRIBUTES
constexpr std::uint32_t kAttributeReadOnly = 0x1;
constexpr std::uint32_t kAttributeDirectory = 0x10;
constexpr std::uint32_t kAttributeReparsePoint = 0x400;  // a symbolic link, a junction

// A process, as a toolhelp snapshot lists it.
struct ProcessEntry {
  std::uint32_t Id = 0;
  std::u16string ExeName;  // the image's file name, without its folder
};

// One entry of a DACL. Allowing entries include callback ones; other kinds do not occur on files.
struct AccessEntry {
  bool Allows = true;        // allowed, or denied
  bool InheritOnly = false;  // INHERIT_ONLY_ACE: only for what is created in the folder
  std::uint32_t Mask = 0;
  std::string Sid;  // in string form, "S-1-5-32-544"
  bool FilesInherit = false;  // OBJECT_INHERIT_ACE: files put into the folder get it
};

// Who owns a file or folder and what its DACL grants.
struct ObjectSecurity {
  std::string Owner;      // SID in string form
  bool NullDacl = false;  // no DACL at all: everyone may do anything (FAT, say)
  std::vector<AccessEntry> Entries;
};

struct LocalTime {
  int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

// Called for every WM_COPYDATA that reaches the bridge's hidden window. `data` is
// the block the sender delivered (null when lpData was null) and `size` its cbData.
// Returning false lets the platform's default window procedure handle the message.
using CopyDataHandler = bool (*)(std::uintptr_t tag, const char* data, std::size_t size);
// Called when the hidden window is asked to close (WM_CLOSE, as `taskkill` without
// /F sends it) or the session ends; the window itself stays.
// `sessionEnds`: WM_ENDSESSION, after which Windows may end the process as soon as
// the handler returns.
using CloseHandler = void (*)(bool sessionEnds);

// One row of the system's tables of TCP connections. Addresses are 16 bytes in
// network order; an IPv4 row's are given IPv4-mapped (::ffff:a.b.c.d), the form
// in which the IPv6 table shows a dual-stack socket's IPv4 connections.
using TIpAddress = std::array<std::uint8_t, 16>;
struct TTcpConnection {
  TIpAddress LocalAddress{};
  std::uint16_t LocalPort = 0;
  TIpAddress RemoteAddress{};
  std::uint16_t RemotePort = 0;
  std::uint32_t ProcessId = 0;  // of the local end; 0: the table names no owner
};

using WindowVisitor = bool (*)(WindowHandle window, void* context);

// A piece of work for the event loop; see QueueWork.
using LoopTask = std::function<void()>;

class Platform {
 public:
  virtual ~Platform() = default;

  // Process
  // Argument 0 is the full path of the running executable, the rest as the
  // platform split the command line (quotes removed), in UTF-8.
  virtual std::vector<std::string> CommandLineArguments() = 0;
  virtual std::uint32_t CurrentProcessId() = 0;
  virtual std::uint32_t LastError() = 0;
  // The process that started this one, opened only to wait for its end; kNullHandle
  // when it cannot be found or opened, or when it was created after this one
  // (its process id was reused after it ended).
  virtual OsHandle OpenParentProcess() = 0;
  // The process runs elevated (TokenElevation), as administrator.
  virtual bool RunsElevated() = 0;
  // GetEnvironmentVariableW; empty when it is not set.
  virtual std::u16string EnvironmentVariable(const std::u16string& name) = 0;
  // A variable of the user's persistent environment (HKCU\Environment, RegGetValueW):
  // REG_SZ, or REG_EXPAND_SZ expanded; empty when it is not set.
  virtual std::u16string UserEnvironmentVariable(const std::u16string& name) = 0;
  // The processes of every session (CreateToolhelp32Snapshot): a user may have another
  // session on the same machine, and other users have theirs.
  virtual std::vector<ProcessEntry> Processes() = 0;
  // The user a process runs as (OpenProcessToken, TokenUser), as a SID in string form;
  // empty when it cannot be read, as for most processes of other users.
  virtual std::string ProcessUserSid(OsHandle process) = 0;
  // The user this process runs as (TokenUser), as a SID in string form; empty when it fails.
  virtual std::string CurrentUserSid() = 0;

  // Standard streams and files
  virtual OsHandle StdHandle(StdStream stream) = 0;
  virtual FileType GetFileType(OsHandle handle) = 0;
  virtual bool ReadFile(OsHandle handle, char* buffer, std::uint32_t size, std::uint32_t& read) = 0;
  virtual bool WriteFile(OsHandle handle, const char* data, std::uint32_t size, std::uint32_t& written) = 0;
  virtual void CloseHandle(OsHandle handle) = 0;
  // Files by wide names (the W calls), so that any user's folder names hold.
  virtual OsHandle CreateFile(const std::u16string& name, FileOpen mode) = 0;  // kInvalidHandle on failure
  virtual bool FileSize(OsHandle file, std::uint64_t& size) = 0;
  virtual bool FlushFile(OsHandle file) = 0;  // FlushFileBuffers
  virtual bool FileExists(const std::u16string& name) = 0;    // an existing file, not a folder
  virtual bool FolderExists(const std::u16string& name) = 0;  // an existing folder
  // MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH: in one step, and on the disk when it returns.
  virtual bool MoveFileReplace(const std::u16string& from, const std::u16string& to) = 0;
  // ReplaceFileW without a backup: `replacement` takes the place of the existing
  // `target` in one step and keeps its attributes and rights.
  virtual bool ReplaceFile(const std::u16string& target, const std::u16string& replacement) = 0;
  virtual bool DeleteFile(const std::u16string& name) = 0;
  virtual std::u16string TempPath() = 0;  // GetTempPathW; empty when it fails
  virtual std::uint32_t FileAttributes(const std::u16string& name) = 0;  // GetFileAttributesW
  // MOVEFILE_WRITE_THROUGH without MOVEFILE_REPLACE_EXISTING: fails (ERROR_ALREADY_EXISTS)
  // where `to` exists, so that nothing that appeared there meanwhile is replaced.
  virtual bool MoveFileToNewName(const std::u16string& from, const std::u16string& to) = 0;
  // Where the name of an existing file or folder leads through every symbolic link and
  // junction: GetFinalPathNameByHandleW (normalized, with its drive letter) of a handle
  // opened with no access, as it gives it, \\?\C:\... or \\?\UNC\server\...: file
  // calls take that form, and names made from it, past MAX_PATH. Empty when it fails.
  virtual std::u16string FinalPathName(const std::u16string& name) = 0;
  // The programs that hold the file open, by the names Windows shows for them (Restart
  // Manager: RmGetList, from rstrtmgr.dll in System32, loaded only for this call).
  // False when Windows cannot tell.
  virtual bool FileHolders(const std::u16string& name, std::vector<std::u16string>& programs) = 0;
  // Owner and DACL (GetNamedSecurityInfoW); false when they cannot be read.
  virtual bool FileSecurity(const std::u16string& name, ObjectSecurity& security) = 0;

  // Time
  // Milliseconds that do not count while the computer sleeps (QueryUnbiasedInterruptTime,
  // low 32 bits): no deadline runs out while a laptop is closed. Waits of the system
  // count the same way since Windows 8.
  virtual std::uint32_t TickCount() = 0;
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

  // Folders as users write them, and the programs behind windows (wide text)
  // GetFullPathNameW; empty when it fails.
  virtual std::u16string FullPathName(const std::u16string& path) = 0;
  // GetLongPathNameW; empty when it fails (for one, when the path does not exist).
  virtual std::u16string LongPathName(const std::u16string& path) = 0;
  // CompareStringOrdinal with bIgnoreCase, whole strings: how file names compare.
  virtual bool SameTextOrdinalIgnoreCase(const std::u16string& a, const std::u16string& b) = 0;
  // OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION): the least that tells a program's
  // path, and all that Windows grants on a process that runs with higher rights.
  // kNullHandle on failure, LastError then tells why.
  virtual OsHandle OpenProcessLimited(std::uint32_t processId) = 0;
  // QueryFullProcessImageNameW; empty when it fails.
  virtual std::u16string QueryFullProcessImageName(OsHandle process) = 0;
  // ChangeWindowMessageFilterEx(WM_COPYDATA, MSGFLT_ALLOW): programs of lower rights
  // may send the window WM_COPYDATA. False when it fails.
  virtual bool AllowCopyDataFromLowerRights(WindowHandle window) = 0;

  // Windows
  virtual void EnumWindows(WindowVisitor visitor, void* context) = 0;
  virtual int GetWindowText(WindowHandle window, char* buffer, int size) = 0;
  virtual int GetClassName(WindowHandle window, char* buffer, int size) = 0;
  virtual std::uint32_t WindowProcessId(WindowHandle window) = 0;  // 0 when unknown
  virtual std::uint32_t RegisterWindowMessage(const char* name) = 0;  // 0 on failure
  // Registers the class (its result is not examined) and creates a hidden
  // top-level window of it; 0 on failure, LastError then tells why.
  virtual WindowHandle CreateHiddenWindow(const char* className, CopyDataHandler onCopyData,
                                          CloseHandler onClose) = 0;
  virtual void DestroyWindow(WindowHandle window) = 0;
  // SendMessageTimeoutA(WM_COPYDATA, wParam `from`, SMTO_ABORTIFHUNG | SMTO_ERRORONEXIT);
  // true when it returned non-zero, otherwise LastError tells why (5 when Windows
  // keeps the message from a program with higher rights). A target that is
  // destroyed meanwhile ends the call at once.
  virtual bool SendCopyData(WindowHandle target, WindowHandle from, std::uintptr_t tag, const char* data,
                            std::uint32_t size, std::uint32_t timeoutMilliseconds) = 0;
  virtual bool WindowExists(WindowHandle window) = 0;  // IsWindow

  // Winsock, blocking sockets; false or kInvalidHandle on failure, LastError then
  // tells why (WSAGetLastError).
  virtual bool SocketStartup() = 0;  // WSAStartup 2.2; later calls do nothing
  // socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) with TCP_NODELAY, so that a request
  // sent in two parts leaves at once.
  virtual OsHandle SocketOpen() = 0;
  // SO_RCVTIMEO and SO_SNDTIMEO: a blocking receive or send fails with WSAETIMEDOUT
  // after this time (0: never), and the connection is of no further use.
  virtual bool SocketSetReceiveTimeout(OsHandle socket, std::uint32_t milliseconds) = 0;
  virtual bool SocketSetSendTimeout(OsHandle socket, std::uint32_t milliseconds) = 0;
  // A dotted IPv4 address. Where Windows can (SIO_TCP_INITIAL_RTO), a refused
  // connection fails at once instead of after repeated SYNs.
  virtual bool SocketConnect(OsHandle socket, const char* address, std::uint16_t port) = 0;
  virtual bool SocketSend(OsHandle socket, const char* data, std::uint32_t size, std::uint32_t& sent) = 0;
  // `received` 0: the other side closed the connection in order.
  virtual bool SocketReceive(OsHandle socket, char* buffer, std::uint32_t size, std::uint32_t& received) = 0;
  virtual void SocketClose(OsHandle socket) = 0;  // closesocket
  // getsockname of a connected socket: its own IPv4 address (host byte order) and port.
  virtual bool SocketLocalAddress(OsHandle socket, std::uint32_t& address, std::uint16_t& port) = 0;
  // GetExtendedTcpTable(AF_INET, or AF_INET6 when `ipv6`, TCP_TABLE_OWNER_PID_CONNECTIONS)
  // of iphlpapi, which is loaded on first use from System32 alone; false when the
  // table cannot be read, LastError then tells why.
  virtual bool TcpConnections(bool ipv6, std::vector<TTcpConnection>& rows) = 0;

  // The event loop, after libuv: the loop's thread owns all state and never
  // blocks; blocking work runs on worker threads and hands its result back.
  //
  // Runs `work` on a worker thread of its own (idle workers are reused), then
  // `done` on the loop's thread inside a later RunLoopOnce. Work items run side
  // by side; `work` must touch nothing that the loop's thread touches meanwhile.
  virtual void QueueWork(LoopTask work, LoopTask done) = 0;
  // Waits until work has finished, a window message arrives, a watched process
  // ends or the time-out passes; answers the thread's window messages and runs
  // the `done` of every finished work item, in the order they finished.
  virtual void RunLoopOnce(std::uint32_t timeoutMilliseconds) = 0;
  // From now on the loop also waits for the end of this process; `onEnded` then
  // runs once on the loop's thread.
  virtual void WatchProcessEnd(OsHandle process, LoopTask onEnded) = 0;

  // Writes that never wait: each handle has a writer thread that writes the
  // blocks it is given whole and in order, so that a reader that stops reading
  // stops only that thread.
  // Hands the block over (moved, never copied); false, with nothing of it written,
  // when `holdAtMost` is not 0 and the writer holds that much that its handle has
  // not taken yet. Where no writer can be started, the block is written at once.
  virtual bool WriteInOrder(OsHandle handle, std::string block, std::size_t holdAtMost) = 0;
  // Waits at most the time-out for the handle's writer to write all it holds;
  // true when it has.
  virtual bool FinishWrites(OsHandle handle, std::uint32_t timeoutMilliseconds) = 0;
  // From now on every write of the handle's writer that fails runs `onFailed` with
  // its error on the loop's thread, as the `done` of finished work runs: only the
  // caller knows which errors end what it watches for.
  virtual void WatchWriteFailure(OsHandle handle, std::function<void(std::uint32_t error)> onFailed) = 0;

  // GetConsoleMode succeeds: a console, unlike NUL, which is a character device too.
  virtual bool IsConsole(OsHandle handle) = 0;
  // WriteConsoleW, again for the rest after a partial write: the console shows
  // every character whatever its output code page. False when a write fails.
  virtual bool WriteConsole(OsHandle console, const std::u16string& text) = 0;
  // One key typed at the console, without waiting for Enter (the console's line
  // input and echo are off for the read). False when nothing more can be read.
  virtual bool ReadConsoleKey(OsHandle input, char16_t& key) = 0;
};

// The platform in force for this process.
Platform& Os();
void SetPlatform(Platform* platform);
