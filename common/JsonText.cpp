#include "common/JsonText.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/Encodings.h"
#include "common/Text.h"

namespace {
constexpr std::size_t kNotFound = std::string::npos;

bool EndsBareValue(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == ',' || c == ']' || c == '}'; }

std::size_t SkipBlanks(const std::string& s, std::size_t p) {
  while (p < s.size() && IsJsonWhitespace(s[p])) ++p;
  return p;
}

// p stands on the opening quote; returns the position behind the closing quote,
// or kNotFound when the string is not closed.
std::size_t SkipString(const std::string& s, std::size_t p) {
  for (++p; p < s.size(); ++p) {
    if (s[p] == '\\') {
      ++p;
    } else if (s[p] == '"') {
      return p + 1;
    }
  }
  return kNotFound;
}

// Steps over one value starting at p; kNotFound when it is not complete.
std::size_t SkipValue(const std::string& s, std::size_t p) {
  if (p >= s.size()) return kNotFound;
  if (s[p] == '"') return SkipString(s, p);
  if (s[p] == '{' || s[p] == '[') {
    std::string closers;  // what each open bracket still waits for
    while (p < s.size()) {
      const char c = s[p];
      if (c == '"') {
        p = SkipString(s, p);
        if (p == kNotFound) return kNotFound;
        continue;
      }
      if (c == '{') closers += '}';
      if (c == '[') closers += ']';
      if (c == '}' || c == ']') {
        if (c != closers.back()) return kNotFound;
        closers.pop_back();
        if (closers.empty()) return p + 1;
      }
      ++p;
    }
    return kNotFound;
  }
  while (p < s.size() && !EndsBareValue(s[p])) ++p;
  return p;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hex digits at p as a number, or -1.
long Hex4(const char* p, const char* end) {
  if (end - p < 4) return -1;
  long value = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = HexDigit(p[i]);
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

// The content of a string between its quotes, p to end, with its escapes decoded;
// false at an escape JSON does not know.
bool DecodeString(const char* p, const char* end, std::string& out) {
  out.clear();
  while (p < end) {
    if (*p != '\\') {
      out += *p++;
      continue;
    }
    if (++p == end) return false;
    const char kind = *p++;
    switch (kind) {
      case '"': case '\\': case '/': out += kind; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        const long high = Hex4(p, end);
        if (high < 0) return false;
        unsigned long code = static_cast<unsigned long>(high);
        p += 4;
        if (code >= 0xD800 && code < 0xDC00 && end - p >= 6 && p[0] == '\\' && p[1] == 'u') {
          const long low = Hex4(p + 2, end);
          if (low >= 0xDC00 && low < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<unsigned long>(low) - 0xDC00);
            p += 6;
          }
        }
        if (code >= 0xD800 && code < 0xE000) code = 0xFFFD;  // a lone half of a pair
        AppendUtf8(out, static_cast<std::uint32_t>(code));
        break;
      }
      default: return false;
    }
  }
  return true;
}

// Whether the name between s[open] and s[close - 1], both quotes, decodes to key.
bool NameIs(const std::string& s, std::size_t open, std::size_t close, const std::string& key) {
  const char* first = s.data() + open + 1;
  const char* last = s.data() + close - 1;
  const std::size_t length = static_cast<std::size_t>(last - first);
  if (length == key.size() && s.compare(open + 1, length, key) == 0) return true;
  if (std::find(first, last, '\\') == last) return false;
  std::string decoded;
  return DecodeString(first, last, decoded) && decoded == key;
}

// Position of the value of the next member named `key` from p on, where p stands
// inside an object, before a member or behind one; kNotFound when there is none.
std::size_t NextMemberValue(const std::string& s, const std::string& key, std::size_t p) {
  for (;;) {
    while (p < s.size() && (IsJsonWhitespace(s[p]) || s[p] == ',')) ++p;
    if (p >= s.size() || s[p] != '"') return kNotFound;
    const std::size_t nameEnd = SkipString(s, p);
    if (nameEnd == kNotFound) return kNotFound;
    const bool wanted = NameIs(s, p, nameEnd, key);
    p = SkipBlanks(s, nameEnd);
    if (p >= s.size() || s[p] != ':') return kNotFound;
    p = SkipBlanks(s, p + 1);
    if (wanted) return p;
    p = SkipValue(s, p);
    if (p == kNotFound) return kNotFound;
  }
}

// Position of the value of the member `key` of the object at `start` (the
// top-level one by default), or kNotFound.
std::size_t FindMemberValue(const std::string& s, const std::string& key, std::size_t start = 0) {
  const std::size_t p = SkipBlanks(s, start);
  if (p >= s.size() || s[p] != '{') return kNotFound;
  return NextMemberValue(s, key, p + 1);
}

bool IsObjectAt(const std::string& s, std::size_t p) { return p < s.size() && s[p] == '{'; }

// The strict scanners below take p at the first byte of what they scan and give
// the position behind it, or nullptr when it is not valid JSON.

// Past whitespace, and past comments too when they count as whitespace; an
// unclosed comment stops the skip at its start.
template <bool Comments>
const char* SkipGap(const char* p, const char* end) {
  for (;;) {
    while (p < end && IsJsonWhitespace(*p)) ++p;
    if (!Comments || end - p < 2 || p[0] != '/') return p;
    if (p[1] == '/') {
      p += 2;
      while (p < end && *p != '\n') ++p;
    } else if (p[1] == '*') {
      const char* close = p + 2;
      while (close + 1 < end && !(close[0] == '*' && close[1] == '/')) ++close;
      if (close + 1 >= end) return p;
      p = close + 2;
    } else {
      return p;
    }
  }
}

// Bytes that stand for themselves inside a string.
struct TPlainStringBytes {
  bool Plain[256];
  TPlainStringBytes() {
    for (int c = 0; c < 256; ++c) Plain[c] = c >= 0x20 && c != '"' && c != '\\';
  }
};

const char* ScanString(const char* p, const char* end) {
  static const TPlainStringBytes kBytes;
  ++p;  // the opening quote
  for (;;) {
    while (p < end && kBytes.Plain[static_cast<unsigned char>(*p)]) ++p;
    if (p == end) return nullptr;
    if (*p == '"') return p + 1;
    if (*p != '\\' || ++p == end) return nullptr;  // a raw control byte, or a backslash at the end
    switch (*p) {
      case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': ++p; break;
      case 'u':
        if (Hex4(p + 1, end) < 0) return nullptr;
        p += 5;
        break;
      default: return nullptr;
    }
  }
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

const char* ScanDigits(const char* p, const char* end) {
  if (p == end || !IsDigit(*p)) return nullptr;
  while (p < end && IsDigit(*p)) ++p;
  return p;
}

const char* ScanNumber(const char* p, const char* end) {
  if (*p == '-') ++p;
  if (p < end && *p == '0') {
    ++p;
  } else {
    p = ScanDigits(p, end);
    if (!p) return nullptr;
  }
  if (p < end && *p == '.') {
    p = ScanDigits(p + 1, end);
    if (!p) return nullptr;
  }
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    p = ScanDigits(p, end);
  }
  return p;
}

const char* ScanLiteral(const char* p, const char* end, const char* word, std::size_t length) {
  if (static_cast<std::size_t>(end - p) < length || std::char_traits<char>::compare(p, word, length) != 0) return nullptr;
  return p + length;
}

// A scalar value: string, number, true, false or null.
const char* ScanScalar(const char* p, const char* end) {
  switch (*p) {
    case '"': return ScanString(p, end);
    case 't': return ScanLiteral(p, end, "true", 4);
    case 'f': return ScanLiteral(p, end, "false", 5);
    case 'n': return ScanLiteral(p, end, "null", 4);
    default: return *p == '-' || IsDigit(*p) ? ScanNumber(p, end) : nullptr;
  }
}

TJsonCheck FaultAt(TJsonFault fault, const char* begin, const char* at) {
  return TJsonCheck{fault, static_cast<std::size_t>(at - begin)};
}

// Where the grammar wants something else: a comment where none may stand, or
// anything else wrong.
template <bool Comments>
TJsonCheck Unexpected(const char* begin, const char* end, const char* at) {
  const bool comment = !Comments && end - at >= 2 && at[0] == '/' && (at[1] == '/' || at[1] == '*');
  return FaultAt(comment ? TJsonFault::Comment : TJsonFault::Invalid, begin, at);
}

// The check of CheckJsonObject from p on, made once for each syntax so that
// plain JSON pays nothing for comments.
template <bool Comments, bool TrailingCommas>
TJsonCheck CheckObject(const char* const begin, const char* const end, const char* p) {
  p = SkipGap<Comments>(p, end);
  if (p < end && *p != '{' && (*p == '[' || ScanScalar(p, end))) return FaultAt(TJsonFault::NotObject, begin, p);
  std::string closers;  // of the brackets not closed yet: a reply may nest deeper than any call stack
  for (;;) {
    // A value starts at p; inside an object, a member's name and colon first.
    if (!closers.empty() && closers.back() == '}') {
      const char* const name = p < end && *p == '"' ? ScanString(p, end) : nullptr;
      if (!name) return Unexpected<Comments>(begin, end, p);
      p = SkipGap<Comments>(name, end);
      if (p == end || *p != ':') return Unexpected<Comments>(begin, end, p);
      p = SkipGap<Comments>(p + 1, end);
    }
    if (p < end && (*p == '{' || *p == '[')) {
      closers += *p == '{' ? '}' : ']';
      p = SkipGap<Comments>(p + 1, end);
      if (p == end || *p != closers.back()) continue;
      closers.pop_back();
      ++p;
    } else {
      const char* const scalarEnd = p < end ? ScanScalar(p, end) : nullptr;
      if (!scalarEnd) return Unexpected<Comments>(begin, end, p);
      p = scalarEnd;
    }
    // Behind a value: closing brackets and a comma, up to the next value.
    for (;;) {
      p = SkipGap<Comments>(p, end);
      if (closers.empty()) return p == end ? TJsonCheck() : Unexpected<Comments>(begin, end, p);
      if (p < end && *p == closers.back()) {
        closers.pop_back();
        ++p;
        continue;
      }
      if (p == end || *p != ',') return Unexpected<Comments>(begin, end, p);
      const char* const comma = p;
      p = SkipGap<Comments>(p + 1, end);
      if (p == end || *p != closers.back()) break;
      if (!TrailingCommas) return FaultAt(TJsonFault::TrailingComma, begin, comma);
    }
  }
}

constexpr std::size_t kCanonicalDepth = 128;
constexpr std::size_t kLongestExponent = 15;

void AppendCanonicalString(std::string& out, const std::string& decoded) {
  static const char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char c : decoded) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  out += '"';
}

