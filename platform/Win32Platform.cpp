#include "platform/Win32Platform.h"

#include <windows.h>
#include <wininet.h>
#include <mmsystem.h>

#include <cstdlib>
#include <deque>
#include <string>

// The seam's method names match Win32 names that windows.h turns into A/W macros.
#undef CreateFile
#undef DeleteFile
#undef GetWindowText
#undef GetClassName
#undef RegisterWindowMessage
#undef InternetOpen
#undef InternetConnect
#undef HttpOpenRequest
#undef InternetSetOption
#undef HttpSendRequest

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected");

namespace {

using GetModuleFileNameExAProc = DWORD(WINAPI*)(HANDLE, HMODULE, LPSTR, DWORD);

CopyDataHandler g_copyDataHandler = nullptr;
GetModuleFileNameExAProc g_getModuleFileNameExA = nullptr;

HANDLE ToHandle(OsHandle handle) { return reinterpret_cast<HANDLE>(handle); }
OsHandle FromHandle(HANDLE handle) { return reinterpret_cast<OsHandle>(handle); }
HWND ToWindow(WindowHandle window) { return reinterpret_cast<HWND>(window); }
HINTERNET ToInternet(OsHandle handle) { return reinterpret_cast<HINTERNET>(handle); }
OsHandle FromInternet(HINTERNET handle) { return reinterpret_cast<OsHandle>(handle); }

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

std::string ModuleFileName() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    DWORD length = GetModuleFileNameA(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0) return std::string();
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);  // truncated
  }
}

// ---- Waiting for standard input, and log writes that never wait ----

// A helper thread makes zero-byte reads on the input pipe: such a read returns
// when bytes wait or the pipe breaks, and reads nothing. It shares only these
// handles, set before it starts and never changed.
struct InputWatch {
  HANDLE Pipe = nullptr;
  HANDLE Arm = nullptr;       // auto-reset: one more zero-byte read, please
  HANDLE Returned = nullptr;  // auto-reset: that read has returned
};

InputWatch g_inputWatch;
bool g_inputWatchStarted = false;
bool g_inputWatchFailed = false;
bool g_inputWatchPending = false;

DWORD WINAPI WatchInput(LPVOID parameter) {
  const InputWatch* watch = static_cast<const InputWatch*>(parameter);
  for (;;) {
    if (WaitForSingleObject(watch->Arm, INFINITE) != WAIT_OBJECT_0) return 0;
    char none = 0;
    DWORD read = 0;
    ::ReadFile(watch->Pipe, &none, 0, &read, nullptr);
    SetEvent(watch->Returned);
  }
}

bool StartInputWatch(HANDLE pipe) {
  if (g_inputWatchStarted || g_inputWatchFailed) return g_inputWatchStarted;
  g_inputWatch.Pipe = pipe;
  g_inputWatch.Arm = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  g_inputWatch.Returned = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE thread = g_inputWatch.Arm != nullptr && g_inputWatch.Returned != nullptr
                      ? CreateThread(nullptr, 65536, WatchInput, &g_inputWatch, STACK_SIZE_PARAM_IS_A_RESERVATION,
                                     nullptr)
                      : nullptr;
  if (thread == nullptr) {
    if (g_inputWatch.Arm != nullptr) ::CloseHandle(g_inputWatch.Arm);
    if (g_inputWatch.Returned != nullptr) ::CloseHandle(g_inputWatch.Returned);
    g_inputWatchFailed = true;
    return false;
  }
  ::CloseHandle(thread);
  g_inputWatchStarted = true;
  return true;
}

// Sent messages are delivered inside PeekMessage; posted ones are dispatched here.
void DispatchWaitingMessages() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

