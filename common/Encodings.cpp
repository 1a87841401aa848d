#include "common/Encodings.h"

#include "common/Text.h"
#include "platform/Platform.h"

#include <algorithm>

namespace {
constexpr std::uint32_t kLastSingleUnitCodePoint = 0xFFFF;


bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

bool IsContinuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

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
  // Back to the lead byte of a character the cut would halve; bytes that are no UTF-8 stay bytes.
  while (cut > 0 && maxBytes - cut < 3 && IsContinuation(text[cut])) --cut;
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

std::size_t FindInvalidUtf8(const std::string& text, std::size_t from, std::size_t& length) {
  for (std::size_t p = from; p < text.size();) {
    if (static_cast<unsigned char>(text[p]) < 0x80) {
      ++p;
      continue;
    }
    const std::size_t wellFormed = WellFormedAt(text, p, length);
    if (wellFormed == 0) return p;
    p += wellFormed;
  }
  length = 0;
  return std::string::npos;
}

bool IsUtf8(const std::string& text) {
  std::size_t length = 0;
  return FindInvalidUtf8(text, 0, length) == std::string::npos;
}

std::size_t ReplaceInvalidUtf8(std::string& text) {
  static const char kReplacement[] = "\xEF\xBF\xBD";
  std::size_t length = 0;
  std::size_t bad = FindInvalidUtf8(text, 0, length);
  if (bad == std::string::npos) return 0;
  std::string repaired;
  repaired.reserve(text.size() + 16);
  std::size_t replaced = 0;
  std::size_t kept = 0;  // first byte not yet copied into `repaired`
  for (; bad != std::string::npos; bad = FindInvalidUtf8(text, kept, length), ++replaced) {
    repaired.append(text, kept, bad - kept).append(kReplacement);
    kept = bad + length;
  }
  repaired.append(text, kept, std::string::npos);
  text.swap(repaired);
  return replaced;
}

std::string ShowAsText(const std::string& bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size());
  std::size_t p = 0;
  while (p < bytes.size()) {
    const auto c = static_cast<unsigned char>(bytes[p]);
    std::size_t checked = 0;
    const std::size_t length = c < 0x80 ? 1 : WellFormedAt(bytes, p, checked);
    const bool c1Control = c == 0xC2 && length == 2 && static_cast<unsigned char>(bytes[p + 1]) < 0xA0;
    if (c == '\r' || c == '\n') {
      text += c == '\r' ? "\\r" : "\\n";
    } else if (length > 0 && c >= 32 && c != 127 && !c1Control) {
      text.append(bytes, p, length);
    } else {
      for (std::size_t i = p; i < p + std::max<std::size_t>(length, 1); ++i) {
        const auto shown = static_cast<unsigned char>(bytes[i]);
        text.append("\\x").append(1, kHex[shown >> 4]).append(1, kHex[shown & 15]);
      }
    }
    p += std::max<std::size_t>(length, 1);
  }
  return text;
}

void AppendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
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
