#include "install/TomlText.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "common/Encodings.h"
#include "common/FileLayout.h"

namespace {
constexpr int kEnd = -1;
const char kHexDigits[] = "0123456789ABCDEF";

struct TScan {
  const std::string& Text;
  std::size_t Pos;
  int Line;
  TTomlOutline& Out;
};

// An array or an inline table whose closing bracket is still ahead.
struct TOpenValue {
  bool IsArray = false;
  int Node = -1;  // where the finished value goes; -1 for an item of an array
  bool AllStrings = true;
  std::string Items;  // the strings so far, as TomlStringArray writes them
};

int Peek(const TScan& s, std::size_t ahead = 0) {
  const std::size_t at = s.Pos + ahead;
  return at < s.Text.size() ? static_cast<unsigned char>(s.Text[at]) : kEnd;
}

bool IsBareKeyChar(int c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// Numbers, booleans and dates are runs of these (and one space inside a date-time).
bool IsScalarChar(int c) { return IsBareKeyChar(c) || c == '+' || c == '.' || c == ':'; }

bool IsDigit(int c) { return c >= '0' && c <= '9'; }

bool IsDigitOf(int c, int base) {
  if (base == 16) return IsDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
  return c >= '0' && c < '0' + base;
}

int HexValue(int c) { return IsDigit(c) ? c - '0' : (c | 0x20) - 'a' + 10; }

// Control characters other than tab may stand neither in strings nor in comments.
bool IsForbiddenControl(int c) { return (c >= 0 && c < 0x20 && c != '\t') || c == 0x7F; }

void SkipBlanks(TScan& s) {
  while (Peek(s) == ' ' || Peek(s) == '\t') ++s.Pos;
}

bool TakeLineEnd(TScan& s) {
  if (Peek(s) == '\n') {
    s.Pos += 1;
  } else if (Peek(s) == '\r' && Peek(s, 1) == '\n') {
    s.Pos += 2;
  } else {
    return false;
  }
  ++s.Line;
  return true;
}

bool SkipComment(TScan& s) {
  if (Peek(s) != '#') return true;
  for (++s.Pos;; ++s.Pos) {
    const int c = Peek(s);
    if (c == kEnd || c == '\n' || (c == '\r' && Peek(s, 1) == '\n')) return true;
    if (IsForbiddenControl(c)) return false;
  }
}

// Blanks and a comment up to a line end or the end of the text.
bool EndLine(TScan& s) {
  SkipBlanks(s);
  return SkipComment(s) && (Peek(s) == kEnd || TakeLineEnd(s));
}

// Between the items of an array: blanks, comments and line ends.
bool SkipArraySpace(TScan& s) {
  for (;;) {
    SkipBlanks(s);
    if (!SkipComment(s)) return false;
    if (!TakeLineEnd(s)) return true;
  }
}

// The escape after a backslash of a basic string.
bool ScanEscape(TScan& s, std::string& out) {
  const int c = Peek(s);
  ++s.Pos;
  switch (c) {
    case 'b': out += '\b'; return true;
    case 't': out += '\t'; return true;
    case 'n': out += '\n'; return true;
    case 'f': out += '\f'; return true;
    case 'r': out += '\r'; return true;
    case '"': out += '"'; return true;
    case '\\': out += '\\'; return true;
    case 'u':
    case 'U': {
      std::uint32_t code = 0;
      for (int digits = c == 'u' ? 4 : 8; digits > 0; --digits, ++s.Pos) {
        if (!IsDigitOf(Peek(s), 16)) return false;
        code = code * 16 + static_cast<std::uint32_t>(HexValue(Peek(s)));
      }
      if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
      AppendUtf8(out, code);
      return true;
    }
    default: return false;
  }
}

// "basic" or 'literal', on one line.
bool ScanOneLineString(TScan& s, std::string& out) {
  const int quote = Peek(s);
  for (++s.Pos;;) {
    const int c = Peek(s);
    if (c == kEnd || IsForbiddenControl(c)) return false;
    ++s.Pos;
    if (c == quote) return true;
    if (c == '\\' && quote == '"') {
      if (!ScanEscape(s, out)) return false;
    } else {
      out += static_cast<char>(c);
    }
  }
}

// """basic""" or '''literal''' over several lines.
bool ScanMultiLineString(TScan& s, std::string& out) {
  const int quote = Peek(s);
  s.Pos += 3;
  TakeLineEnd(s);  // a line end right after the opening quotes is no part of the text
  for (;;) {
    const int c = Peek(s);
    const std::size_t start = s.Pos;
    if (c == quote) {
      std::size_t run = 0;
      while (Peek(s, run) == quote) ++run;
      if (run > 5) return false;
      s.Pos += run;
      // Up to two quotes of the text may stand right before the closing three.
      out.append(run >= 3 ? run - 3 : run, static_cast<char>(quote));
      if (run >= 3) return true;
    } else if (TakeLineEnd(s)) {
      out.append(s.Text, start, s.Pos - start);
    } else if (c == '\\' && quote == '"') {
      ++s.Pos;
      SkipBlanks(s);
      if (TakeLineEnd(s)) {  // a backslash that ends a line joins the next text
        while (SkipBlanks(s), TakeLineEnd(s)) {
        }
      } else {
        s.Pos = start + 1;
        if (!ScanEscape(s, out)) return false;
      }
    } else if (c == kEnd || IsForbiddenControl(c)) {
      return false;
    } else {
      out += static_cast<char>(c);
      ++s.Pos;
    }
  }
}

bool ScanString(TScan& s, std::string& out) {
  const int quote = Peek(s);
  if (Peek(s, 1) == quote && Peek(s, 2) == quote) return ScanMultiLineString(s, out);
  return ScanOneLineString(s, out);
}

bool ScanSimpleKey(TScan& s, std::string& key) {
  if (Peek(s) == '"' || Peek(s) == '\'') return ScanOneLineString(s, key);
  const std::size_t start = s.Pos;
  while (IsBareKeyChar(Peek(s))) ++s.Pos;
  key.assign(s.Text, start, s.Pos - start);
  return s.Pos > start;
}

// A key with its dotted parts; the blanks after it are taken too.
bool ScanKey(TScan& s, std::vector<std::string>& path) {
  path.clear();
  for (;;) {
    path.emplace_back();
    if (!ScanSimpleKey(s, path.back())) return false;
    SkipBlanks(s);
    if (Peek(s) != '.') return true;
    ++s.Pos;
    SkipBlanks(s);
  }
}

// Digits of the base with single underscores between them, from i on.
bool TakeDigits(const std::string& t, std::size_t& i, int base) {
  const std::size_t start = i;
  while (i < t.size()) {
    if (IsDigitOf(static_cast<unsigned char>(t[i]), base)) {
      ++i;
    } else if (t[i] == '_' && i > start && i + 1 < t.size() && IsDigitOf(static_cast<unsigned char>(t[i + 1]), base)) {
      ++i;
    } else {
      break;
    }
  }
  return i > start;
}

// A decimal integer part: no leading zero.
bool TakeDecimal(const std::string& t, std::size_t& i) {
  const std::size_t start = i;
  return TakeDigits(t, i, 10) && (t[start] != '0' || i == start + 1);
}

std::size_t SignLength(const std::string& t) { return !t.empty() && (t[0] == '+' || t[0] == '-') ? 1 : 0; }

bool IsInteger(const std::string& t) {
  std::size_t i = 2;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'o' || t[1] == 'b')) {
    return TakeDigits(t, i, t[1] == 'x' ? 16 : t[1] == 'o' ? 8 : 2) && i == t.size();
  }
  i = SignLength(t);
  return TakeDecimal(t, i) && i == t.size();
}

