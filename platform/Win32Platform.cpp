#include "platform/Win32Platform.h"

#include <winsock2.h>
#include <mstcpip.h>
#include <windows.h>
#include <shellapi.h>
#include <mmsystem.h>

#include <atomic>
#include <cstdlib>
#include <cwchar>
#include <deque>
#include <string>

// The seam's method names match Win32 names that windows.h turns into A/W macros.
#undef CreateFile
#undef DeleteFile
#undef GetWindowText
#undef GetClassName
#undef RegisterWindowMessage
#undef QueryFullProcessImageName

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected");

// Windows 10 1709 and later; older SDK headers lack them.
#ifndef SIO_TCP_INITIAL_RTO
#define SIO_TCP_INITIAL_RTO _WSAIOW(IOC_VENDOR, 17)
#define TCP_INITIAL_RTO_NO_SYN_RETRANSMISSIONS ((UCHAR)-2)
typedef struct _TCP_INITIAL_RTO_PARAMETERS {
  USHORT Rtt;
  UCHAR MaxSynRetransmissions;
} TCP_INITIAL_RTO_PARAMETERS;
#endif

namespace {

CopyDataHandler g_copyDataHandler = nullptr;

HANDLE ToHandle(OsHandle handle) { return reinterpret_cast<HANDLE>(handle); }
OsHandle FromHandle(HANDLE handle) { return reinterpret_cast<OsHandle>(handle); }
HWND ToWindow(WindowHandle window) { return reinterpret_cast<HWND>(window); }
SOCKET ToSocket(OsHandle handle) { return static_cast<SOCKET>(handle); }

bool SetSocketTimeout(OsHandle socket, int option, std::uint32_t milliseconds) {
  DWORD value = milliseconds;
  return setsockopt(ToSocket(socket), SOL_SOCKET, option, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

LRESULT CALLBACK HiddenWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COPYDATA && lParam != 0 && g_copyDataHandler != nullptr) {
    const COPYDATASTRUCT* cds = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (g_copyDataHandler(cds->dwData, static_cast<const char*>(cds->lpData), cds->cbData)) return 1;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

struct EnumContext {
  WindowVisitor visitor;
  void* context;
};

BOOL CALLBACK EnumTrampoline(HWND window, LPARAM lParam) {
  const EnumContext* enumContext = reinterpret_cast<const EnumContext*>(lParam);
  enumContext->visitor(reinterpret_cast<WindowHandle>(window), enumContext->context);
  return TRUE;
}

// Windows refuses lpUsedDefaultChar for these code pages: the call would fail.
bool RejectsUsedDefaultChar(unsigned codePage) {
  switch (codePage) {
    case 42: case 50220: case 50221: case 50222: case 50225: case 50227: case 50229:
    case 65000: case 65001:
      return true;
    default:
      return codePage >= 57002 && codePage <= 57011;
  }
}

// The bridge's own text is UTF-8: the command line is read wide and converted.
std::string WideToUtf8(const wchar_t* text, std::size_t length) {
  if (length == 0) return std::string();
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string result(static_cast<std::size_t>(bytes), '\0');
  bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &result[0], bytes, nullptr, nullptr);
  result.resize(bytes > 0 ? static_cast<std::size_t>(bytes) : 0);
  return result;
}

std::string ModuleFileName() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0) return std::string();
    if (length < path.size()) return WideToUtf8(path.c_str(), length);
    path.resize(path.size() * 2);  // truncated
  }
}

// Folders and the programs behind windows, in wide text. The calls that older
// systems lack are looked up at run time, so the exe still starts there.
using GetModuleFileNameExWProc = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);
using CompareStringOrdinalProc = int(WINAPI*)(LPCWCH, int, LPCWCH, int, BOOL);
using QueryFullProcessImageNameWProc = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);
using ChangeWindowMessageFilterExProc = BOOL(WINAPI*)(HWND, UINT, DWORD, void*);