// A valid number from p to end as its significant digits, without leading or
// trailing zeros, and a power of ten: exact, where a double would round.
bool CanonicalNumber(const char* p, const char* end, std::string& out) {
  const bool negative = *p == '-';
  if (negative) ++p;
  std::string digits;
  std::int64_t exponent = 0;
  for (; p < end && IsDigit(*p); ++p) digits += *p;
  if (p < end && *p == '.') {
    for (++p; p < end && IsDigit(*p); ++p, --exponent) digits += *p;
  }
  if (p < end) {  // the exponent
    ++p;
    const bool minus = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    if (static_cast<std::size_t>(end - p) > kLongestExponent) return false;
    std::int64_t written = 0;
    for (; p < end; ++p) written = written * 10 + (*p - '0');
    exponent += minus ? -written : written;
  }
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) {
    out = "0";
    return true;
  }
  const std::size_t last = digits.find_last_not_of('0');
  exponent += static_cast<std::int64_t>(digits.size() - 1 - last);
  out = (negative ? "-" : "") + digits.substr(first, last + 1 - first);
  if (exponent != 0) out += "e" + ToDecimal(exponent);
  return true;
}

bool CanonicalScalar(const char* p, const char* end, std::string& out) {
  if (*p == '"') {
    std::string decoded;
    if (!DecodeString(p + 1, end - 1, decoded)) return false;
    out.clear();
    AppendCanonicalString(out, decoded);
    return true;
  }
  if (*p == '-' || IsDigit(*p)) return CanonicalNumber(p, end, out);
  out.assign(p, end);
  return true;
}