bool IsFloat(const std::string& t) {
  std::size_t i = SignLength(t);
  if (t.compare(i, std::string::npos, "inf") == 0 || t.compare(i, std::string::npos, "nan") == 0) return true;
  if (!TakeDecimal(t, i)) return false;
  const std::size_t whole = i;
  if (i < t.size() && t[i] == '.' && !TakeDigits(t, ++i, 10)) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (!TakeDigits(t, i, 10)) return false;
  }
  return i > whole && i == t.size();
}

bool TakeChar(const std::string& t, std::size_t& i, char c) {
  if (i >= t.size() || t[i] != c) return false;
  ++i;
  return true;
}

bool TakeNumber(const std::string& t, std::size_t& i, int digits, int& value) {
  value = 0;
  for (; digits > 0; --digits, ++i) {
    if (i >= t.size() || !IsDigit(static_cast<unsigned char>(t[i]))) return false;
    value = value * 10 + (t[i] - '0');
  }
  return true;
}

// hh:mm:ss with an optional fraction of a second
bool TakeTime(const std::string& t, std::size_t& i) {
  int hour = 0, minute = 0, second = 0;
  if (!(TakeNumber(t, i, 2, hour) && TakeChar(t, i, ':') && TakeNumber(t, i, 2, minute) && TakeChar(t, i, ':') &&
        TakeNumber(t, i, 2, second) && hour < 24 && minute < 60 && second <= 60)) {
    return false;
  }
  if (!TakeChar(t, i, '.')) return true;
  const std::size_t fraction = i;
  while (i < t.size() && IsDigit(static_cast<unsigned char>(t[i]))) ++i;
  return i > fraction;
}