constexpr DWORD kProcessQueryLimitedInformation = 0x1000;  // PROCESS_QUERY_LIMITED_INFORMATION
constexpr DWORD kMessageFilterAllow = 1;                    // MSGFLT_ALLOW

GetModuleFileNameExWProc g_getModuleFileNameExW = nullptr;

const wchar_t* WideText(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }
wchar_t* WideBuffer(std::u16string& buffer) { return reinterpret_cast<wchar_t*>(&buffer[0]); }

FARPROC Kernel32Function(const char* name) {
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  return kernel32 == nullptr ? nullptr : GetProcAddress(kernel32, name);
}

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

std::u16string UpperCase(std::u16string text) {
  if (!text.empty()) CharUpperBuffW(WideBuffer(text), static_cast<DWORD>(text.size()));
  return text;
}

// ---- Waiting for standard input, and log writes that never wait ----

// Workers take work from one queue and put it, finished, on another; the loop
// waits for the second one's event beside its window messages. A worker that
// finds the queue empty waits for more, so bursts reuse threads.
struct WorkItem {
  LoopTask Work, Done;
};

struct WorkerPool {
  CRITICAL_SECTION Lock;
  HANDLE Queued = nullptr;    // semaphore: one count per item in Waiting
  HANDLE Finished = nullptr;  // auto-reset: Done holds items for the loop
  std::deque<WorkItem> Waiting, Done;  // guarded by Lock
  int IdleWorkers = 0;                 // guarded by Lock
};

WorkerPool g_pool;
bool g_poolReady = false;

bool PreparePool() {
  if (g_poolReady) return true;
  InitializeCriticalSection(&g_pool.Lock);
  g_pool.Queued = CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, nullptr);
  g_pool.Finished = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  g_poolReady = g_pool.Queued != nullptr && g_pool.Finished != nullptr;
  return g_poolReady;
}

DWORD WINAPI RunWorker(LPVOID) {
  for (;;) {
    if (WaitForSingleObject(g_pool.Queued, INFINITE) != WAIT_OBJECT_0) return 0;
    EnterCriticalSection(&g_pool.Lock);
    --g_pool.IdleWorkers;
    WorkItem item = std::move(g_pool.Waiting.front());
    g_pool.Waiting.pop_front();
    LeaveCriticalSection(&g_pool.Lock);
    item.Work();
    item.Work = nullptr;  // what it captured goes before the loop sees the result
    EnterCriticalSection(&g_pool.Lock);
    g_pool.Done.push_back(std::move(item));
    ++g_pool.IdleWorkers;
    LeaveCriticalSection(&g_pool.Lock);
    SetEvent(g_pool.Finished);
  }
}

// Without a pool or a thread the work runs at once, on the loop's thread: late, but never lost.
void QueueOnPool(LoopTask work, LoopTask done) {
  if (!PreparePool()) {
    work();
    done();
    return;
  }
  EnterCriticalSection(&g_pool.Lock);
  g_pool.Waiting.push_back({std::move(work), std::move(done)});
  bool started = true;
  if (g_pool.IdleWorkers < static_cast<int>(g_pool.Waiting.size())) {
    HANDLE thread = CreateThread(nullptr, 256 * 1024, RunWorker, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread != nullptr) {
      ::CloseHandle(thread);
      ++g_pool.IdleWorkers;
    } else {
      started = g_pool.IdleWorkers > 0;
    }
  }
  WorkItem item;
  if (!started) {
    item = std::move(g_pool.Waiting.back());
    g_pool.Waiting.pop_back();
  }
  LeaveCriticalSection(&g_pool.Lock);
  if (!started) {
    item.Work();
    item.Done();
    return;
  }
  ReleaseSemaphore(g_pool.Queued, 1, nullptr);
}

// Sent messages are delivered inside PeekMessage; posted ones are dispatched here.
void DispatchWaitingMessages() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

void RunFinishedWork() {
  if (!g_poolReady) return;
  EnterCriticalSection(&g_pool.Lock);
  std::deque<WorkItem> finished;
  finished.swap(g_pool.Done);
  LeaveCriticalSection(&g_pool.Lock);
  for (WorkItem& item : finished) item.Done();
}

