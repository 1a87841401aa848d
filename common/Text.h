#pragma once
// Text helpers shared by every subsystem: trimming, decimal numbers, and the
// growable buffer behind JSON string escaping.

#include <cstdint>
#include <string>

// Nothing but bytes of code 0 to 32 (blanks, line ends, control characters), or
// nothing at all.
bool IsAllBlankOrControl(const std::string& text);
// Removes every byte of code 0 to 32 from both ends.
std::string Trim(const std::string& text);
// An MCP key as the log and the messages show it: quoted, or "(bez klucza)".
std::string DescribeKey(const std::string& key);

// Carriage returns and line feeds shown as the two characters \r and \n, so that
// a text from outside stays on one line of the log.
std::string ShowLineBreaks(const std::string& text);

std::string ToDecimal(std::int64_t value);
std::string ToDecimal(std::uint64_t value);
inline std::string ToDecimal(int value) { return ToDecimal(static_cast<std::int64_t>(value)); }
inline std::string ToDecimal(std::uint32_t value) { return ToDecimal(static_cast<std::uint64_t>(value)); }

// Collects bytes in a buffer that grows by doubling, so that escaping a text
// stays linear in its length.
class TAITextBuilder {
 public:
  explicit TAITextBuilder(int capacity);
  void Grow(int needed);
  void AppendRange(const std::string& text, int start, int count);  // start is 1-based
  void Append(const std::string& text);
  void AppendChar(char byte);
  void AppendJsonEscaped(const std::string& text);
  std::string GetText();
  int Capacity() const { return static_cast<int>(Buffer.size()); }

 private:
  std::string Buffer;
  int Used = 0;
};

// The text with JSON string escaping; a text that needs none comes back as it is.
std::string JsonEscape(const std::string& text);
