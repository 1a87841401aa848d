#include "common/Files.h"

#include "common/Encodings.h"
#include "common/Text.h"
#include "platform/Platform.h"

namespace {
// Several programs may share one file: a reader and a replace may meet. The
// other side holds the file for a few milliseconds, so a few tries within
// about a quarter of a second get past it.
constexpr int kSharingRetries = 5;
constexpr std::uint32_t kSharingPause = 50;
}  // namespace

bool IsSharingConflict(std::uint32_t code) {
  return code == 5 || code == 32 || code == 33;  // access denied, sharing or lock violation
}

std::string GetTempFolder() {
  std::string folder = WideToUtf8(Os().TempPath());
  const std::size_t zero = folder.find('\0');
  if (zero != std::string::npos) folder.resize(zero);
  if (!folder.empty() && folder.back() != '\\') folder += '\\';
  return folder;
}

std::string SanitizeFileName(const std::string& text) {
  std::string result = Trim(text);
  for (char& c : result) {
    if (std::string("\\/:*?\"<>|").find(c) != std::string::npos) c = '_';
  }
  return result;
}

bool WriteFileText(const std::string& fileName, const std::string& text, std::string& errorText) {
  errorText.clear();
  const OsHandle file = Os().CreateFile(Utf8ToWide(fileName), FileOpen::CreateAlwaysExclusive);
  if (file == kInvalidHandle) {
    errorText = "Cannot create file " + fileName;
    return false;
  }
  std::uint32_t written = 0;
  const auto size = static_cast<std::uint32_t>(text.size());
  if (!text.empty() && (!Os().WriteFile(file, text.data(), size, written) || written != size)) {
    errorText = "Stream write error";
  }
  Os().CloseHandle(file);
  return errorText.empty();
}

bool WriteNewFileThrough(const std::string& fileName, const std::string& text, std::uint32_t& errorCode) {
  errorCode = 0;
  const std::u16string wideName = Utf8ToWide(fileName);
  const OsHandle file = Os().CreateFile(wideName, FileOpen::CreateNewExclusive);
  if (file == kInvalidHandle) {
    errorCode = Os().LastError();
    return false;
  }
  std::uint32_t written = 0;
  const auto size = static_cast<std::uint32_t>(text.size());
  const bool ok = (text.empty() || (Os().WriteFile(file, text.data(), size, written) && written == size)) &&
                  Os().FlushFile(file);
  if (!ok) errorCode = Os().LastError();
  Os().CloseHandle(file);
  if (!ok) Os().DeleteFile(wideName);  // a file cut short must not pass for a whole one
  return ok;
}

bool ReadFileText(const std::string& fileName, std::string& text, std::string& errorText, std::uint32_t& errorCode,
                  bool patiently) {
  text.clear();
  errorText.clear();
  errorCode = 0;
  const std::u16string wideName = Utf8ToWide(fileName);
  OsHandle file = Os().CreateFile(wideName, FileOpen::ReadExistingShared);
  for (int retry = 0; file == kInvalidHandle && patiently && retry < kSharingRetries &&
                      IsSharingConflict(Os().LastError());
       ++retry) {
    Os().Sleep(kSharingPause);
    file = Os().CreateFile(wideName, FileOpen::ReadExistingShared);
  }
  if (file == kInvalidHandle) {
    errorCode = Os().LastError();
    errorText = "Cannot open file " + fileName;
    return false;
  }
  std::uint64_t size = 0;
  std::uint32_t read = 0;
  if (!Os().FileSize(file, size) || size > 0xFFFFFFFFu) {
    errorText = "Stream read error";
  } else if (size > 0) {
    text.resize(static_cast<std::size_t>(size));
    if (!Os().ReadFile(file, &text[0], static_cast<std::uint32_t>(size), read) || read != size) {
      text.clear();
      errorText = "Stream read error";
    }
  }
  Os().CloseHandle(file);
  return errorText.empty();
}

bool FileExistsAt(const std::string& fileName) { return Os().FileExists(Utf8ToWide(fileName)); }

bool MoveFileOver(const std::string& from, const std::string& to, std::uint32_t& errorCode, bool patiently) {
  errorCode = 0;
  const std::u16string source = Utf8ToWide(from);
  const std::u16string target = Utf8ToWide(to);
  for (int retry = 0;; ++retry) {
    if (Os().MoveFileReplace(source, target)) return true;
    errorCode = Os().LastError();
    if (!patiently || retry == kSharingRetries || !IsSharingConflict(errorCode)) return false;
    Os().Sleep(kSharingPause);
  }
}

void RemoveFile(const std::string& fileName) { Os().DeleteFile(Utf8ToWide(fileName)); }
