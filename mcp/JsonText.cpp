#include "mcp/JsonText.h"

#include "common/AICommon.h"
#include "common/AICommonUtf8.h"

namespace {
constexpr std::size_t kNotFound = std::string::npos;

bool IsJsonBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool EndsBareValue(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == ',' || c == ']' || c == '}'; }

std::size_t SkipBlanks(const std::string& s, std::size_t p) {
  while (p < s.size() && IsJsonBlank(s[p])) ++p;
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

// Position of the value of the top-level member `key`, or kNotFound.
std::size_t FindMemberValue(const std::string& s, const std::string& key) {
  std::size_t p = SkipBlanks(s, 0);
  if (p >= s.size() || s[p] != '{') return kNotFound;
  ++p;
  for (;;) {
    while (p < s.size() && (IsJsonBlank(s[p]) || s[p] == ',')) ++p;
    if (p >= s.size() || s[p] != '"') return kNotFound;
    const std::size_t nameEnd = SkipString(s, p);
    if (nameEnd == kNotFound) return kNotFound;
    const bool wanted = s.compare(p + 1, nameEnd - p - 2, key) == 0 && nameEnd - p - 2 == key.size();
    p = SkipBlanks(s, nameEnd);
    if (p >= s.size() || s[p] != ':') return kNotFound;
    p = SkipBlanks(s, p + 1);
    if (wanted) return p;
    p = SkipValue(s, p);
    if (p == kNotFound) return kNotFound;
  }
}
}  // namespace

std::string JsonRawValue(const std::string& text, const std::string& key) {
  std::size_t p = FindMemberValue(text, key);
  if (p == kNotFound || p >= text.size()) return std::string();
  if (text[p] == '"') {
    const std::size_t end = SkipString(text, p);
    return end == kNotFound ? text.substr(p) : text.substr(p, end - p);
  }
  std::size_t end = p;
  while (end < text.size() && !EndsBareValue(text[end])) ++end;
  return text.substr(p, end - p);
}

std::string JsonMemberValue(const std::string& text, const std::string& key) {
  const std::size_t p = FindMemberValue(text, key);
  if (p == kNotFound) return std::string();
  const std::size_t end = SkipValue(text, p);
  if (end == kNotFound) return std::string();
  return text.substr(p, end - p);
}

std::string JsonParamsValue(const std::string& line, const std::string& key) {
  return JsonRawValue(JsonMemberValue(line, "params"), key);
}

bool IsSingleJsonObject(const std::string& text) {
  const std::size_t start = SkipBlanks(text, 0);
  if (start >= text.size() || text[start] != '{') return false;
  const std::size_t end = SkipValue(text, start);
  return end != kNotFound && SkipBlanks(text, end) == text.size();
}

std::string JsonUnquote(const std::string& raw) {
  if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"') return raw.substr(1, raw.size() - 2);
  return raw;
}

std::string DescribeRequest(const std::string& line) {
  std::string method = JsonUnquote(JsonRawValue(line, "method"));
  if (method.empty()) return "(bez metody)";
  if (method == "tools/call") {
    const std::string name = JsonUnquote(JsonParamsValue(line, "name"));
    if (!name.empty()) method += " " + name;
  }
  return method;
}

std::string JsonString(const std::string& ansi) { return AnsiToUtf8(JsonEscape(ansi)); }

bool IsErrorReply(const std::string& reply) {
  const std::size_t error = reply.find("\"error\":");
  const std::size_t result = reply.find("\"result\":");
  return error != kNotFound && (result == kNotFound || result > error);
}

std::string FixErrorReplyId(const std::string& reply, const std::string& id) {
  static const std::string kNullId = "\"id\":null,";
  if (id.empty() || id == "null" || !IsErrorReply(reply)) return reply;
  const std::size_t nullId = reply.find(kNullId);
  if (nullId == kNotFound || nullId > reply.find("\"error\":")) return reply;
  return reply.substr(0, nullId) + "\"id\":" + id + "," + reply.substr(nullId + kNullId.size());
}
