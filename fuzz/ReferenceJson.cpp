#include "fuzz/ReferenceJson.h"

namespace {
struct TCursor {
  const std::string& Text;
  std::size_t Pos;
  int Depth;
};

bool AtEnd(const TCursor& c) { return c.Pos >= c.Text.size(); }
char Peek(const TCursor& c) { return AtEnd(c) ? '\0' : c.Text[c.Pos]; }

void SkipWhitespace(TCursor& c) {
  while (!AtEnd(c) && (Peek(c) == ' ' || Peek(c) == '\t' || Peek(c) == '\n' || Peek(c) == '\r')) ++c.Pos;
}

int HexValue(char h) {
  if (h >= '0' && h <= '9') return h - '0';
  if (h >= 'a' && h <= 'f') return h - 'a' + 10;
  if (h >= 'A' && h <= 'F') return h - 'A' + 10;
  return -1;
}

bool ReadHex(TCursor& c, unsigned& value) {
  value = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = HexValue(Peek(c));
    if (AtEnd(c) || digit < 0) return false;
    value = value * 16 + static_cast<unsigned>(digit);
    ++c.Pos;
  }
  return true;
}

void PutUtf8(std::string& out, unsigned cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// string = quotation-mark *char quotation-mark
bool ParseString(TCursor& c, std::string& decoded) {
  decoded.clear();
  if (Peek(c) != '"' || AtEnd(c)) return false;
  ++c.Pos;
  for (;;) {
    if (AtEnd(c)) return false;
    const unsigned char ch = static_cast<unsigned char>(c.Text[c.Pos++]);
    if (ch == '"') return true;
    if (ch < 0x20) return false;
    if (ch != '\\') {
      decoded.push_back(static_cast<char>(ch));
      continue;
    }
    if (AtEnd(c)) return false;
    const char e = c.Text[c.Pos++];
    if (e == '"' || e == '\\' || e == '/') {
      decoded.push_back(e);
    } else if (e == 'b') {
      decoded.push_back('\b');
    } else if (e == 'f') {
      decoded.push_back('\f');
    } else if (e == 'n') {
      decoded.push_back('\n');
    } else if (e == 'r') {
      decoded.push_back('\r');
    } else if (e == 't') {
      decoded.push_back('\t');
    } else if (e == 'u') {
      unsigned cp = 0;
      if (!ReadHex(c, cp)) return false;
      if (cp >= 0xD800 && cp <= 0xDBFF && c.Pos + 1 < c.Text.size() && c.Text[c.Pos] == '\\' &&
          c.Text[c.Pos + 1] == 'u') {
        TCursor look{c.Text, c.Pos + 2, c.Depth};
        unsigned low = 0;
        if (ReadHex(look, low) && low >= 0xDC00 && low <= 0xDFFF) {
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          c.Pos = look.Pos;
        }
      }
      if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
      PutUtf8(decoded, cp);
    } else {
      return false;
    }
  }
}

bool IsDigit(char ch) { return ch >= '0' && ch <= '9'; }

// number = [ minus ] int [ frac ] [ exp ]
bool ParseNumber(TCursor& c) {
  if (Peek(c) == '-') ++c.Pos;
  if (Peek(c) == '0') {
    ++c.Pos;
  } else if (Peek(c) >= '1' && Peek(c) <= '9') {
    while (IsDigit(Peek(c))) ++c.Pos;
  } else {
    return false;
  }
  if (Peek(c) == '.') {
    ++c.Pos;
    if (!IsDigit(Peek(c))) return false;
    while (IsDigit(Peek(c))) ++c.Pos;
  }
  if (Peek(c) == 'e' || Peek(c) == 'E') {
    ++c.Pos;
    if (Peek(c) == '+' || Peek(c) == '-') ++c.Pos;
    if (!IsDigit(Peek(c))) return false;
    while (IsDigit(Peek(c))) ++c.Pos;
  }
  return true;
}

bool ParseValue(TCursor& c, std::vector<TReferenceMember>* members);

bool ParseObject(TCursor& c, std::vector<TReferenceMember>* members) {
  ++c.Pos;  // {
  SkipWhitespace(c);
  if (Peek(c) == '}' && !AtEnd(c)) {
    ++c.Pos;
    return true;
  }
  for (;;) {
    SkipWhitespace(c);
    TReferenceMember member;
    if (!ParseString(c, member.Name)) return false;
    SkipWhitespace(c);
    if (AtEnd(c) || Peek(c) != ':') return false;
    ++c.Pos;
    SkipWhitespace(c);
    const std::size_t start = c.Pos;
    if (!ParseValue(c, nullptr)) return false;
    member.RawValue = c.Text.substr(start, c.Pos - start);
    if (members) members->push_back(member);
    SkipWhitespace(c);
    if (AtEnd(c)) return false;
    const char next = c.Text[c.Pos++];
    if (next == '}') return true;
    if (next != ',') return false;
  }
}

bool ParseArray(TCursor& c) {
  ++c.Pos;  // [
  SkipWhitespace(c);
  if (Peek(c) == ']' && !AtEnd(c)) {
    ++c.Pos;
    return true;
  }
  for (;;) {
    SkipWhitespace(c);
    if (!ParseValue(c, nullptr)) return false;
    SkipWhitespace(c);
    if (AtEnd(c)) return false;
    const char next = c.Text[c.Pos++];
    if (next == ']') return true;
    if (next != ',') return false;
  }
}

bool ParseLiteral(TCursor& c, const std::string& word) {
  if (c.Text.compare(c.Pos, word.size(), word) != 0) return false;
  c.Pos += word.size();
  return true;
}

bool ParseValue(TCursor& c, std::vector<TReferenceMember>* members) {
  if (AtEnd(c) || ++c.Depth > 20000) return false;
  bool ok = false;
  std::string ignored;
  switch (Peek(c)) {
    case '{': ok = ParseObject(c, members); break;
    case '[': ok = ParseArray(c); break;
    case '"': ok = ParseString(c, ignored); break;
    case 't': ok = ParseLiteral(c, "true"); break;
    case 'f': ok = ParseLiteral(c, "false"); break;
    case 'n': ok = ParseLiteral(c, "null"); break;
    default: ok = ParseNumber(c); break;
  }
  --c.Depth;
  return ok;
}
}  // namespace

bool ParseReferenceObject(const std::string& text, std::vector<TReferenceMember>& members) {
  members.clear();
  TCursor c{text, 0, 0};
  SkipWhitespace(c);
  if (Peek(c) != '{' || AtEnd(c)) return false;
  if (!ParseValue(c, &members)) return false;
  SkipWhitespace(c);
  return AtEnd(c);
}

bool DecodeReferenceString(const std::string& raw, std::string& decoded) {
  TCursor c{raw, 0, 0};
  return ParseString(c, decoded) && AtEnd(c);
}