void WaitForLoopEvents(DWORD timeout) {
  // Looking at the queue at every wait keeps the thread from counting as hung
  // (no message taken for 5 s), which makes SMTO_ABORTIFHUNG senders give up.
  DispatchWaitingMessages();
  const DWORD result = g_poolReady ? MsgWaitForMultipleObjectsEx(1, &g_pool.Finished, timeout, QS_ALLINPUT,
                                                                   MWMO_INPUTAVAILABLE)
                                   : MsgWaitForMultipleObjectsEx(0, nullptr, timeout, QS_ALLINPUT,
                                                                 MWMO_INPUTAVAILABLE);
  if (result == WAIT_FAILED) ::Sleep(timeout < 50 ? timeout : 50);  // keep a rhythm, never spin
  DispatchWaitingMessages();
  RunFinishedWork();
}

// The log's writer thread takes whole blocks from a queue and writes each with
// blocking writes, so that a reader that stops reading stops only this thread.
constexpr std::size_t kWriterHoldsAtMost = 256 * 1024;
// While the handle keeps up, a block is waited for, so that log lines stay in
// order with the answers on standard output.
constexpr DWORD kWriterKeepsUpWithin = 100;

struct BackgroundWriter {
  HANDLE Handle = nullptr;
  CRITICAL_SECTION Lock;
  HANDLE Wake = nullptr;  // auto-reset: blocks were queued
  HANDLE Idle = nullptr;  // manual-reset: everything queued has been written
  std::deque<std::string> Queue;  // guarded by Lock
  std::size_t Held = 0;           // bytes queued or being written; guarded by Lock
};

BackgroundWriter g_writer;
bool g_writerStarted = false;
bool g_writerFailed = false;

void WriteWhole(HANDLE handle, const char* data, std::size_t size) {
  while (size > 0) {
    DWORD done = 0;
    if (!::WriteFile(handle, data, static_cast<DWORD>(size), &done, nullptr) || done == 0) return;
    data += done;
    size -= done;
  }
}

DWORD WINAPI WriteInBackground(LPVOID parameter) {
  BackgroundWriter* writer = static_cast<BackgroundWriter*>(parameter);
  for (;;) {
    if (WaitForSingleObject(writer->Wake, INFINITE) != WAIT_OBJECT_0) return 0;
    for (;;) {
      EnterCriticalSection(&writer->Lock);
      if (writer->Queue.empty()) {
        SetEvent(writer->Idle);
        LeaveCriticalSection(&writer->Lock);
        break;
      }
      std::string block = std::move(writer->Queue.front());
      writer->Queue.pop_front();
      LeaveCriticalSection(&writer->Lock);
      WriteWhole(writer->Handle, block.data(), block.size());
      EnterCriticalSection(&writer->Lock);
      writer->Held -= block.size();
      LeaveCriticalSection(&writer->Lock);
    }
  }
}

bool StartBackgroundWriter(HANDLE handle) {
  if (g_writerStarted || g_writerFailed) return g_writerStarted;
  g_writer.Handle = handle;
  InitializeCriticalSection(&g_writer.Lock);
  g_writer.Wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  g_writer.Idle = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  HANDLE thread = g_writer.Wake != nullptr && g_writer.Idle != nullptr
                      ? CreateThread(nullptr, 65536, WriteInBackground, &g_writer,
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)
                      : nullptr;
  if (thread == nullptr) {
    g_writerFailed = true;
    return false;
  }
  ::CloseHandle(thread);
  g_writerStarted = true;
  return true;
}

bool QueueForBackgroundWriter(const char* data, std::size_t size, bool& wasIdle) {
  EnterCriticalSection(&g_writer.Lock);
  wasIdle = g_writer.Held == 0;
  const bool fits = wasIdle || g_writer.Held + size <= kWriterHoldsAtMost;
  if (fits) {
    g_writer.Queue.emplace_back(data, size);
    g_writer.Held += size;
    ResetEvent(g_writer.Idle);
    SetEvent(g_writer.Wake);
  }
  LeaveCriticalSection(&g_writer.Lock);
  return fits;
}