InputWait WaitForInputAndMessages(HANDLE pipe, DWORD timeout) {
  if (!StartInputWatch(pipe)) return InputWait::Unavailable;
  if (!g_inputWatchPending) {
    SetEvent(g_inputWatch.Arm);
    g_inputWatchPending = true;
  }
  // Looking at the queue at every wait keeps the thread from counting as hung
  // (no message taken for 5 s), which makes SMTO_ABORTIFHUNG senders give up.
  DispatchWaitingMessages();
  const DWORD start = GetTickCount();
  for (;;) {
    const DWORD elapsed = GetTickCount() - start;
    const DWORD left = elapsed >= timeout ? 0 : timeout - elapsed;
    const DWORD result =
        MsgWaitForMultipleObjectsEx(1, &g_inputWatch.Returned, left, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (result == WAIT_OBJECT_0) {
      g_inputWatchPending = false;
      return InputWait::Ready;
    }
    if (result == WAIT_OBJECT_0 + 1) {
      DispatchWaitingMessages();
      if (left == 0) return InputWait::TimedOut;
      continue;
    }
    if (result != WAIT_TIMEOUT) ::Sleep(left);  // the wait itself failed: keep the rhythm
    return InputWait::TimedOut;
  }
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
    for (int i = 1; i < __argc; ++i) arguments.push_back(__argv[i] != nullptr ? __argv[i] : "");
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

  bool PeekPipe(OsHandle pipe, std::uint32_t& available) override {
    DWORD total = 0;
    bool ok = PeekNamedPipe(ToHandle(pipe), nullptr, 0, nullptr, &total, nullptr) != 0;
    available = total;
    return ok;
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

  OsHandle CreateFile(const std::string& name, FileOpen mode) override {
    HANDLE file = mode == FileOpen::CreateAlwaysExclusive
                      ? CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr)
                      : CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? kInvalidHandle : FromHandle(file);
  }

  bool FileSize(OsHandle file, std::uint64_t& size) override {
    LARGE_INTEGER value;
    if (!GetFileSizeEx(ToHandle(file), &value)) return false;
    size = static_cast<std::uint64_t>(value.QuadPart);
    return true;
  }

  bool FileExists(const std::string& name) override {
    DWORD attributes = GetFileAttributesA(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }

  bool MoveFileReplace(const std::string& from, const std::string& to) override {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  }

  bool DeleteFile(const std::string& name) override { return DeleteFileA(name.c_str()) != 0; }

  std::string TempPath() override {
    char buffer[MAX_PATH + 1] = {};
    DWORD length = GetTempPathA(MAX_PATH, buffer);
    if (length == 0 || length > MAX_PATH) return std::string();  // failed, or the path did not fit
    return std::string(buffer);
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
    if (g_getModuleFileNameExA != nullptr) return true;
    HMODULE psapi = LoadLibraryA("psapi.dll");
    if (psapi == nullptr) return false;
    g_getModuleFileNameExA =
        reinterpret_cast<GetModuleFileNameExAProc>(reinterpret_cast<void*>(GetProcAddress(psapi, "GetModuleFileNameExA")));
    return g_getModuleFileNameExA != nullptr;
  }

  std::uint32_t ModuleFileNameEx(OsHandle process, char* buffer, std::uint32_t size) override {
    if (g_getModuleFileNameExA == nullptr) return 0;
    return g_getModuleFileNameExA(ToHandle(process), nullptr, buffer, size);
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

  bool PumpOneMessage() override {
    MSG message;
    if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) return false;
    TranslateMessage(&message);
    DispatchMessageA(&message);
    return true;
  }

  OsHandle InternetOpen(const char* agent) override {
    return FromInternet(InternetOpenA(agent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  }

  OsHandle InternetConnect(OsHandle root, const char* host, int port) override {
    return FromInternet(InternetConnectA(ToInternet(root), host, static_cast<INTERNET_PORT>(port), nullptr, nullptr,
                                         INTERNET_SERVICE_HTTP, 0, 0));
  }

  OsHandle HttpOpenRequest(OsHandle connection, const char* verb, const char* object, const char* version,
                           std::uint32_t flags) override {
    return FromInternet(
        HttpOpenRequestA(ToInternet(connection), verb, object, version, nullptr, nullptr, flags, 0));
  }

  void InternetSetOption(OsHandle handle, std::uint32_t option, std::uint32_t value) override {
    DWORD optionValue = value;
    InternetSetOptionA(ToInternet(handle), option, &optionValue, sizeof optionValue);
  }

  bool HttpSendRequest(OsHandle request, const std::string& headers, const std::string& body) override {
    return HttpSendRequestA(ToInternet(request), headers.empty() ? nullptr : headers.c_str(),
                            static_cast<DWORD>(headers.size()),
                            body.empty() ? nullptr : const_cast<char*>(body.data()),
                            static_cast<DWORD>(body.size())) != 0;
  }

  bool HttpQueryStatusCode(OsHandle request, std::uint32_t& status) override {
    DWORD code = 0;
    DWORD length = sizeof code;
    bool ok = HttpQueryInfoA(ToInternet(request), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &length,
                             nullptr) != 0;
    status = code;
    return ok;
  }

  bool HttpQueryContentLength(OsHandle request, std::uint64_t& length) override {
    char text[32] = {};
    DWORD size = sizeof text - 1;
    if (!HttpQueryInfoA(ToInternet(request), HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) return false;
    char* end = nullptr;
    length = std::strtoull(text, &end, 10);
    return end != text;
  }

  bool InternetReadFile(OsHandle request, char* buffer, std::uint32_t size, std::uint32_t& read) override {
    DWORD done = 0;
    bool ok = ::InternetReadFile(ToInternet(request), buffer, size, &done) != 0;
    read = done;
    return ok;
  }

  void InternetCloseHandle(OsHandle handle) override { ::InternetCloseHandle(ToInternet(handle)); }

  // ---- Waiting for standard input, and log writes that never wait ----
  InputWait WaitForInputOrMessages(OsHandle pipe, std::uint32_t timeoutMilliseconds) override {
    return WaitForInputAndMessages(ToHandle(pipe), timeoutMilliseconds);
  }

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
};

}  // namespace

Platform& Win32Platform() {
  static Win32PlatformImpl platform;
  return platform;
}
