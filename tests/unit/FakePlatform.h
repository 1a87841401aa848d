#pragma once
// An in-memory Windows for the bridge's logic: a scripted standard input on a
// fake clock, captured output, a file map, scripted CRM windows that answer
// handshakes, and a scripted HTTP endpoint. The active code page is 1250.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"

struct FakeWindow {
  WindowHandle Handle = 0;
  std::string ClassName;
  std::string Caption;
  std::uint32_t ProcessId = 0;
  // Handles a handshake request (the text up to its zero byte); returning false
  // makes the send fail as a time-out would.
  std::function<bool(const std::string& request)> OnCopyData;
  // Not 0: the send fails at once with this error and the window never sees it
  // (5: the window belongs to a program that runs as administrator).
  std::uint32_t SendError = 0;
  // How long the window takes the request (a consent question inside its handler).
  std::uint32_t TakesMs = 0;
};

// A request as the endpoint read it from the socket.
struct FakeHttpRequest {
  int Port = 0;
  std::string Agent;  // the User-Agent header's value
  std::string Verb, Object, Version;
  std::string Headers;  // every header line, each with its CR LF
  std::string Body;
  std::uint32_t AtTick = 0;  // when it arrived whole
};

// Connect: refused (see also RefusedConnects). Send: the request arrived whole,
// then sending failed. Read: receiving fails after ReadFailsAfter body bytes.
enum class HttpFailure { None, Open, Connect, Send, Read };

// The endpoint's answer; it becomes the bytes that receives return.
struct FakeHttpResponse {
  HttpFailure Failure = HttpFailure::None;
  std::uint32_t ErrorCode = 0;
  bool StatusAvailable = true;  // false: the connection closes without a byte
  std::uint32_t Status = 200;
  std::string ContentType = "application/json";
  std::string Body;
  std::size_t ReadFailsAfter = std::string::npos;  // body bytes delivered before a receive fails
  bool DeclaresLength = true;                       // false: the body ends with the connection
  std::size_t DeclaredLength = std::string::npos;  // npos: the body's own length
  bool Chunked = false;                             // the body as one chunk
  std::string Raw;                                  // when set, these bytes instead of all of the above
  // Byte i of the answer (or its end, at i = its length) comes Delay + i * ByteInterval
  // ms after the request was whole; a receive waits for the next up to its time-out.
  std::uint32_t Delay = 0, ByteInterval = 0;
};

class FakePlatform : public Platform {
 public:
  FakePlatform();
  ~FakePlatform() override;

  // Scripting
  void AddInput(const std::string& bytes, std::uint32_t atTick = 0);  // 0: available at once
  void At(std::uint32_t tick, std::function<void()> action);          // runs when the clock passes tick
  FakeWindow& AddCrmWindow(const std::string& imagePath, const std::string& caption = "Orvin CRM",
                           const std::string& className = "TMain");
  // Delivers a handshake answer to the proxy window now, as from within the request.
  void AnswerNow(const std::string& answer);
  // Queues a handshake answer that message pumping delivers `delay` ms from now.
  void AnswerLater(const std::string& answer, std::uint32_t delay, std::uintptr_t tag = 0);
  std::vector<std::string> LogLines() const;  // the error stream, split at CR LF, prefixes removed

