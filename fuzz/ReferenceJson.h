#pragma once
// A plain recursive JSON parser written straight from the RFC 8259 grammar, as the
// yardstick for the bridge's own scanners. Only for inputs of fuzzing size.

#include <string>
#include <vector>

struct TReferenceMember {
  std::string Name;      // decoded
  std::string RawValue;  // the value's bytes as they stand in the text
};

// True when `text` is one JSON object with nothing but JSON blanks around it;
// `members` then holds its top-level members in order.
bool ParseReferenceObject(const std::string& text, std::vector<TReferenceMember>& members);

// The decoded content of the JSON string `raw` (quotes included) as UTF-8; false
// when `raw` is not exactly one valid string.
bool DecodeReferenceString(const std::string& raw, std::string& decoded);