int DaysInMonth(int year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  return month == 2 && leap ? 29 : days[month - 1];
}

// A local time, a local date, a local date-time or one with an offset.
bool IsDateTime(const std::string& t) {
  std::size_t i = 0;
  if (t.size() > 2 && t[2] == ':') return TakeTime(t, i) && i == t.size();
  int year = 0, month = 0, day = 0;
  if (!(TakeNumber(t, i, 4, year) && TakeChar(t, i, '-') && TakeNumber(t, i, 2, month) && TakeChar(t, i, '-') &&
        TakeNumber(t, i, 2, day) && month >= 1 && month <= 12 && day >= 1 && day <= DaysInMonth(year, month))) {
    return false;
  }
  if (i == t.size()) return true;
  if (!(TakeChar(t, i, 'T') || TakeChar(t, i, 't') || TakeChar(t, i, ' ')) || !TakeTime(t, i)) return false;
  if (i == t.size()) return true;
  if (TakeChar(t, i, 'Z') || TakeChar(t, i, 'z')) return i == t.size();
  int hours = 0, minutes = 0;
  return (TakeChar(t, i, '+') || TakeChar(t, i, '-')) && TakeNumber(t, i, 2, hours) && TakeChar(t, i, ':') &&
         TakeNumber(t, i, 2, minutes) && hours < 24 && minutes < 60 && i == t.size();
}

// A number, a boolean or a date: the run of characters that may make one.
bool ScanScalar(TScan& s) {
  const std::size_t start = s.Pos;
  while (IsScalarChar(Peek(s))) ++s.Pos;
  if (s.Pos - start == 10 && s.Text[start + 4] == '-' && Peek(s) == ' ' && IsDigit(Peek(s, 1)) &&
      IsDigit(Peek(s, 2)) && Peek(s, 3) == ':') {
    for (++s.Pos; IsScalarChar(Peek(s));) ++s.Pos;
  }
  const std::string t = s.Text.substr(start, s.Pos - start);
  return t == "true" || t == "false" || (!t.empty() && (IsInteger(t) || IsFloat(t) || IsDateTime(t)));
}

std::string NameKey(int parent, const std::string& name) { return std::to_string(parent) + ':' + name; }

int AddNode(TScan& s, int parent, const std::string& name, TTomlNodeKind kind) {
  TTomlNode node;
  node.Kind = kind;
  node.Line = s.Line;
  s.Out.Nodes.push_back(node);
  const int id = static_cast<int>(s.Out.Nodes.size()) - 1;
  if (parent >= 0) {
    s.Out.Names.emplace(NameKey(parent, name), id);
    ++s.Out.Nodes[static_cast<std::size_t>(parent)].Children;
  }
  return id;
}

TTomlNode& NodeOf(TScan& s, int id) { return s.Out.Nodes[static_cast<std::size_t>(id)]; }

// The table a [header] or [[header]] opens, or -1 when the text may not open it.
int DefineTable(TScan& s, const std::vector<std::string>& path, bool arrayOfTables) {
  int table = 0;
  for (std::size_t k = 0; k + 1 < path.size(); ++k) {
    int next = FindTomlNode(s.Out, table, path[k]);
    if (next < 0) {
      next = AddNode(s, table, path[k], TTomlNodeKind::ImplicitTable);
    } else if (NodeOf(s, next).Kind == TTomlNodeKind::ArrayOfTables) {
      next = NodeOf(s, next).LastTable;
    } else if (NodeOf(s, next).Kind == TTomlNodeKind::InlineTable || NodeOf(s, next).Kind == TTomlNodeKind::Value) {
      return -1;
    }
    table = next;
  }
  int node = FindTomlNode(s.Out, table, path.back());
  if (arrayOfTables) {
    if (node < 0) node = AddNode(s, table, path.back(), TTomlNodeKind::ArrayOfTables);
    if (NodeOf(s, node).Kind != TTomlNodeKind::ArrayOfTables) return -1;
    const int element = AddNode(s, -1, "", TTomlNodeKind::HeaderTable);
    NodeOf(s, node).LastTable = element;
    return element;
  }
  if (node < 0) return AddNode(s, table, path.back(), TTomlNodeKind::HeaderTable);
  // A table named before only on the way to a deeper header may get its own header once.
  if (NodeOf(s, node).Kind != TTomlNodeKind::ImplicitTable) return -1;
  NodeOf(s, node).Kind = TTomlNodeKind::HeaderTable;
  NodeOf(s, node).Line = s.Line;
  return node;
}

