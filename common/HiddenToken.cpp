#include "common/HiddenToken.h"

#include <cstring>

namespace {
const char kHidden[] = "***";

enum class TMatch { No, Yes, CutOff };  // CutOff: the text ends before the match could be decided

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Whether the token's character `c` stands at p, as it is or JSON-escaped; on Yes,
// p moves behind it.
TMatch MatchChar(const std::string& text, std::size_t& p, char c) {
  static const char kEscaped[] = "\"\\/\b\f\n\r\t";
  static const char kEscapeLetters[] = "\"\\/bfnrt";
  if (text[p] == '\\') {
    if (p + 1 == text.size()) return TMatch::CutOff;
    const char* escaped = c == '\0' ? nullptr : std::strchr(kEscaped, c);
    if (escaped && text[p + 1] == kEscapeLetters[escaped - kEscaped]) {
      p += 2;
      return TMatch::Yes;
    }
    const auto code = static_cast<unsigned char>(c);
    if (text[p + 1] == 'u' && code < 0x80) {
      for (std::size_t i = 0; i < 4; ++i) {
        if (p + 2 + i == text.size()) return TMatch::CutOff;
        if (HexValue(text[p + 2 + i]) != ((code >> (12 - 4 * i)) & 15)) return TMatch::No;
      }
      p += 6;
      return TMatch::Yes;
    }
  }
  if (text[p] != c) return TMatch::No;
  ++p;
  return TMatch::Yes;
}

// Whether the token, in any mix of its forms, starts at p; on Yes, `end` is behind it.
TMatch MatchToken(const std::string& text, std::size_t p, const std::string& token, std::size_t& end) {
  for (char c : token) {
    if (p == text.size()) return TMatch::CutOff;
    const TMatch match = MatchChar(text, p, c);
    if (match != TMatch::Yes) return match;
  }
  end = p;
  return TMatch::Yes;
}
}  // namespace

std::string HideToken(const std::string& text, const std::string& token) {
  if (token.empty()) return text;
  std::string shown;
  std::size_t copied = 0;  // the bytes before this are in `shown`
  std::size_t p = 0;
  while (p < text.size()) {
    std::size_t end = 0;
    const TMatch match = MatchToken(text, p, token, end);
    if (match == TMatch::No) {
      ++p;
      continue;
    }
    shown.append(text, copied, p - copied).append(kHidden);
    p = copied = match == TMatch::Yes ? end : text.size();
  }
  return shown.append(text, copied, std::string::npos);
}