// ---- end of the waiting section ----

class Win32PlatformImpl final : public Platform {
 public:
  std::vector<std::string> CommandLineArguments() override {
    std::vector<std::string> arguments;
    arguments.push_back(ModuleFileName());
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return arguments;
    for (int i = 1; i < count; ++i) arguments.push_back(WideToUtf8(wide[i], wcslen(wide[i])));
    LocalFree(wide);
    return arguments;
  }

  std::uint32_t CurrentProcessId() override { return GetCurrentProcessId(); }
  std::uint32_t LastError() override { return GetLastError(); }

  OsHandle StdHandle(StdStream stream) override {
    DWORD which = stream == StdStream::Input ? STD_INPUT_HANDLE
                  : stream == StdStream::Output ? STD_OUTPUT_HANDLE
                                                : STD_ERROR_HANDLE;
    return FromHandle(GetStdHandle(which));
  }

  FileType GetFileType(OsHandle handle) override {
    switch (::GetFileType(ToHandle(handle)) & ~static_cast<DWORD>(FILE_TYPE_REMOTE)) {
      case FILE_TYPE_DISK: return FileType::Disk;
      case FILE_TYPE_CHAR: return FileType::Char;
      case FILE_TYPE_PIPE: return FileType::Pipe;
      default: return FileType::Unknown;
    }
  }

  bool ReadFile(OsHandle handle, char* buffer, std::uint32_t size, std::uint32_t& read) override {
    DWORD done = 0;
    bool ok = ::ReadFile(ToHandle(handle), buffer, size, &done, nullptr) != 0;
    read = done;
    return ok;
  }

  bool WriteFile(OsHandle handle, const char* data, std::uint32_t size, std::uint32_t& written) override {
    DWORD done = 0;
    bool ok = ::WriteFile(ToHandle(handle), data, size, &done, nullptr) != 0;
    written = done;
    return ok;
  }

  void CloseHandle(OsHandle handle) override { ::CloseHandle(ToHandle(handle)); }