// The node a key of a key/value defines in table, or -1 when the text may not define it.
int DefineKey(TScan& s, int table, const std::vector<std::string>& path) {
  for (std::size_t k = 0; k + 1 < path.size(); ++k) {
    int next = FindTomlNode(s.Out, table, path[k]);
    if (next < 0) {
      next = AddNode(s, table, path[k], TTomlNodeKind::DottedTable);
    } else if (NodeOf(s, next).Kind == TTomlNodeKind::ImplicitTable) {
      NodeOf(s, next).Kind = TTomlNodeKind::DottedTable;  // filled by dotted keys, it can get no header of its own
    } else if (NodeOf(s, next).Kind != TTomlNodeKind::DottedTable) {
      return -1;
    }
    table = next;
  }
  if (FindTomlNode(s.Out, table, path.back()) >= 0) return -1;
  return AddNode(s, table, path.back(), TTomlNodeKind::Value);
}

// key = (the value follows); slot is the node the value goes to.
bool ScanKeyValueHead(TScan& s, int table, int& slot) {
  std::vector<std::string> path;
  if (!ScanKey(s, path) || Peek(s) != '=') return false;
  ++s.Pos;
  SkipBlanks(s);
  slot = DefineKey(s, table, path);
  return slot >= 0;
}

void AppendArrayItem(std::string& items, const std::string& text) {
  if (!items.empty()) items += ", ";
  items += TomlString(text);
}

// Tells the array that holds a finished value what it was: a string or not.
void CountItem(std::vector<TOpenValue>& open, const std::string* text) {
  if (open.empty() || !open.back().IsArray) return;
  if (text == nullptr) {
    open.back().AllStrings = false;
  } else {
    AppendArrayItem(open.back().Items, *text);
  }
}

// One value with all it holds; arrays and inline tables nest on a stack of
// their own, so no depth of nesting can exhaust the call stack.
bool ScanValue(TScan& s, int slot) {
  std::vector<TOpenValue> open;
  bool valueAhead = true;
  for (;;) {
    if (valueAhead) {
      const int c = Peek(s);
      if (slot >= 0) NodeOf(s, slot).ValueBegin = s.Pos;
      if (c == '[') {
        ++s.Pos;
        open.push_back(TOpenValue{true, slot, true, std::string()});
        if (!SkipArraySpace(s)) return false;
        valueAhead = Peek(s) != ']';
        slot = -1;
      } else if (c == '{') {
        ++s.Pos;
        const int table = slot >= 0 ? slot : AddNode(s, -1, "", TTomlNodeKind::InlineTable);
        NodeOf(s, table).Kind = TTomlNodeKind::InlineTable;
        open.push_back(TOpenValue{false, table, true, std::string()});
        SkipBlanks(s);
        valueAhead = Peek(s) != '}';
        if (valueAhead && !ScanKeyValueHead(s, table, slot)) return false;
      } else if (c == '"' || c == '\'') {
        std::string text;
        if (!ScanString(s, text)) return false;
        if (slot >= 0) NodeOf(s, slot).Value = TomlString(text);
        if (slot >= 0) NodeOf(s, slot).ValueEnd = s.Pos;
        CountItem(open, &text);
        valueAhead = false;
      } else {
        if (!ScanScalar(s)) return false;
        if (slot >= 0) NodeOf(s, slot).ValueEnd = s.Pos;
        CountItem(open, nullptr);
        valueAhead = false;
      }
      continue;
    }
    if (open.empty()) return true;
    const bool inArray = open.back().IsArray;
    if (inArray && !SkipArraySpace(s)) return false;
    SkipBlanks(s);
    const int c = Peek(s);
    if (c == ',') {
      ++s.Pos;
      if (inArray) {
        if (!SkipArraySpace(s)) return false;
        valueAhead = Peek(s) != ']';  // a comma may follow the last item
        slot = -1;
      } else {
        SkipBlanks(s);
        if (!ScanKeyValueHead(s, open.back().Node, slot)) return false;
        valueAhead = true;
      }
    } else if (c == (inArray ? ']' : '}')) {
      ++s.Pos;
      const TOpenValue closed = std::move(open.back());
      open.pop_back();
      if (closed.Node >= 0) NodeOf(s, closed.Node).ValueEnd = s.Pos;
      if (closed.IsArray && closed.AllStrings && closed.Node >= 0) {
        NodeOf(s, closed.Node).Value = "[" + closed.Items + "]";
      }
      CountItem(open, nullptr);
    } else {
      return false;
    }
  }
}

