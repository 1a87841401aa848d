#include "Json.h"

#include <cstdio>

namespace {

const int kMaxDepth = 200;

struct Reader {
  const std::string& s;
  size_t pos = 0;
  std::string error;

  explicit Reader(const std::string& text) : s(text) {}

  bool Fail(const char* what) {
    if (error.empty()) error = std::string(what) + " at offset " + std::to_string(pos);
    return false;
  }

  void SkipBlanks() {
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t' || s[pos] == '\r' || s[pos] == '\n')) ++pos;
  }

  static int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  bool ReadHex4(unsigned& code) {
    if (pos + 4 > s.size()) return Fail("short \\u escape");
    code = 0;
    for (int i = 0; i < 4; ++i) {
      int d = Hex(s[pos + i]);
      if (d < 0) return Fail("bad \\u escape");
      code = code * 16 + static_cast<unsigned>(d);
    }
    pos += 4;
    return true;
  }

  static void AppendUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  // pos is at the opening quote.
  bool ReadString(std::string& out) {
    ++pos;
    while (true) {
      if (pos >= s.size()) return Fail("unterminated string");
      unsigned char c = static_cast<unsigned char>(s[pos]);
      if (c == '"') {
        ++pos;
        return true;
      }
      if (c < 0x20) return Fail("control character in string");
      if (c != '\\') {
        out += static_cast<char>(c);
        ++pos;
        continue;
      }
      ++pos;
      if (pos >= s.size()) return Fail("unterminated escape");
      char e = s[pos++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          unsigned cp = 0;
          if (!ReadHex4(cp)) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF && pos + 6 <= s.size() && s[pos] == '\\' && s[pos + 1] == 'u') {
            size_t save = pos;
            pos += 2;
            unsigned low = 0;
            if (!ReadHex4(low)) return false;
            if (low >= 0xDC00 && low <= 0xDFFF) {
              cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            } else {
              pos = save;  // a lone high surrogate; the next escape stands on its own
            }
          }
          AppendUtf8(out, cp);
          break;
        }
        default:
          return Fail("bad escape");
      }
    }
  }

  bool ReadLiteral(const char* word, JsonType type, TJsonValue& v) {
    std::string w(word);
    if (s.compare(pos, w.size(), w) != 0) return Fail("unexpected character");
    pos += w.size();
    v.Type = type;
    v.Text = w;
    return true;
  }

  bool ReadNumber(TJsonValue& v) {
    size_t start = pos;
    if (pos < s.size() && s[pos] == '-') ++pos;
    size_t digits = pos;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') ++pos;
    if (pos == digits) return Fail("bad number");
    if (pos < s.size() && s[pos] == '.') {
      ++pos;
      size_t frac = pos;
      while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') ++pos;
      if (pos == frac) return Fail("bad number");
    }
    if (pos < s.size() && (s[pos] == 'e' || s[pos] == 'E')) {
      ++pos;
      if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) ++pos;
      size_t exp = pos;
      while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') ++pos;
      if (pos == exp) return Fail("bad number");
    }
    v.Type = JsonType::Number;
    v.Text = s.substr(start, pos - start);
    return true;
  }

  bool ReadValue(TJsonValue& v, int depth) {
    if (depth > kMaxDepth) return Fail("nesting too deep");
    SkipBlanks();
    if (pos >= s.size()) return Fail("value expected");
    size_t start = pos;
    bool ok = false;
    char c = s[pos];
    if (c == '{') {
      ok = ReadObject(v, depth);
    } else if (c == '[') {
      ok = ReadArray(v, depth);
    } else if (c == '"') {
      v.Type = JsonType::String;
      ok = ReadString(v.Text);
    } else if (c == 't') {
      ok = ReadLiteral("true", JsonType::Bool, v);
    } else if (c == 'f') {
      ok = ReadLiteral("false", JsonType::Bool, v);
    } else if (c == 'n') {
      ok = ReadLiteral("null", JsonType::Null, v);
    } else {
      ok = ReadNumber(v);
    }
    if (ok) v.Raw = s.substr(start, pos - start);
    return ok;
  }

  bool ReadObject(TJsonValue& v, int depth) {
    v.Type = JsonType::Object;
    ++pos;
    SkipBlanks();
    if (pos < s.size() && s[pos] == '}') {
      ++pos;
      return true;
    }
    while (true) {
      SkipBlanks();
      if (pos >= s.size() || s[pos] != '"') return Fail("member name expected");
      std::string name;
      if (!ReadString(name)) return false;
      SkipBlanks();
      if (pos >= s.size() || s[pos] != ':') return Fail("':' expected");
      ++pos;
      TJsonValue member;
      if (!ReadValue(member, depth + 1)) return false;
      v.Members.emplace_back(std::move(name), std::move(member));
      SkipBlanks();
      if (pos < s.size() && s[pos] == ',') {
        ++pos;
        continue;
      }
      if (pos < s.size() && s[pos] == '}') {
        ++pos;
        return true;
      }
      return Fail("',' or '}' expected");
    }
  }

  bool ReadArray(TJsonValue& v, int depth) {
    v.Type = JsonType::Array;
    ++pos;
    SkipBlanks();
    if (pos < s.size() && s[pos] == ']') {
      ++pos;
      return true;
    }
    while (true) {
      TJsonValue item;
      if (!ReadValue(item, depth + 1)) return false;
      v.Items.push_back(std::move(item));
      SkipBlanks();
      if (pos < s.size() && s[pos] == ',') {
        ++pos;
        continue;
      }
      if (pos < s.size() && s[pos] == ']') {
        ++pos;
        return true;
      }
      return Fail("',' or ']' expected");
    }
  }
};

}  // namespace

const TJsonValue* TJsonValue::Find(const std::string& name) const {
  for (const auto& m : Members) {
    if (m.first == name) return &m.second;
  }
  return nullptr;
}

bool ParseJson(const std::string& text, TJsonValue& value, std::string& error) {
  Reader r(text);
  value = TJsonValue();
  if (!r.ReadValue(value, 0)) {
    error = r.error;
    return false;
  }
  r.SkipBlanks();
  if (r.pos != text.size()) {
    r.Fail("text after the value");
    error = r.error;
    return false;
  }
  error.clear();
  return true;
}

std::string JsonQuote(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}