// An object or array being read: the canonical texts of what it holds so far.
struct TOpenValue {
  bool Object = false;
  std::string Name;  // decoded, of the member whose value comes next
  std::vector<std::pair<std::string, std::string>> Items;
};

std::string CloseValue(TOpenValue& open) {
  if (open.Object) {
    std::stable_sort(open.Items.begin(), open.Items.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
  }
  std::string out(1, open.Object ? '{' : '[');
  for (std::size_t i = 0; i < open.Items.size(); ++i) {
    if (i > 0) out += ',';
    if (open.Object) {
      AppendCanonicalString(out, open.Items[i].first);
      out += ':';
    }
    out += open.Items[i].second;
  }
  out += open.Object ? '}' : ']';
  return out;
}

// The raw text of the value at p, as JsonRawValue describes it.
std::string RawValueAt(const std::string& text, std::size_t p) {
  if (p == kNotFound || p >= text.size()) return std::string();
  if (text[p] == '"') {
    const std::size_t end = SkipString(text, p);
    return end == kNotFound ? text.substr(p) : text.substr(p, end - p);
  }
  if (text[p] == '{' || text[p] == '[') {
    const std::size_t end = SkipValue(text, p);
    if (end != kNotFound) {
      std::string whole = text.substr(p, end - p);
      // Blanks between its parts only: a reply that carries it stays one line.
      for (char& c : whole) {
        if (c == '\r' || c == '\n') c = ' ';
      }
      return whole;
    }
  }
  std::size_t end = p;
  while (end < text.size() && !EndsBareValue(text[end])) ++end;
  return text.substr(p, end - p);
}
}  // namespace

