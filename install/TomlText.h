#pragma once
// A validating scan of a TOML text that keeps what an edit in place needs: the
// keys and tables the text defines, and where each table header and its
// key/values lie. Also the writing of TOML strings.

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

enum class TTomlNodeKind {
  ImplicitTable,  // named only on the way to a deeper [header]
  HeaderTable,    // has a [header] of its own
  DottedTable,    // made by dotted keys: a.b = 1
  InlineTable,    // a = { ... }, closed to anything outside its braces
  ArrayOfTables,  // [[header]]
  Value
};

struct TTomlNode {
  TTomlNodeKind Kind = TTomlNodeKind::Value;
  int Line = 0;      // where the text defines it
  int Children = 0;
  int LastTable = -1;  // of an array of tables: the table its latest [[header]] opened
  std::string Value;   // a string or an array of strings, as TomlString writes them; else empty
  std::size_t ValueBegin = 0;  // of a key = value: the value's text, offsets into the text
  std::size_t ValueEnd = 0;
  std::size_t LineBegin = 0;  // of a key = value on a line of its own: the line with its line end
  std::size_t LineEnd = 0;
};

// A [header] line and the key/values under it, as offsets into the text.
struct TTomlSection {
  std::vector<std::string> Path;  // the header's keys, decoded
  int Table = -1;
  std::size_t Begin = 0;       // start of the header line
  std::size_t KeysBegin = 0;   // the keys between the brackets
  std::size_t KeysEnd = 0;
  std::size_t HeaderEnd = 0;   // after the header line and its line end
  std::size_t ContentEnd = 0;  // after the line where its last key/value ends
};

struct TTomlOutline {
  bool Valid = false;
  int ErrorLine = 0;           // when not valid: the line where the scan stopped
  std::size_t BodyStart = 0;   // after a byte order mark
  std::vector<TTomlNode> Nodes;  // the first is the root table
  std::unordered_map<std::string, int> Names;  // see FindTomlNode
  std::vector<TTomlSection> Sections;
};

// Scans a TOML 1.0 text; a text with a UTF-8 byte order mark is scanned after it.
// Runs in time linear in the text and without recursion.
TTomlOutline ScanToml(const std::string& text);

// The node named name in the table parent, or -1.
int FindTomlNode(const TTomlOutline& outline, int parent, const std::string& name);

// A basic string: quotes, backslashes and control characters escaped, UTF-8 kept.
std::string TomlString(const std::string& text);
std::string TomlStringArray(const std::vector<std::string>& items);
// A key: bare when it can be, else quoted.
std::string TomlKey(const std::string& key);
