#include "common/Files.h"

#include "common/Encodings.h"
#include "common/Text.h"
#include "platform/Platform.h"

namespace {
constexpr std::uint32_t kSharingPause = 50;

// One try; the reason for a failure in English, with the system's error code where it gave one.
std::string ReadWholeFile(const std::string& fileName, std::string& text, std::uint32_t& errorCode) {
  text.clear();
  errorCode = 0;
  const OsHandle file = Os().CreateFile(Utf8ToWide(fileName), FileOpen::ReadExistingShared);
  if (file == kInvalidHandle) {
    errorCode = Os().LastError();
    return "Cannot open file " + fileName;
  }
  std::uint64_t size = 0;
  std::uint32_t read = 0;
  bool whole = Os().FileSize(file, size) && size <= 0xFFFFFFFFu;
  if (whole && size > 0) {
    text.resize(static_cast<std::size_t>(size));
    whole = Os().ReadFile(file, &text[0], static_cast<std::uint32_t>(size), read) && read == size;
    if (!whole) errorCode = Os().LastError();  // a range that another program has locked, say
  }
  Os().CloseHandle(file);
  if (whole) return std::string();
  text.clear();
  return "Stream read error";
}
}  // namespace

bool IsSharingConflict(std::uint32_t code) {
  return code == 5 || code == 32 || code == 33;  // access denied, sharing or lock violation
}

bool PausedForHolder(TPatience patience, std::uint32_t since, std::uint32_t code) {
  const std::uint32_t wait = patience == TPatience::Long ? 2000 : patience == TPatience::Brief ? 250 : 0;
  if (!IsSharingConflict(code) || Os().TickCount() - since + kSharingPause > wait) return false;
  Os().Sleep(kSharingPause);
  return true;
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
                  TPatience patience) {
  const std::uint32_t since = Os().TickCount();
  do {
    errorText = ReadWholeFile(fileName, text, errorCode);
  } while (!errorText.empty() && PausedForHolder(patience, since, errorCode));
  return errorText.empty();
}

bool FileExistsAt(const std::string& fileName) { return Os().FileExists(Utf8ToWide(fileName)); }

bool NameStartsWith(const std::u16string& name, const std::u16string& part) {
  return name.size() >= part.size() && Os().SameTextOrdinalIgnoreCase(name.substr(0, part.size()), part);
}

bool NameEndsWith(const std::u16string& name, const std::u16string& part) {
  return name.size() >= part.size() && Os().SameTextOrdinalIgnoreCase(name.substr(name.size() - part.size()), part);
}

bool MoveFileOver(const std::string& from, const std::string& to, std::uint32_t& errorCode, TPatience patience) {
  errorCode = 0;
  const std::u16string source = Utf8ToWide(from);
  const std::u16string target = Utf8ToWide(to);
  const std::uint32_t since = Os().TickCount();
  while (!Os().MoveFileReplace(source, target)) {
    errorCode = Os().LastError();
    if (!PausedForHolder(patience, since, errorCode)) return false;
  }
  return true;
}

void RemoveFile(const std::string& fileName) { Os().DeleteFile(Utf8ToWide(fileName)); }
