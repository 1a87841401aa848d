#include "common/HiddenToken.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {
const char kHidden[] = "***";
// The characters JSON writes with a backslash, and the letters that follow it.
const char kEscaped[] = "\"\\/\b\f\n\r\t";
const char kEscapeLetters[] = "\"\\/bfnrt";
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

// A token the bridge has not been given yet has the shape of those it has: the
// CRM application keeps its kind of token when it issues a new one.
struct TTokenShape {
  std::vector<std::size_t> Lengths;  // of the run's tokens long enough to be told by shape
  bool Digits = false, Lower = false, Upper = false;  // classes the tokens draw from
  std::string Others;                                 // and their other characters
  bool AlwaysDigit = true, AlwaysLetter = true;       // every token holds one
};

// Shorter tokens are no random secrets, and too many words would look like them.
constexpr std::size_t kShortestShapedToken = 16;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLower(char c) { return c >= 'a' && c <= 'z'; }
bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }

TTokenShape ShapeOfTokens() {
  TTokenShape shape;
  for (const std::string& token : Tokens) {
    if (token.size() < kShortestShapedToken) continue;
    shape.Lengths.push_back(token.size());
    bool digit = false, letter = false;
    for (char c : token) {
      digit = digit || IsDigit(c);
      letter = letter || IsLower(c) || IsUpper(c);
      shape.Digits = shape.Digits || IsDigit(c);
      shape.Lower = shape.Lower || IsLower(c);
      shape.Upper = shape.Upper || IsUpper(c);
      if (!IsDigit(c) && !IsLower(c) && !IsUpper(c) && shape.Others.find(c) == std::string::npos) shape.Others += c;
    }
    shape.AlwaysDigit = shape.AlwaysDigit && digit;
    shape.AlwaysLetter = shape.AlwaysLetter && letter;
  }
  return shape;
}

bool InShape(const TTokenShape& shape, char c) {
  if (IsDigit(c)) return shape.Digits;
  if (IsLower(c)) return shape.Lower;
  if (IsUpper(c)) return shape.Upper;
  return c != '\0' && shape.Others.find(c) != std::string::npos;
}

// The character that stands at p in any of the forms MatchChar knows, and where it ends.
char CharAt(const std::string& text, std::size_t p, std::size_t& next) {
  next = p + 1;
  if (text[p] == '\\' && p + 1 < text.size()) {
    const char* letter = std::strchr(kEscapeLetters, text[p + 1]);
    if (letter && text[p + 1] != '\0') {
      next = p + 2;
      return kEscaped[letter - kEscapeLetters];
    }
    if (text[p + 1] == 'u' && p + 6 <= text.size() && text.compare(p + 2, 2, "00") == 0 &&
        HexValue(text[p + 4]) >= 0 && HexValue(text[p + 5]) >= 0 && HexValue(text[p + 4]) < 8) {
      next = p + 6;
      return static_cast<char>(HexValue(text[p + 4]) * 16 + HexValue(text[p + 5]));
    }
  }
  if (text[p] == '%' && p + 3 <= text.size() && HexValue(text[p + 1]) >= 0 && HexValue(text[p + 2]) >= 0) {
    const char c = static_cast<char>(HexValue(text[p + 1]) * 16 + HexValue(text[p + 2]));
    if (c == '/' || c == '+' || c == '=') {
      next = p + 3;
      return c;
    }
  }
  return text[p];
}

// Every whole word shaped like a token of the run: as long as one, of its kinds of
// characters, in any of the forms a token may take.
std::string HideShapedTokens(const std::string& text) {
  const TTokenShape shape = ShapeOfTokens();
  if (shape.Lengths.empty()) return text;
  std::string shown;
  std::size_t copied = 0;
  std::size_t p = 0;
  while (p < text.size()) {
    std::size_t next = p;
    if (!InShape(shape, CharAt(text, p, next))) {
      p = next;
      continue;
    }
    const std::size_t start = p;
    std::size_t length = 0;
    bool digit = false, letter = false;
    while (p < text.size()) {
      const char c = CharAt(text, p, next);
      if (!InShape(shape, c)) break;
      ++length;
      digit = digit || IsDigit(c);
      letter = letter || IsLower(c) || IsUpper(c);
      p = next;
    }
    const bool tokenLong = std::find(shape.Lengths.begin(), shape.Lengths.end(), length) != shape.Lengths.end();
    if (tokenLong && (digit || !shape.AlwaysDigit) && (letter || !shape.AlwaysLetter)) {
      shown.append(text, copied, start - copied).append(kHidden);
      copied = p;
    }
  }
  return shown.append(text, copied, std::string::npos);
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
  return HideShapedTokens(shown.append(text, copied, std::string::npos));
}
}  // namespace

void RememberToken(const std::string& token) {
  if (!token.empty() && std::find(Tokens.begin(), Tokens.end(), token) == Tokens.end()) Tokens.push_back(token);
}

std::string HideTokens(const std::string& text) { return Hide(text, false); }

std::string HideTokensInFragment(const std::string& text) { return Hide(text, true); }

void ForgetTokens() { Tokens.clear(); }
