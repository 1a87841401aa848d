#include "common/AICommonUtf8.h"

#include "common/AICommon.h"
#include "platform/Platform.h"

namespace {
constexpr std::uint32_t kLastSingleUnitCodePoint = 0xFFFF;

// Several bridges share one cache file: a reader and a replace may meet. The
// other side holds the file for a few milliseconds, so a few tries within
// about a quarter of a second get past it.
constexpr int kSharingRetries = 5;
constexpr std::uint32_t kSharingPause = 50;

bool IsSharingConflict(std::uint32_t code) {
  return code == 5 || code == 32 || code == 33;  // access denied, sharing or lock violation
}

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

unsigned char ByteAt(const std::string& text, int position) {
  return static_cast<unsigned char>(text[static_cast<std::size_t>(position - 1)]);
}
}  // namespace

std::string AnsiToUtf8(const std::string& ansi) {
  if (ansi.empty()) return std::string();
  return Os().WideToMultiByte(kCodePageUtf8, Os().MultiByteToWide(kCodePageAnsi, ansi), nullptr);
}

std::u16string Utf8ToWide(const std::string& utf8) {
  if (utf8.empty()) return std::u16string();
  return Os().MultiByteToWide(kCodePageUtf8, utf8);
}

std::string WideToUtf8(const std::u16string& wide) {
  if (wide.empty()) return std::string();
  return Os().WideToMultiByte(kCodePageUtf8, wide, nullptr);
}

std::string WideToCodePage(const std::u16string& wide, unsigned codePage) {
  std::string result;
  std::size_t i = 0;
  while (i < wide.size()) {
    std::size_t units = 1;
    if (IsHighSurrogate(wide[i]) && i + 1 < wide.size() && IsLowSurrogate(wide[i + 1])) units = 2;
    bool usedDefault = false;
    const std::string bytes = Os().WideToMultiByte(codePage, wide.substr(i, units), &usedDefault);
    if (!bytes.empty() && !usedDefault) result += bytes;
    i += units;
  }
  return result;
}

std::string CutUtf8(const std::string& text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  std::size_t cut = maxBytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // a continuation byte
  return text.substr(0, cut);
}

namespace {
// The length of the well-formed sequence at p, or 0; `checked` gets how many
// bytes belong to its maximal ill-formed part when it is not well-formed.
std::size_t WellFormedAt(const std::string& text, std::size_t p, std::size_t& checked) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(p);
  std::size_t length = 0;
  unsigned char low = 0x80;  // the range of the second byte; later ones are 80 to BF
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // a surrogate
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  }
  checked = 1;
  if (length == 0) return 0;
  for (; checked < length; ++checked, low = 0x80, high = 0xBF) {
    if (p + checked >= text.size() || byte(p + checked) < low || byte(p + checked) > high) return 0;
  }
  return length;
}
}  // namespace

std::size_t ReplaceInvalidUtf8(std::string& text) {
  static const char kReplacement[] = "\xEF\xBF\xBD";
  std::string repaired;
  std::size_t replaced = 0;
  std::size_t runStart = 0;  // first byte not yet copied into `repaired`
  std::size_t p = 0;
  while (p < text.size()) {
    if (static_cast<unsigned char>(text[p]) < 0x80) {
      ++p;
      continue;
    }
    std::size_t checked = 0;
    const std::size_t length = WellFormedAt(text, p, checked);
    if (length > 0) {
      p += length;
      continue;
    }
    if (replaced++ == 0) repaired.reserve(text.size() + 16);
    repaired.append(text, runStart, p - runStart).append(kReplacement);
    p += checked;
    runStart = p;
  }
  if (replaced > 0) {
    repaired.append(text, runStart, std::string::npos);
    text.swap(repaired);
  }
  return replaced;
}

bool DecodeUtf8Char(const std::string& text, int position, std::uint32_t& codePoint, int& length) {
  const int size = static_cast<int>(text.size());
  codePoint = 0;
  length = 0;
  if (position < 1 || position > size) return false;
  const unsigned char lead = ByteAt(text, position);
  const int available = size - position;  // bytes after the lead byte
  auto tail = [&](int k) { return static_cast<std::uint32_t>(ByteAt(text, position + k) & 0x3F); };
  codePoint = lead;
  length = 1;
  if (lead < 0x80) return true;
  if ((lead & 0xE0) == 0xC0 && available >= 1) {
    codePoint = (static_cast<std::uint32_t>(lead & 0x1F) << 6) | tail(1);
    length = 2;
  } else if ((lead & 0xF0) == 0xE0 && available >= 2) {
    codePoint = (static_cast<std::uint32_t>(lead & 0x0F) << 12) | (tail(1) << 6) | tail(2);
    length = 3;
  } else if ((lead & 0xF8) == 0xF0 && available >= 3) {
    codePoint = (static_cast<std::uint32_t>(lead & 0x07) << 18) | (tail(1) << 12) | (tail(2) << 6) | tail(3);
    length = 4;
  }
  return true;
}

std::string Utf8ToAnsi(const std::string& utf8) {
  std::string result;
  int position = 1;
  std::uint32_t codePoint = 0;
  int length = 0;
  while (DecodeUtf8Char(utf8, position, codePoint, length)) {
    if (codePoint < 0x80) {
      result += static_cast<char>(codePoint);
    } else if (codePoint <= kLastSingleUnitCodePoint) {
      result += Os().WideToMultiByte(kCodePageAnsi, std::u16string(1, static_cast<char16_t>(codePoint)), nullptr);
    } else {
      result += '?';  // no ANSI code page has characters beyond the basic plane
    }
    position += length;
  }
  return result;
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

bool ReadFileText(const std::string& fileName, std::string& text, std::string& errorText) {
  text.clear();
  errorText.clear();
  const std::u16string wideName = Utf8ToWide(fileName);
  OsHandle file = Os().CreateFile(wideName, FileOpen::ReadExistingShared);
  for (int retry = 0; file == kInvalidHandle && retry < kSharingRetries && IsSharingConflict(Os().LastError());
       ++retry) {
    Os().Sleep(kSharingPause);
    file = Os().CreateFile(wideName, FileOpen::ReadExistingShared);
  }
  if (file == kInvalidHandle) {
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

bool MoveFileOver(const std::string& from, const std::string& to, std::uint32_t& errorCode) {
  errorCode = 0;
  const std::u16string source = Utf8ToWide(from);
  const std::u16string target = Utf8ToWide(to);
  for (int retry = 0;; ++retry) {
    if (Os().MoveFileReplace(source, target)) return true;
    errorCode = Os().LastError();
    if (retry == kSharingRetries || !IsSharingConflict(errorCode)) return false;
    Os().Sleep(kSharingPause);
  }
}

void RemoveFile(const std::string& fileName) { Os().DeleteFile(Utf8ToWide(fileName)); }