  OsHandle CreateFile(const std::u16string& name, FileOpen mode) override {
    // A reader lets other bridges replace the file meanwhile.
    HANDLE file = mode == FileOpen::CreateAlwaysExclusive
                      ? CreateFileW(WideText(name), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr)
                      : CreateFileW(WideText(name), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? kInvalidHandle : FromHandle(file);
  }

  bool FileSize(OsHandle file, std::uint64_t& size) override {
    LARGE_INTEGER value;
    if (!GetFileSizeEx(ToHandle(file), &value)) return false;
    size = static_cast<std::uint64_t>(value.QuadPart);
    return true;
  }

  bool FileExists(const std::u16string& name) override {
    DWORD attributes = GetFileAttributesW(WideText(name));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }

  bool MoveFileReplace(const std::u16string& from, const std::u16string& to) override {
    return MoveFileExW(WideText(from), WideText(to), MOVEFILE_REPLACE_EXISTING) != 0;
  }

  bool DeleteFile(const std::u16string& name) override { return DeleteFileW(WideText(name)) != 0; }

  std::u16string TempPath() override {
    return WideResult([](wchar_t* buffer, DWORD size) { return GetTempPathW(size, buffer); });
  }

  std::uint32_t TickCount() override { return GetTickCount(); }
  std::uint32_t MultimediaTime() override { return timeGetTime(); }
  void Sleep(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }

  LocalTime GetLocalTime() override {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    LocalTime time;
    time.Hour = now.wHour;
    time.Minute = now.wMinute;
    time.Second = now.wSecond;
    time.Millisecond = now.wMilliseconds;
    return time;
  }

  char TimeSeparator() override {
    char buffer[8] = {};
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STIME, buffer, sizeof buffer) <= 0 || buffer[0] == '\0')
      return ':';
    return buffer[0];
  }

  unsigned ConsoleOutputCodePage() override { return GetConsoleOutputCP(); }

  std::u16string MultiByteToWide(unsigned codePage, const std::string& text) override {
    int units = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (units <= 0) return std::u16string();
    std::u16string result(static_cast<std::size_t>(units), u'\0');
    units = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()),
                                reinterpret_cast<wchar_t*>(&result[0]), units);
    if (units <= 0) return std::u16string();
    result.resize(static_cast<std::size_t>(units));
    return result;
  }

  std::string WideToMultiByte(unsigned codePage, const std::u16string& text, bool* usedDefault) override {
    if (usedDefault != nullptr) *usedDefault = false;
    BOOL used = FALSE;
    BOOL* usedPointer = usedDefault != nullptr && !RejectsUsedDefaultChar(codePage) ? &used : nullptr;
    const wchar_t* source = reinterpret_cast<const wchar_t*>(text.data());
    int length = static_cast<int>(text.size());
    int bytes = WideCharToMultiByte(codePage, 0, source, length, nullptr, 0, nullptr, usedPointer);
    if (bytes <= 0) return std::string();
    std::string result(static_cast<std::size_t>(bytes), '\0');
    used = FALSE;
    bytes = WideCharToMultiByte(codePage, 0, source, length, &result[0], bytes, nullptr, usedPointer);
    if (bytes <= 0) return std::string();
    result.resize(static_cast<std::size_t>(bytes));
    if (usedDefault != nullptr) *usedDefault = used != FALSE;
    return result;
  }

  bool SameTextIgnoreCase(const std::string& a, const std::string& b) override {
    return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) == CSTR_EQUAL;
  }

  std::u16string FullPathName(const std::u16string& path) override {
    if (path.empty()) return std::u16string();
    return WideResult([&](wchar_t* buffer, DWORD size) { return GetFullPathNameW(WideText(path), size, buffer, nullptr); });
  }

  std::u16string LongPathName(const std::u16string& path) override {
    if (path.empty()) return std::u16string();
    return WideResult([&](wchar_t* buffer, DWORD size) { return GetLongPathNameW(WideText(path), buffer, size); });
  }

  bool SameTextOrdinalIgnoreCase(const std::u16string& a, const std::u16string& b) override {
    static const auto compare = reinterpret_cast<CompareStringOrdinalProc>(
        reinterpret_cast<void*>(Kernel32Function("CompareStringOrdinal")));
    if (compare != nullptr) {
      return compare(WideText(a), static_cast<int>(a.size()), WideText(b), static_cast<int>(b.size()), TRUE) ==
             CSTR_EQUAL;
    }
    return UpperCase(a) == UpperCase(b);  // before Vista: the same upper-case table, by hand
  }

  OsHandle OpenProcessLimited(std::uint32_t processId) override {
    HANDLE process = OpenProcess(kProcessQueryLimitedInformation, FALSE, processId);
    return process == nullptr ? kNullHandle : FromHandle(process);
  }

  std::u16string QueryFullProcessImageName(OsHandle process) override {
    static const auto query = reinterpret_cast<QueryFullProcessImageNameWProc>(
        reinterpret_cast<void*>(Kernel32Function("QueryFullProcessImageNameW")));
    if (query == nullptr) return std::u16string();
    std::u16string buffer(MAX_PATH + 1, u'\0');
    for (int attempt = 0; attempt < 4; ++attempt) {
      DWORD length = static_cast<DWORD>(buffer.size());
      if (query(ToHandle(process), 0, WideBuffer(buffer), &length)) {
        buffer.resize(length);
        return buffer;
      }
      if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return std::u16string();
      buffer.resize(buffer.size() * 4);
    }
    return std::u16string();
  }

  bool AllowCopyDataFromLowerRights(WindowHandle window) override {
    HMODULE user32 = GetModuleHandleA("user32.dll");
    const auto allow = reinterpret_cast<ChangeWindowMessageFilterExProc>(reinterpret_cast<void*>(
        user32 == nullptr ? nullptr : GetProcAddress(user32, "ChangeWindowMessageFilterEx")));
    return allow != nullptr && allow(ToWindow(window), WM_COPYDATA, kMessageFilterAllow, nullptr) != FALSE;
  }

  void EnumWindows(WindowVisitor visitor, void* context) override {
    EnumContext enumContext{visitor, context};
    ::EnumWindows(EnumTrampoline, reinterpret_cast<LPARAM>(&enumContext));
  }

  int GetWindowText(WindowHandle window, char* buffer, int size) override {
    return GetWindowTextA(ToWindow(window), buffer, size);
  }

  int GetClassName(WindowHandle window, char* buffer, int size) override {
    return GetClassNameA(ToWindow(window), buffer, size);
  }

  std::uint32_t WindowProcessId(WindowHandle window) override {
    DWORD processId = 0;
    if (GetWindowThreadProcessId(ToWindow(window), &processId) == 0) return 0;
    return processId;
  }

  OsHandle OpenProcessForQuery(std::uint32_t processId) override {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    return process == nullptr ? kNullHandle : FromHandle(process);
  }

  bool LoadPsapi() override {
    if (g_getModuleFileNameExW != nullptr) return true;
    HMODULE psapi = LoadLibraryA("psapi.dll");
    if (psapi == nullptr) return false;
    g_getModuleFileNameExW =
        reinterpret_cast<GetModuleFileNameExWProc>(reinterpret_cast<void*>(GetProcAddress(psapi, "GetModuleFileNameExW")));
    return g_getModuleFileNameExW != nullptr;
  }

  std::u16string ModuleFileNameEx(OsHandle process) override {
    if (g_getModuleFileNameExW == nullptr) return std::u16string();
    // It truncates silently: a result that fills the buffer is asked for again, larger.
    std::u16string buffer(MAX_PATH + 1, u'\0');
    for (int attempt = 0; attempt < 4; ++attempt) {
      const DWORD length =
          g_getModuleFileNameExW(ToHandle(process), nullptr, WideBuffer(buffer), static_cast<DWORD>(buffer.size()));
      if (length == 0) return std::u16string();
      if (length < buffer.size() - 1) {
        buffer.resize(length);
        return buffer;
      }
      buffer.resize(buffer.size() * 4);
    }
    return std::u16string();
  }

  std::uint32_t RegisterWindowMessage(const char* name) override { return RegisterWindowMessageA(name); }

  WindowHandle CreateHiddenWindow(const char* className, CopyDataHandler handler) override {
    g_copyDataHandler = handler;
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA windowClass;
    ZeroMemory(&windowClass, sizeof windowClass);
    windowClass.lpfnWndProc = HiddenWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = className;
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(0, className, "", 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    return reinterpret_cast<WindowHandle>(window);
  }

  void DestroyWindow(WindowHandle window) override { ::DestroyWindow(ToWindow(window)); }

  bool SendCopyData(WindowHandle target, std::uintptr_t tag, const char* data, std::uint32_t size,
                    std::uint32_t timeoutMilliseconds) override {
    COPYDATASTRUCT cds;
    cds.dwData = tag;
    cds.cbData = size;
    cds.lpData = const_cast<char*>(data);
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(ToWindow(target), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds), SMTO_ABORTIFHUNG,
                               timeoutMilliseconds, &result) != 0;
  }

  bool WindowExists(WindowHandle window) override { return IsWindow(ToWindow(window)) != 0; }

  bool SocketStartup() override {
    // Exchanges run on several threads; two first calls at once only count Winsock's users twice.
    static std::atomic<bool> started{false};
    if (started.load()) return true;
    WSADATA data;
    const int result = WSAStartup(MAKEWORD(2, 2), &data);
    if (result != 0) {
      SetLastError(static_cast<DWORD>(result));
      return false;
    }
    started.store(true);
    return true;
  }

  OsHandle SocketOpen() override {
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return kInvalidHandle;
    BOOL noDelay = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    return static_cast<OsHandle>(s);
  }

  bool SocketSetReceiveTimeout(OsHandle socket, std::uint32_t milliseconds) override {
    return SetSocketTimeout(socket, SO_RCVTIMEO, milliseconds);
  }

  bool SocketSetSendTimeout(OsHandle socket, std::uint32_t milliseconds) override {
    return SetSocketTimeout(socket, SO_SNDTIMEO, milliseconds);
  }

  bool SocketConnect(OsHandle socket, const char* address, int port) override {
    sockaddr_in target;
    ZeroMemory(&target, sizeof target);
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<u_short>(port));
    // Dotted IPv4 by hand: inet_addr is deprecated, and only 127.0.0.1 is ever asked for.
    unsigned long value = 0;
    unsigned part = 0;
    for (const char* c = address; ; ++c) {
      if (*c >= '0' && *c <= '9') {
        part = part * 10 + static_cast<unsigned>(*c - '0');
      } else {
        value = (value << 8) | (part & 0xFF);
        part = 0;
        if (*c == '\0') break;
      }
    }
    target.sin_addr.s_addr = htonl(value);
    // Otherwise Windows repeats the SYN after a refusal and a closed port on
    // 127.0.0.1 takes about 2 s to fail. Wine refuses the call; that costs nothing.
    TCP_INITIAL_RTO_PARAMETERS rto = {TCP_INITIAL_RTO_NO_SYN_RETRANSMISSIONS, TCP_INITIAL_RTO_NO_SYN_RETRANSMISSIONS};
    DWORD returned = 0;
    WSAIoctl(ToSocket(socket), SIO_TCP_INITIAL_RTO, &rto, sizeof rto, nullptr, 0, &returned, nullptr, nullptr);
    return ::connect(ToSocket(socket), reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0;
  }

  bool SocketSend(OsHandle socket, const char* data, std::uint32_t size, std::uint32_t& sent) override {
    sent = 0;
    const int count = static_cast<int>(size > 0x40000000u ? 0x40000000u : size);
    const int result = ::send(ToSocket(socket), data, count, 0);
    if (result == SOCKET_ERROR) return false;
    sent = static_cast<std::uint32_t>(result);
    return true;
  }

  bool SocketReceive(OsHandle socket, char* buffer, std::uint32_t size, std::uint32_t& received) override {
    received = 0;
    const int result = ::recv(ToSocket(socket), buffer, static_cast<int>(size > 0x40000000u ? 0x40000000u : size), 0);
    if (result == SOCKET_ERROR) return false;
    received = static_cast<std::uint32_t>(result);
    return true;
  }

  void SocketClose(OsHandle socket) override { closesocket(ToSocket(socket)); }

  // ---- Waiting for standard input, and log writes that never wait ----
  void QueueWork(LoopTask work, LoopTask done) override { QueueOnPool(std::move(work), std::move(done)); }
  void RunLoopOnce(std::uint32_t timeoutMilliseconds) override { WaitForLoopEvents(timeoutMilliseconds); }

  bool WriteWithoutWaiting(OsHandle handle, const char* data, std::uint32_t size) override {
    if (!StartBackgroundWriter(ToHandle(handle)) || g_writer.Handle != ToHandle(handle)) {
      WriteWhole(ToHandle(handle), data, size);
      return true;
    }
    bool wasIdle = false;
    if (!QueueForBackgroundWriter(data, size, wasIdle)) return false;
    if (wasIdle) WaitForSingleObject(g_writer.Idle, kWriterKeepsUpWithin);
    return true;
  }

  void FinishWritesWithoutWaiting(std::uint32_t timeoutMilliseconds) override {
    if (g_writerStarted) WaitForSingleObject(g_writer.Idle, timeoutMilliseconds);
  }
  // ---- end of the waiting section ----

  bool IsConsole(OsHandle handle) override {
    DWORD mode = 0;
    return GetConsoleMode(ToHandle(handle), &mode) != 0;
  }
};

}  // namespace

Platform& Win32Platform() {
  static Win32PlatformImpl platform;
  return platform;
}