  // State tests read and set
  std::vector<std::string> Args;
  std::uint32_t ProcessIdValue = 812;
  std::uint32_t LastErrorValue = 0;
  OsHandle InputHandleValue = 100, OutputHandleValue = 101, ErrorHandleValue = 102;
  FileType ErrorFileType = FileType::Pipe;
  unsigned ConsoleCodePage = 852;
  unsigned ActiveCodePage = 1250;
  std::string Output, ErrorOutput;
  std::uint32_t Tick = 1000;
  LocalTime Time{9, 5, 3, 7};
  char Separator = ':';
  int SleepCalls = 0;
  int StdHandleCalls = 0;
  std::map<std::string, std::string> Files;  // by UTF-8 name
  std::set<std::string> Folders;             // existing folders, by UTF-8 name without a final backslash
  std::set<std::string> UnwritableFiles, ShortWriteFiles, UnreadableFiles;
  std::map<std::string, std::string> Environment;  // by UTF-8 name
  bool FailMove = false;  // both moves fail with MoveError
  std::uint32_t ReplaceError = 0;  // ReplaceFile fails with it; 1176 deletes the target, as ReplaceFileW may
  int Replaces = 0, Flushes = 0;
  std::function<void()> OnCreateFile;  // runs at every file open: a test may make it throw
  std::function<void()> OnMove;        // runs at every move and replace
  std::uint32_t MoveError = 5;
  std::string TempFolder = "C:\\Temp\\";  // UTF-8
  // Errors that the next opens of a file for reading, or the next moves, meet
  // first (another bridge holding the file), one per attempt.
  std::map<std::string, std::deque<std::uint32_t>> ReadOpenConflicts;
  std::deque<std::uint32_t> MoveConflicts;
  // Files held open: replaces, moves onto them and, unless LetsRead, reads fail with
  // Error until the clock reaches Until; Restart Manager names Holders.
  struct FakeHold {
    std::uint32_t Error = 32;
    std::uint32_t Until = 0xFFFFFFFF;
    std::vector<std::u16string> Holders;
    bool LetsRead = false;
  };
  std::map<std::string, FakeHold> HeldFiles;
  std::set<std::string> ReadOnlyFiles;
  // Links and junctions, by path, to where they lead: only FileAttributes and FinalPathName follow them.
  std::map<std::string, std::string> Links;
  std::map<std::string, ObjectSecurity> Security;  // of files and folders, by UTF-8 name
  std::string UserSid = "S-1-5-21-7-7-7-1001";
  std::map<std::string, std::string> UserEnvironment;  // HKCU\Environment, by UTF-8 name

  std::vector<FakeWindow> Windows;
  std::map<std::uint32_t, std::string> ProcessImages;  // UTF-8
  std::map<std::uint32_t, std::string> ProcessUsers;   // a process not in it runs as UserSid

  // Folders: relative paths start here; LongPaths maps a full path of an existing
  // file or folder to its long form (a path not in it does not exist).
  std::u16string CurrentFolder = u"C:\\Work\\";
  std::map<std::u16string, std::u16string> LongPaths;

  // Rights: a protected process (or one of higher rights on a system that
  // grants even less) refuses the limited open with error 5.
  std::set<std::uint32_t> ProtectedProcesses;
  bool Elevated = false;  // the bridge runs as administrator
  WindowHandle CopyDataAllowedFor = 0;
  std::set<std::uint32_t> UnopenableProcesses;
  int EnumCalls = 0;
  std::vector<std::string> WindowQueries;  // "class" and "caption", in the order they were asked
  bool FailRegisterMessage = false;
  bool FailCreateWindow = false;
  std::uint32_t CreateWindowError = 1407;
  WindowHandle ProxyHandle = 0;
  CopyDataHandler ProxyHandler = nullptr;
  CloseHandler ProxyCloseHandler = nullptr;
  bool ProxyDestroyed = false;
  std::vector<std::string> HandshakeRequests;  // each as the CRM window received it
  WindowHandle LastSendFrom = 0;               // the wParam of the last handshake request
  static constexpr std::uint32_t kTag = 0xC0DE;

  std::vector<FakeHttpRequest> HttpRequests;
  std::function<FakeHttpResponse(const FakeHttpRequest&)> Endpoint;
  FakeHttpResponse PreSendFailure;           // Open or Connect failures of every request
  std::deque<std::uint32_t> RefusedConnects;  // the next connections fail with these codes
  std::size_t EndpointTakesAtMost = std::string::npos;  // request bytes; a send beyond waits for its time-out
  std::uint32_t ReadChunkLimit = 64 * 1024;
  std::uint32_t LargestRead = 0;  // the largest buffer a receive was given
  int OpenSockets = 0;
  // The connection tables show the server side of each of the bridge's connections,
  // owned by the process named here for its port, by default the first CRM window's (0: no owner named).
  std::map<std::uint16_t, std::uint32_t> PortOwners;
  bool ServerSideOnIpv6 = false;  // a dual-stack listener's connections show in the IPv6 table
  bool ServerSideListed = true;
  std::uint32_t ConnectionTableError = 0;  // not 0: the tables cannot be read
  std::vector<TTcpConnection> OtherConnections;  // in the IPv4 table
  int ConnectionTableReads = 0;
  static TIpAddress Mapped(std::uint32_t address);