// [table] or [[array of tables]]; table becomes the one the lines below fill.
bool ScanHeaderLine(TScan& s, std::size_t lineStart, int& table) {
  const bool arrayOfTables = Peek(s, 1) == '[';
  s.Pos += arrayOfTables ? 2 : 1;
  const std::size_t keysBegin = s.Pos;
  SkipBlanks(s);
  std::vector<std::string> path;
  if (!ScanKey(s, path) || Peek(s) != ']' || (arrayOfTables && Peek(s, 1) != ']')) return false;
  const std::size_t keysEnd = s.Pos;
  s.Pos += arrayOfTables ? 2 : 1;
  table = DefineTable(s, path, arrayOfTables);
  if (table < 0 || !EndLine(s)) return false;
  TTomlSection section;
  section.Path = std::move(path);
  section.Table = table;
  section.Begin = lineStart;
  section.KeysBegin = keysBegin;
  section.KeysEnd = keysEnd;
  section.HeaderEnd = s.Pos;
  section.ContentEnd = s.Pos;
  s.Out.Sections.push_back(std::move(section));
  return true;
}

bool ScanKeyValueLine(TScan& s, std::size_t lineStart, int table) {
  int slot = -1;
  if (!ScanKeyValueHead(s, table, slot) || !ScanValue(s, slot) || !EndLine(s)) return false;
  NodeOf(s, slot).LineBegin = lineStart;
  NodeOf(s, slot).LineEnd = s.Pos;
  if (!s.Out.Sections.empty()) s.Out.Sections.back().ContentEnd = s.Pos;
  return true;
}

bool ScanLine(TScan& s, int& table) {
  const std::size_t lineStart = s.Pos;
  SkipBlanks(s);
  const int c = Peek(s);
  if (c == '[') return ScanHeaderLine(s, lineStart, table);
  if (c == '#' || c == '\n' || c == '\r' || c == kEnd) return EndLine(s);
  return ScanKeyValueLine(s, lineStart, table);
}
}  // namespace

TTomlOutline ScanToml(const std::string& text) {
  TTomlOutline out;
  out.Nodes.push_back(TTomlNode());
  out.Nodes[0].Kind = TTomlNodeKind::HeaderTable;
  std::size_t illFormed = 0;
  const std::size_t notUtf8 = FindInvalidUtf8(text, 0, illFormed);
  if (notUtf8 != std::string::npos) {
    out.ErrorLine = 1 + static_cast<int>(std::count(text.begin(), text.begin() + notUtf8, '\n'));
    return out;
  }
  out.BodyStart = Utf8BomLength(text);
  TScan s{text, out.BodyStart, 1, out};
  int table = 0;
  while (Peek(s) != kEnd) {
    if (!ScanLine(s, table)) {
      out.ErrorLine = s.Line;
      return out;
    }
  }
  out.Valid = true;
  return out;
}

int FindTomlNode(const TTomlOutline& outline, int parent, const std::string& name) {
  const auto found = outline.Names.find(NameKey(parent, name));
  return found == outline.Names.end() ? -1 : found->second;
}

std::string TomlString(const std::string& text) {
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (const char byte : text) {
    const auto c = static_cast<unsigned char>(byte);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (IsForbiddenControl(c)) {
          out += "\\u00";
          out += kHexDigits[c >> 4];
          out += kHexDigits[c & 15];
        } else {
          out += byte;
        }
    }
  }
  out += '"';
  return out;
}

std::string TomlStringArray(const std::vector<std::string>& items) {
  std::string joined;
  for (const std::string& item : items) AppendArrayItem(joined, item);
  return "[" + joined + "]";
}

std::string TomlKey(const std::string& key) {
  for (const char c : key) {
    if (!IsBareKeyChar(static_cast<unsigned char>(c))) return TomlString(key);
  }
  return key.empty() ? TomlString(key) : key;
}
