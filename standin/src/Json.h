#pragma once
// A small JSON reader and the escaping used when building replies as text.
// The reader keeps each value's raw text so that ids and arguments can be
// echoed byte for byte.

#include <string>
#include <utility>
#include <vector>

enum class JsonType { Null, Bool, Number, String, Array, Object };

struct TJsonValue {
  JsonType Type = JsonType::Null;
  std::string Raw;   // the value's text exactly as it stood in the input
  std::string Text;  // decoded string (String) or the raw literal (Number, Bool)
  std::vector<std::pair<std::string, TJsonValue>> Members;  // Object, in input order
  std::vector<TJsonValue> Items;                             // Array

  // First member of that name, or nullptr (also when this is no object).
  const TJsonValue* Find(const std::string& name) const;
};

// Parses one complete JSON text (blanks around it allowed). False with a
// message when the text is not valid JSON.
bool ParseJson(const std::string& text, TJsonValue& value, std::string& error);

// The string as a JSON string literal, quotes included; UTF-8 bytes pass unchanged.
std::string JsonQuote(const std::string& text);