  // The process that started the bridge: kNullHandle when it cannot be opened;
  // it ends when the clock reaches ParentEndsAt (0: never).
  OsHandle ParentHandle = 0x7A7A;
  std::uint32_t ParentEndsAt = 0;
  // Keys typed at the console, one per read; none left: the console's input ended.
  std::deque<char16_t> ConsoleKeys;
  std::uint32_t KeyTypingMs = 0;  // how long a person takes for each key

  // Platform
  std::vector<std::string> CommandLineArguments() override;
  std::uint32_t CurrentProcessId() override;
  std::uint32_t LastError() override;
  OsHandle OpenParentProcess() override;
  bool RunsElevated() override { return Elevated; }
  std::u16string EnvironmentVariable(const std::u16string& name) override;
  std::u16string UserEnvironmentVariable(const std::u16string& name) override;
  std::vector<ProcessEntry> Processes() override;
  std::string ProcessUserSid(OsHandle process) override;
  std::string CurrentUserSid() override { return UserSid; }
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
  std::uint32_t TickCount() override;
  void Sleep(std::uint32_t milliseconds) override;
  LocalTime GetLocalTime() override;
  char TimeSeparator() override;
  unsigned ConsoleOutputCodePage() override;
  std::u16string MultiByteToWide(unsigned codePage, const std::string& text) override;
  std::string WideToMultiByte(unsigned codePage, const std::u16string& text, bool* usedDefault) override;
  bool SameTextIgnoreCase(const std::string& a, const std::string& b) override;
  std::u16string FullPathName(const std::u16string& path) override;
  std::u16string LongPathName(const std::u16string& path) override;
  bool SameTextOrdinalIgnoreCase(const std::u16string& a, const std::u16string& b) override;
  OsHandle OpenProcessLimited(std::uint32_t processId) override;
  std::u16string QueryFullProcessImageName(OsHandle process) override;
  bool AllowCopyDataFromLowerRights(WindowHandle window) override;
  void EnumWindows(WindowVisitor visitor, void* context) override;
  int GetWindowText(WindowHandle window, char* buffer, int size) override;
  int GetClassName(WindowHandle window, char* buffer, int size) override;
  std::uint32_t WindowProcessId(WindowHandle window) override;
  std::uint32_t RegisterWindowMessage(const char* name) override;
  WindowHandle CreateHiddenWindow(const char* className, CopyDataHandler onCopyData, CloseHandler onClose) override;
  void DestroyWindow(WindowHandle window) override;
  bool SendCopyData(WindowHandle target, WindowHandle from, std::uintptr_t tag, const char* data, std::uint32_t size,
                    std::uint32_t timeoutMilliseconds) override;
  bool WindowExists(WindowHandle window) override;
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