std::string JsonRawValue(const std::string& text, const std::string& key) {
  return RawValueAt(text, FindMemberValue(text, key));
}

std::string JsonMemberValue(const std::string& text, const std::string& key) {
  const std::size_t p = FindMemberValue(text, key);
  if (p == kNotFound) return std::string();
  const std::size_t end = SkipValue(text, p);
  if (end == kNotFound) return std::string();
  return text.substr(p, end - p);
}

std::size_t JsonMemberAt(const std::string& text, const std::string& key, std::size_t objectStart) {
  return FindMemberValue(text, key, objectStart);
}

std::string JsonParamsValue(const std::string& line, const std::string& key) {
  // Looked up in place: the params of one request may be many megabytes.
  const std::size_t params = FindMemberValue(line, "params");
  if (params == kNotFound || SkipValue(line, params) == kNotFound) return std::string();
  return RawValueAt(line, FindMemberValue(line, key, params));
}

TJsonCheck CheckJsonObject(const std::string& text, std::size_t from, TJsonSyntax syntax) {
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const char* const start = begin + std::min(from, text.size());
  if (syntax.Comments) {
    return syntax.TrailingCommas ? CheckObject<true, true>(begin, end, start)
                                 : CheckObject<true, false>(begin, end, start);
  }
  return syntax.TrailingCommas ? CheckObject<false, true>(begin, end, start)
                               : CheckObject<false, false>(begin, end, start);
}

bool IsSingleJsonObject(const std::string& text) {
  return CheckJsonObject(text, 0, TJsonSyntax()).Fault == TJsonFault::None;
}

bool IsSingleJsonValue(const std::string& text) {
  const TJsonCheck check = CheckJsonObject(text, 0, TJsonSyntax());
  if (check.Fault != TJsonFault::NotObject) return check.Fault == TJsonFault::None;
  // Any other value is checked where it may stand too: as the value of a member.
  return IsSingleJsonObject("{\"\":" + text + "}");
}

std::size_t SkipJsonWhitespace(const std::string& text, std::size_t p, bool withComments) {
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const char* const from = begin + std::min(p, text.size());
  return static_cast<std::size_t>((withComments ? SkipGap<true>(from, end) : SkipGap<false>(from, end)) - begin);
}

std::size_t JsonScalarEnd(const std::string& text, std::size_t p) {
  if (p >= text.size()) return kNotFound;
  const char* const end = ScanScalar(text.data() + p, text.data() + text.size());
  return end ? static_cast<std::size_t>(end - text.data()) : kNotFound;
}

bool IsJsonString(const std::string& raw) {
  const char* const end = raw.data() + raw.size();
  return !raw.empty() && raw[0] == '"' && ScanString(raw.data(), end) == end;
}

