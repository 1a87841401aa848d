#include "platform/Win32Platform.h"

#include <winsock2.h>
#include <windows.h>
#include <mmsystem.h>

#include <cstdlib>
#include <string>

// The seam's method names match Win32 names that windows.h turns into A/W macros.
#undef CreateFile
#undef DeleteFile
#undef GetWindowText
#undef GetClassName
#undef RegisterWindowMessage

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected");

namespace {

using GetModuleFileNameExAProc = DWORD(WINAPI*)(HANDLE, HMODULE, LPSTR, DWORD);

CopyDataHandler g_copyDataHandler = nullptr;
GetModuleFileNameExAProc g_getModuleFileNameExA = nullptr;

HANDLE ToHandle(OsHandle handle) { return reinterpret_cast<HANDLE>(handle); }
OsHandle FromHandle(HANDLE handle) { return reinterpret_cast<OsHandle>(handle); }
HWND ToWindow(WindowHandle window) { return reinterpret_cast<HWND>(window); }
SOCKET ToSocket(OsHandle handle) { return static_cast<SOCKET>(handle); }

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

  bool SocketStartup() override {
    static bool started = false;
    if (started) return true;
    WSADATA data;
    const int result = WSAStartup(MAKEWORD(2, 2), &data);
    if (result != 0) {
      SetLastError(static_cast<DWORD>(result));
      return false;
    }
    started = true;
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
    DWORD value = milliseconds;
    return setsockopt(ToSocket(socket), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0;
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
};

}  // namespace

Platform& Win32Platform() {
  static Win32PlatformImpl platform;
  return platform;
}
