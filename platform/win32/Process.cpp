#include "platform/win32/Win32Impl.h"

#include <shellapi.h>
#include <tlhelp32.h>

#include <cwchar>

namespace {
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
    const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0) return std::string();
    if (length < path.size()) return WideToUtf8(path.c_str(), length);
    path.resize(path.size() * 2);  // truncated
  }
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

DWORD ParentProcessId() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  const DWORD self = GetCurrentProcessId();
  DWORD parent = 0;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == self) {
      parent = entry.th32ParentProcessID;
      break;
    }
  }
  ::CloseHandle(snapshot);
  return parent;
}

bool CreationTime(HANDLE process, ULARGE_INTEGER& created) {
  FILETIME creation, exit, kernel, user;
  if (!GetProcessTimes(process, &creation, &exit, &kernel, &user)) return false;
  created.LowPart = creation.dwLowDateTime;
  created.HighPart = creation.dwHighDateTime;
  return true;
}
}  // namespace

std::vector<std::string> Win32PlatformImpl::CommandLineArguments() {
  std::vector<std::string> arguments;
  arguments.push_back(ModuleFileName());
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(WideToUtf8(wide[i], wcslen(wide[i])));
  LocalFree(wide);
  return arguments;
}

std::uint32_t Win32PlatformImpl::CurrentProcessId() { return GetCurrentProcessId(); }
std::uint32_t Win32PlatformImpl::LastError() { return GetLastError(); }

OsHandle Win32PlatformImpl::OpenParentProcess() {
  const DWORD parentId = ParentProcessId();
  if (parentId == 0) return kNullHandle;
  HANDLE parent = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parentId);
  if (parent == nullptr) return kNullHandle;
  // A parent that ended long ago may have left its id to a younger process.
  ULARGE_INTEGER parentCreated, selfCreated;
  if (!CreationTime(parent, parentCreated) || !CreationTime(GetCurrentProcess(), selfCreated) ||
      parentCreated.QuadPart > selfCreated.QuadPart) {
    ::CloseHandle(parent);
    return kNullHandle;
  }
  return FromHandle(parent);
}

bool Win32PlatformImpl::RunsElevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation = {};
  DWORD size = 0;
  const bool elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                        elevation.TokenIsElevated != 0;
  ::CloseHandle(token);
  return elevated;
}

std::u16string Win32PlatformImpl::EnvironmentVariable(const std::u16string& name) {
  return WideResult([&](wchar_t* buffer, DWORD size) { return GetEnvironmentVariableW(WideText(name), buffer, size); });
}

std::u16string Win32PlatformImpl::UserEnvironmentVariable(const std::u16string& name) {
  std::u16string value(MAX_PATH + 1, u'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD bytes = static_cast<DWORD>(value.size() * sizeof(char16_t));
    // RRF_RT_REG_SZ takes a REG_EXPAND_SZ value too, expanded.
    const LSTATUS status = RegGetValueW(HKEY_CURRENT_USER, L"Environment", WideText(name), RRF_RT_REG_SZ, nullptr,
                                        WideBuffer(value), &bytes);
    if (status == ERROR_SUCCESS) return value.substr(0, std::char_traits<char16_t>::length(value.c_str()));
    if (status != ERROR_MORE_DATA) break;
    value.assign(bytes / sizeof(char16_t) + 1, u'\0');
  }
  return std::u16string();
}

std::vector<ProcessEntry> Win32PlatformImpl::Processes() {
  std::vector<ProcessEntry> processes;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return processes;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    processes.push_back({entry.th32ProcessID, reinterpret_cast<const char16_t*>(entry.szExeFile)});
  }
  ::CloseHandle(snapshot);
  return processes;
}

unsigned Win32PlatformImpl::ConsoleOutputCodePage() { return GetConsoleOutputCP(); }

std::u16string Win32PlatformImpl::MultiByteToWide(unsigned codePage, const std::string& text) {
  int units = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (units <= 0) return std::u16string();
  std::u16string result(static_cast<std::size_t>(units), u'\0');
  units = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), WideBuffer(result), units);
  if (units <= 0) return std::u16string();
  result.resize(static_cast<std::size_t>(units));
  return result;
}

std::string Win32PlatformImpl::WideToMultiByte(unsigned codePage, const std::u16string& text, bool* usedDefault) {
  if (usedDefault != nullptr) *usedDefault = false;
  BOOL used = FALSE;
  BOOL* usedPointer = usedDefault != nullptr && !RejectsUsedDefaultChar(codePage) ? &used : nullptr;
  const wchar_t* source = reinterpret_cast<const wchar_t*>(text.data());
  const int length = static_cast<int>(text.size());
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

bool Win32PlatformImpl::SameTextIgnoreCase(const std::string& a, const std::string& b) {
  return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()), b.data(),
                        static_cast<int>(b.size())) == CSTR_EQUAL;
}

bool Win32PlatformImpl::SameTextOrdinalIgnoreCase(const std::u16string& a, const std::u16string& b) {
  return CompareStringOrdinal(WideText(a), static_cast<int>(a.size()), WideText(b), static_cast<int>(b.size()),
                              TRUE) == CSTR_EQUAL;
}

OsHandle Win32PlatformImpl::OpenProcessLimited(std::uint32_t processId) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  return process == nullptr ? kNullHandle : FromHandle(process);
}

std::u16string Win32PlatformImpl::QueryFullProcessImageName(OsHandle process) {
  std::u16string buffer(MAX_PATH + 1, u'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD length = static_cast<DWORD>(buffer.size());
    if (QueryFullProcessImageNameW(ToHandle(process), 0, WideBuffer(buffer), &length)) {
      buffer.resize(length);
      return buffer;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return std::u16string();
    buffer.resize(buffer.size() * 4);
  }
  return std::u16string();
}

Platform& Win32Platform() {
  static Win32PlatformImpl platform;
  return platform;
}
