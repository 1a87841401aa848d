#include "common/HiddenToken.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {
const char kHidden[] = "***";
// A cut-off beginning of a token shorter than this is shown: see HideTokensInFragment.
constexpr std::size_t kShortestHiddenPiece = 6;

// A few a day at most; never written anywhere.
std::vector<std::string> Tokens;

enum class TMatch { No, Yes, CutOff };  // CutOff: the text ends before the match could be decided

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Whether `digits` hex digits at p spell the low bits of `code`.
TMatch MatchHex(const std::string& text, std::size_t p, unsigned code, std::size_t digits) {
  for (std::size_t i = 0; i < digits; ++i) {
    if (p + i == text.size()) return TMatch::CutOff;
    if (HexValue(text[p + i]) != static_cast<int>((code >> (4 * (digits - 1 - i))) & 15)) return TMatch::No;
  }
  return TMatch::Yes;
}

// Whether the token's character `c` stands at p, as it is, JSON-escaped or
// percent-encoded; on Yes, p moves behind it.
TMatch MatchChar(const std::string& text, std::size_t& p, char c) {
  static const char kEscaped[] = "\"\\/\b\f\n\r\t";
  static const char kEscapeLetters[] = "\"\\/bfnrt";
  const auto code = static_cast<unsigned char>(c);
  if (text[p] == '\\') {
    if (p + 1 == text.size()) return TMatch::CutOff;
    const char* escaped = c == '\0' ? nullptr : std::strchr(kEscaped, c);
    if (escaped && text[p + 1] == kEscapeLetters[escaped - kEscaped]) {
      p += 2;
      return TMatch::Yes;
    }
    if (text[p + 1] == 'u' && code < 0x80) {
      const TMatch match = MatchHex(text, p + 2, code, 4);
      if (match == TMatch::Yes) p += 6;
      return match;
    }
  }
  // The characters of a base64 token that a URL or an HTML page encodes.
  if (text[p] == '%' && (c == '/' || c == '+' || c == '=')) {
    const TMatch match = MatchHex(text, p + 1, code, 2);
    if (match == TMatch::Yes) p += 3;
    return match;
  }
  if (text[p] != c) return TMatch::No;
  ++p;
  return TMatch::Yes;
}

// Whether the token, in any mix of its forms, starts at p; on Yes, `end` is behind
// it; on CutOff, `matched` counts the token's characters before the text ended.
TMatch MatchToken(const std::string& text, std::size_t p, const std::string& token, std::size_t& end,
                  std::size_t& matched) {
  for (matched = 0; matched < token.size(); ++matched) {
    if (p == text.size()) return TMatch::CutOff;
    const TMatch match = MatchChar(text, p, token[matched]);
    if (match != TMatch::Yes) return match;
  }
  end = p;
  return TMatch::Yes;
}

std::string Hide(const std::string& text, bool fragment) {
  if (Tokens.empty()) return text;
  std::string shown;
  std::size_t copied = 0;  // the bytes before this are in `shown`
  std::size_t p = 0;
  while (p < text.size()) {
    std::size_t end = p;  // behind the longest token found at p
    for (const std::string& token : Tokens) {
      std::size_t behind = 0, matched = 0;
      const TMatch match = MatchToken(text, p, token, behind, matched);
      if (match == TMatch::Yes) end = std::max(end, behind);
      if (match == TMatch::CutOff && fragment && matched >= kShortestHiddenPiece) end = text.size();
    }
    if (end == p) {
      ++p;
      continue;
    }
    shown.append(text, copied, p - copied).append(kHidden);
    p = copied = end;
  }
  return shown.append(text, copied, std::string::npos);
}
}  // namespace

void RememberToken(const std::string& token) {
  if (!token.empty() && std::find(Tokens.begin(), Tokens.end(), token) == Tokens.end()) Tokens.push_back(token);
}

std::string HideTokens(const std::string& text) { return Hide(text, false); }

std::string HideTokensInFragment(const std::string& text) { return Hide(text, true); }

void ForgetTokens() { Tokens.clear(); }
