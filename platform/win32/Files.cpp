#include "platform/win32/Win32Impl.h"

#include <aclapi.h>
#include <restartmanager.h>
#include <sddl.h>

namespace {
// A function of a DLL loaded at run time.
template <typename Function>
Function Entry(HMODULE library, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

// The names that Restart Manager gives the programs holding the file; false when it cannot tell.
bool AskRestartManager(HMODULE library, const std::u16string& name, std::vector<std::u16string>& programs) {
  using StartSession = DWORD(WINAPI*)(DWORD*, DWORD, WCHAR*);
  using RegisterResources = DWORD(WINAPI*)(DWORD, UINT, LPCWSTR*, UINT, RM_UNIQUE_PROCESS*, UINT, LPCWSTR*);
  using GetList = DWORD(WINAPI*)(DWORD, UINT*, UINT*, RM_PROCESS_INFO*, LPDWORD);
  using EndSession = DWORD(WINAPI*)(DWORD);
  const auto start = Entry<StartSession>(library, "RmStartSession");
  const auto registerFiles = Entry<RegisterResources>(library, "RmRegisterResources");
  const auto getList = Entry<GetList>(library, "RmGetList");
  const auto end = Entry<EndSession>(library, "RmEndSession");
  DWORD session = 0;
  WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
  if (!start || !registerFiles || !getList || !end || start(&session, 0, key) != ERROR_SUCCESS) return false;
  LPCWSTR files[] = {WideText(name)};
  DWORD status = registerFiles(session, 1, files, 0, nullptr, 0, nullptr);
  std::vector<RM_PROCESS_INFO> found(4);
  UINT count = 0;
  // A list that keeps growing past the last try stays ERROR_MORE_DATA: Windows cannot tell.
  for (int attempt = 0; status == ERROR_SUCCESS && attempt < 4; ++attempt) {
    UINT needed = 0;
    DWORD reasons = 0;
    count = static_cast<UINT>(found.size());
    status = getList(session, &needed, &count, found.data(), &reasons);
    if (status != ERROR_MORE_DATA || attempt == 3) break;
    found.resize(needed + 4);  // more may open it meanwhile
    status = ERROR_SUCCESS;
  }
  // The count read back may exceed the buffer: never read past it.
  if (count > found.size()) count = static_cast<UINT>(found.size());
  for (UINT i = 0; status == ERROR_SUCCESS && i < count; ++i) {
    programs.push_back(reinterpret_cast<const char16_t*>(found[i].strAppName));
  }
  end(session);
  return status == ERROR_SUCCESS;
}

std::string SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (sid == nullptr || !ConvertSidToStringSidW(sid, &text)) return std::string();
  std::string result;
  for (const wchar_t* c = text; *c != 0; ++c) result += static_cast<char>(*c);  // digits, dashes and S
  LocalFree(text);
  return result;
}
}  // namespace

bool WriteWhole(HANDLE handle, const char* data, std::size_t size) {
  while (size > 0) {
    DWORD done = 0;
    const DWORD piece = static_cast<DWORD>(size > 0x40000000u ? 0x40000000u : size);
    if (!::WriteFile(handle, data, piece, &done, nullptr) || done == 0) return false;
    data += done;
    size -= done;
  }
  return true;
}

OsHandle Win32PlatformImpl::StdHandle(StdStream stream) {
  const DWORD which = stream == StdStream::Input    ? STD_INPUT_HANDLE
                      : stream == StdStream::Output ? STD_OUTPUT_HANDLE
                                                    : STD_ERROR_HANDLE;
  return FromHandle(GetStdHandle(which));
}

FileType Win32PlatformImpl::GetFileType(OsHandle handle) {
  switch (::GetFileType(ToHandle(handle)) & ~static_cast<DWORD>(FILE_TYPE_REMOTE)) {
    case FILE_TYPE_DISK: return FileType::Disk;
    case FILE_TYPE_CHAR: return FileType::Char;
    case FILE_TYPE_PIPE: return FileType::Pipe;
    default: return FileType::Unknown;
  }
}

bool Win32PlatformImpl::ReadFile(OsHandle handle, char* buffer, std::uint32_t size, std::uint32_t& read) {
  DWORD done = 0;
  const bool ok = ::ReadFile(ToHandle(handle), buffer, size, &done, nullptr) != 0;
  read = done;
  return ok;
}

bool Win32PlatformImpl::WriteFile(OsHandle handle, const char* data, std::uint32_t size, std::uint32_t& written) {
  DWORD done = 0;
  const bool ok = ::WriteFile(ToHandle(handle), data, size, &done, nullptr) != 0;
  written = done;
  return ok;
}

void Win32PlatformImpl::CloseHandle(OsHandle handle) { ::CloseHandle(ToHandle(handle)); }

