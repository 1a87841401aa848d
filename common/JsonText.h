#pragma once
// JSON handled as text, never as a tree: the bridge picks a few members out of a
// line and passes everything else on byte for byte, and checks a reply, or a
// client's file before an edit, without building anything.

#include <string>

// JSON's whitespace: space, tab, line feed and carriage return, nothing else.
inline bool IsJsonWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The raw text of the value of the top-level member `key` of the JSON object
// `text`: a string keeps its quotes and escapes; a closed object or array is
// taken whole (its line breaks turned into blanks); any other value runs up to
// the first blank, comma or closing bracket. Empty when `text` is no object or
// has no such member. Names count by their decoded value (`"\u0069d"` is "id"),
// the first of equal names wins. Strings and nested values are stepped over while
// looking, so a member of the same name deeper down never counts.
std::string JsonRawValue(const std::string& text, const std::string& key);

// The whole value of the top-level member `key` (an object or array with all
// its nesting), or empty when it is missing or not closed.
std::string JsonMemberValue(const std::string& text, const std::string& key);

// Where the value of the member `key` of the object that starts at `objectStart`
// (blanks before it allowed) begins; std::string::npos when there is none. A
// value found so can be changed in place, however large the text.
std::size_t JsonMemberAt(const std::string& text, const std::string& key, std::size_t objectStart = 0);

// JsonRawValue of a member of the request's top-level "params" object.
std::string JsonParamsValue(const std::string& line, const std::string& key);

// What keeps a text from being one JSON object: a comment or a comma before a
// closing bracket where plain JSON has none, another JSON value than an object,
// or anything else.
enum class TJsonFault { None, Invalid, Comment, TrailingComma, NotObject };

struct TJsonCheck {
  TJsonFault Fault = TJsonFault::None;
  std::size_t At = 0;  // where the first fault begins: the wrong token, or the comma
};

// What a JSON text may hold beyond plain JSON, each allowed on its own: comments
// (// and /* */ stand for whitespace), and a comma before a closing bracket. VS
// Code's JSONC allows both; a reader that strips comments and then parses plain
// JSON allows comments only.
struct TJsonSyntax {
  bool Comments = false;
  bool TrailingCommas = false;
};

// Whether `text` from `from` on is exactly one valid JSON object of that syntax,
// with nothing but whitespace around it, or its first fault. Linear and without
// recursion, for replies of any size and depth.
TJsonCheck CheckJsonObject(const std::string& text, std::size_t from, TJsonSyntax syntax);
// True when `text` is exactly one valid object of plain JSON, with nothing but
// whitespace around it.
bool IsSingleJsonObject(const std::string& text);
// True when `text` is exactly one valid value of plain JSON of any kind, with
// nothing but whitespace around it.
bool IsSingleJsonValue(const std::string& text);

// Past the whitespace from `p` on, and past comments when `withComments`.
std::size_t SkipJsonWhitespace(const std::string& text, std::size_t p, bool withComments);

// Where the valid JSON string, number, true, false or null that starts at `p` of
// `text` ends, or std::string::npos when none starts there. For scanners that
// walk a whole document and need the positions.
std::size_t JsonScalarEnd(const std::string& text, std::size_t p);

// True when `raw` is exactly one valid JSON string, quotes included.
bool IsJsonString(const std::string& raw);
// The decoded text of the JSON string `raw` (UTF-8), or empty when `raw` is no
// valid string. Method and tool names are compared by this value.
std::string JsonStringValue(const std::string& raw);

// The canonical text of the JSON value `text` (whitespace around it allowed), so
// that two values compare equal exactly when their texts are: no whitespace,
// every object's members ordered by their decoded names (equal names keep their
// order), strings written from their decoded value, numbers by their exact
// decimal value (1, 1.0, 10e-1 and 0.1E1 are one number, -0 is 0). False when
// `text` is no valid JSON value, nests deeper than 128, or has an exponent of
// more than 15 digits: such a value equals nothing.
bool CanonicalJson(const std::string& text, std::string& canonical);

std::string JsonUnquote(const std::string& raw);
std::string DescribeRequest(const std::string& line);

// Of a reply that is one JSON object: true when it is a JSON-RPC response, with a
// top-level "result" member or "error" object. Anything else answers nothing.
bool IsJsonRpcResponse(const std::string& reply);
// True when the reply's top level has an "error" object and no "result".
bool IsErrorReply(const std::string& reply);
// Makes the request's id (raw JSON text) the value of every top-level "id" of the
// reply, one JSON object, or adds the member when there is none; true when the
// reply had another id or none. On its own connection, the answer answers the
// request that was sent on it, whatever id it carries.
bool PutRequestId(std::string& reply, const std::string& id);
