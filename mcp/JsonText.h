#pragma once
// JSON handled as text, never as a tree: the bridge picks a few members out of a
// line and passes everything else on byte for byte.

#include <string>

// The raw text of the value of the top-level member `key` of the JSON object
// `text`: a string keeps its quotes and escapes; any other value runs up to the
// first blank, comma or closing bracket. Empty when `text` is no object or has
// no such member. Strings and nested values are stepped over while looking, so
// a member of the same name deeper down never counts.
std::string JsonRawValue(const std::string& text, const std::string& key);

// The whole value of the top-level member `key` (an object or array with all
// its nesting), or empty when it is missing or not closed.
std::string JsonMemberValue(const std::string& text, const std::string& key);

// JsonRawValue of a member of the request's top-level "params" object.
std::string JsonParamsValue(const std::string& line, const std::string& key);

// True when `text` is exactly one complete JSON object, nothing but JSON blanks around it.
bool IsSingleJsonObject(const std::string& text);

std::string JsonUnquote(const std::string& raw);
std::string DescribeRequest(const std::string& line);
// ANSI text escaped and converted to UTF-8, without the enclosing quotes.
std::string JsonString(const std::string& ansi);
bool IsErrorReply(const std::string& reply);
std::string FixErrorReplyId(const std::string& reply, const std::string& id);