  // ---- The event loop, and log writes that never wait ----
  // Work runs on the test's thread when the loop next waits, on a clock of its
  // own: what blocks in it (a slow endpoint, a window that takes its time, input
  // that comes later) moves that clock, and its `done` runs when the fake's
  // clock reaches it. Races are thus decided by the scripted times, exactly.
  int LoopWaits = 0;
  int MostWaitsAtOneTick = 0;  // a loop that spins waits again and again with no time passing
  int InputTouchedWhileReading = 0;  // a read of standard input beside the reader's, or on the loop
  // While set, the error stream's writer holds all it may: blocks are refused.
  bool ErrorWriterFull = false;
  std::uint32_t OutputWriteError = 0;  // not 0: writes to standard output fail with it
  std::function<void(std::uint32_t)> OnOutputWriteFailed;
  int FinishWritesCalls = 0;
  std::uint32_t LastFinishWritesWait = 0;
  void QueueWork(LoopTask work, LoopTask done) override;
  void RunLoopOnce(std::uint32_t timeoutMilliseconds) override;
  void WatchProcessEnd(OsHandle process, LoopTask onEnded) override;
  bool WriteInOrder(OsHandle handle, std::string block, std::size_t holdAtMost) override;
  bool FinishWrites(OsHandle handle, std::uint32_t timeoutMilliseconds) override;
  void WatchWriteFailure(OsHandle handle, std::function<void(std::uint32_t)> onFailed) override;
  // ---- end of the waiting section ----

  bool InputIsConsole = false;
  // An error stream of type Char is a console: the double knows no other character device.
  bool IsConsole(OsHandle handle) override {
    return (InputIsConsole && handle == InputHandleValue) || (handle == ErrorHandleValue && ErrorFileType == FileType::Char);
  }
  // What WriteConsole put on the error stream's console: wide text, as a console holds it.
  std::u16string ErrorConsole;
  bool WriteConsole(OsHandle console, const std::u16string& text) override;
  bool ReadConsoleKey(OsHandle input, char16_t& key) override;

 private:
  struct InputChunk {
    std::uint32_t At;
    std::string Bytes;
    std::size_t Taken = 0;  // an offset, so that large inputs are handed out in linear time
  };
  struct OpenFile {
    std::string Name;
    bool Writable;
    std::size_t Position = 0;
  };
  struct QueuedMessage {
    std::uint32_t At;
    std::uintptr_t Tag;
    std::string Data;
  };
  struct FakeSocket {
    FakeHttpRequest Request;
    bool Connected = false;
    std::string Sent;       // what the bridge wrote, until the request is whole
    bool Answered = false;
    std::string Stream;     // the response bytes
    std::size_t Position = 0;
    std::size_t FailAt = std::string::npos;  // receiving fails here
    std::uint32_t FailCode = 0;
    std::uint32_t ReceiveTimeout = 0, SendTimeout = 0;  // 0: none
    std::uint32_t AnsweredAt = 0, Delay = 0, ByteInterval = 0;
  };

  void AdvanceTo(std::uint32_t tick);
  bool Held(const std::string& name, bool reading = false);
  std::string FileKey(const std::u16string& name);  // the name in Files, Folders and the like
  // kNullHandle with error 5 when `denied`, as Windows answers a process of higher rights.
  OsHandle OpenProcessWithRights(std::uint32_t processId, bool denied);
  const FakeWindow* FindWindow(WindowHandle window) const;
  // A blocking call: on a worker it moves the work's clock, on the loop the fake's own.
  void Block(std::uint32_t until);
  std::uint32_t Now() const { return InWork ? WorkClock : Tick; }
  bool DeliverDueMessage();

  std::deque<InputChunk> Input;
  std::multimap<std::uint32_t, std::function<void()>> Events;
  std::map<OsHandle, OpenFile> OpenFiles;
  std::set<OsHandle> OpenProcesses;
  std::deque<QueuedMessage> Messages;
  std::map<OsHandle, FakeSocket> Sockets;
  OsHandle NextHandle = 5000;
  std::string ConnectHost;
  struct WorkItem {
    LoopTask Work, Done;
    bool Ran = false;
    std::uint32_t DueAt = 0;
    bool ReadsInput = false;
  };
  std::deque<WorkItem> Work;
  bool InWork = false;
  std::uint32_t WorkClock = 0;
  bool WorkReadsInput = false;
  int InputReadsInFlight = 0;
  bool InputReaderStarted = false;
  OsHandle Watched = kNullHandle;
  LoopTask OnWatchedEnded;
  std::uint32_t LastWaitTick = 0;
  int WaitsAtThisTick = 0;
};