std::string JsonStringValue(const std::string& raw) {
  std::string decoded;
  if (!IsJsonString(raw) || !DecodeString(raw.data() + 1, raw.data() + raw.size() - 1, decoded)) return std::string();
  return decoded;
}

bool CanonicalJson(const std::string& text, std::string& canonical) {
  const char* const end = text.data() + text.size();
  const char* p = SkipGap<false>(text.data(), end);
  std::vector<TOpenValue> open;  // without recursion: arguments come from outside
  std::string value;             // the last whole value
  for (;;) {
    // A value starts at p; inside an object, a member's name and colon first.
    if (!open.empty() && open.back().Object) {
      const char* const nameEnd = p < end && *p == '"' ? ScanString(p, end) : nullptr;
      if (!nameEnd || !DecodeString(p + 1, nameEnd - 1, open.back().Name)) return false;
      p = SkipGap<false>(nameEnd, end);
      if (p == end || *p != ':') return false;
      p = SkipGap<false>(p + 1, end);
    }
    if (p < end && (*p == '{' || *p == '[')) {
      if (open.size() == kCanonicalDepth) return false;
      open.emplace_back();
      open.back().Object = *p == '{';
      p = SkipGap<false>(p + 1, end);
      if (p == end || *p != (open.back().Object ? '}' : ']')) continue;
      ++p;
      value = CloseValue(open.back());
      open.pop_back();
    } else {
      const char* const scalarEnd = p < end ? ScanScalar(p, end) : nullptr;
      if (!scalarEnd || !CanonicalScalar(p, scalarEnd, value)) return false;
      p = scalarEnd;
    }
    // Behind a whole value: it joins what holds it, then a comma or closing brackets.
    for (;;) {
      p = SkipGap<false>(p, end);
      if (open.empty()) {
        if (p != end) return false;
        canonical = std::move(value);
        return true;
      }
      TOpenValue& holder = open.back();
      holder.Items.emplace_back(std::move(holder.Name), std::move(value));
      if (p < end && *p == ',') {
        p = SkipGap<false>(p + 1, end);
        break;
      }
      if (p == end || *p != (holder.Object ? '}' : ']')) return false;
      ++p;
      value = CloseValue(holder);
      open.pop_back();
    }
  }
}

std::string JsonUnquote(const std::string& raw) {
  if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"') return raw.substr(1, raw.size() - 2);
  return raw;
}

std::string DescribeRequest(const std::string& line) {
  const std::string rawMethod = JsonRawValue(line, "method");
  std::string method = JsonUnquote(rawMethod);
  if (method.empty()) return "(bez metody)";
  if (JsonStringValue(rawMethod) == "tools/call") {
    const std::string name = JsonUnquote(JsonParamsValue(line, "name"));
    if (!name.empty()) method += " " + name;
  }
  return method;
}

bool IsJsonRpcResponse(const std::string& reply) {
  return FindMemberValue(reply, "result") != kNotFound || IsObjectAt(reply, FindMemberValue(reply, "error"));
}

bool IsErrorReply(const std::string& reply) {
  return IsObjectAt(reply, FindMemberValue(reply, "error")) && FindMemberValue(reply, "result") == kNotFound;
}

bool PutRequestId(std::string& reply, const std::string& id) {
  bool found = false;
  bool changed = false;
  // Every top-level id: a client may read the first of two, or the last.
  for (std::size_t p = FindMemberValue(reply, "id"); p != kNotFound;) {
    std::size_t end = SkipValue(reply, p);
    if (end == kNotFound) break;
    found = true;
    if (reply.compare(p, end - p, id) != 0) {
      reply.replace(p, end - p, id);
      end = p + id.size();
      changed = true;
    }
    p = NextMemberValue(reply, "id", end);
  }
  if (found) return changed;
  const std::size_t open = SkipBlanks(reply, 0);
  if (!IsObjectAt(reply, open)) return false;
  const std::size_t first = SkipBlanks(reply, open + 1);
  reply.insert(open + 1, "\"id\":" + id + (first < reply.size() && reply[first] == '}' ? "" : ","));
  return true;
}