OsHandle Win32PlatformImpl::CreateFile(const std::u16string& name, FileOpen mode) {
  HANDLE file = INVALID_HANDLE_VALUE;
  switch (mode) {
    case FileOpen::CreateAlwaysExclusive:
    case FileOpen::CreateNewExclusive:
      file = CreateFileW(WideText(name), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         mode == FileOpen::CreateNewExclusive ? CREATE_NEW : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
      break;
    case FileOpen::ReadExistingShared:
      // A reader lets other programs replace the file meanwhile.
      file = CreateFileW(WideText(name), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      break;
  }
  return file == INVALID_HANDLE_VALUE ? kInvalidHandle : FromHandle(file);
}

bool Win32PlatformImpl::FileSize(OsHandle file, std::uint64_t& size) {
  LARGE_INTEGER value;
  if (!GetFileSizeEx(ToHandle(file), &value)) return false;
  size = static_cast<std::uint64_t>(value.QuadPart);
  return true;
}

bool Win32PlatformImpl::FlushFile(OsHandle file) { return FlushFileBuffers(ToHandle(file)) != 0; }

bool Win32PlatformImpl::FileExists(const std::u16string& name) {
  const DWORD attributes = GetFileAttributesW(WideText(name));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool Win32PlatformImpl::FolderExists(const std::u16string& name) {
  const DWORD attributes = GetFileAttributesW(WideText(name));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool Win32PlatformImpl::MoveFileReplace(const std::u16string& from, const std::u16string& to) {
  return MoveFileExW(WideText(from), WideText(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool Win32PlatformImpl::ReplaceFile(const std::u16string& target, const std::u16string& replacement) {
  return ReplaceFileW(WideText(target), WideText(replacement), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                      nullptr) != 0;
}

bool Win32PlatformImpl::DeleteFile(const std::u16string& name) { return DeleteFileW(WideText(name)) != 0; }

std::u16string Win32PlatformImpl::TempPath() {
  return WideResult([](wchar_t* buffer, DWORD size) { return GetTempPathW(size, buffer); });
}

std::uint32_t Win32PlatformImpl::FileAttributes(const std::u16string& name) {
  return GetFileAttributesW(WideText(name));
}

bool Win32PlatformImpl::MoveFileToNewName(const std::u16string& from, const std::u16string& to) {
  return MoveFileExW(WideText(from), WideText(to), MOVEFILE_WRITE_THROUGH) != 0;
}

std::u16string Win32PlatformImpl::FinalPathName(const std::u16string& name) {
  // No access asked: nobody's sharing mode stands in the way, and a folder opens too.
  HANDLE file = CreateFileW(WideText(name), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::u16string();
  const std::u16string path = WideResult([&](wchar_t* buffer, DWORD size) {
    return GetFinalPathNameByHandleW(file, buffer, size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  });
  ::CloseHandle(file);
  return path;
}

bool Win32PlatformImpl::FileHolders(const std::u16string& name, std::vector<std::u16string>& programs) {
  programs.clear();
  // Not a Known DLL: only the copy in System32 will do, never one beside the exe.
  HMODULE library = LoadLibraryExW(L"rstrtmgr.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (library == nullptr) return false;  // also Windows 7 without KB2533623, which lacks the flag
  const bool known = AskRestartManager(library, name, programs);
  FreeLibrary(library);
  return known;
}

bool Win32PlatformImpl::FileSecurity(const std::u16string& name, ObjectSecurity& security) {
  security = ObjectSecurity();
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(WideText(name), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                            &owner, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  security.Owner = SidText(owner);
  security.NullDacl = dacl == nullptr;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) continue;
    const bool allows =
        header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
    if (!allows && header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
    // The callback kind begins as the plain one does: header, mask, SID.
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    security.Entries.push_back({allows, (header->AceFlags & INHERIT_ONLY_ACE) != 0, ace->Mask, SidText(&ace->SidStart),
                                (header->AceFlags & OBJECT_INHERIT_ACE) != 0});
  }
  LocalFree(descriptor);
  return true;
}

std::string Win32PlatformImpl::CurrentUserSid() { return ProcessUserSid(FromHandle(GetCurrentProcess())); }

std::string Win32PlatformImpl::ProcessUserSid(OsHandle process) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(ToHandle(process), TOKEN_QUERY, &token)) return std::string();
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<char> buffer(size);
  std::string sid;
  if (size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
    sid = SidText(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
  }
  ::CloseHandle(token);
  return sid;
}

std::u16string Win32PlatformImpl::FullPathName(const std::u16string& path) {
  if (path.empty()) return std::u16string();
  return WideResult([&](wchar_t* buffer, DWORD size) { return GetFullPathNameW(WideText(path), size, buffer, nullptr); });
}

std::u16string Win32PlatformImpl::LongPathName(const std::u16string& path) {
  if (path.empty()) return std::u16string();
  return WideResult([&](wchar_t* buffer, DWORD size) { return GetLongPathNameW(WideText(path), buffer, size); });
}

bool Win32PlatformImpl::IsConsole(OsHandle handle) {
  DWORD mode = 0;
  return GetConsoleMode(ToHandle(handle), &mode) != 0;
}

bool Win32PlatformImpl::WriteConsole(OsHandle console, const std::u16string& text) {
  const wchar_t* rest = WideText(text);
  std::size_t left = text.size();
  while (left > 0) {
    DWORD written = 0;
    if (!WriteConsoleW(ToHandle(console), rest, static_cast<DWORD>(left), &written, nullptr) || written == 0) return false;
    rest += written;
    left -= written;
  }
  return true;
}

bool Win32PlatformImpl::ReadConsoleKey(OsHandle input, char16_t& key) {
  HANDLE console = ToHandle(input);
  DWORD mode = 0;
  const bool haveMode = GetConsoleMode(console, &mode) != 0;
  if (haveMode) SetConsoleMode(console, mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT));
  wchar_t typed = 0;
  DWORD read = 0;
  const bool ok = ReadConsoleW(console, &typed, 1, &read, nullptr) && read == 1;
  if (haveMode) SetConsoleMode(console, mode);
  key = static_cast<char16_t>(typed);
  return ok;
}
