#include "platform/win32/Win32Impl.h"

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
