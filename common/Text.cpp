#include "common/Text.h"

namespace {
constexpr int kMinimumCapacity = 16;

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= 32; }

bool NeedsEscape(unsigned char c) { return c < 32 || c == '"' || c == '\\'; }

const char kHexDigits[] = "0123456789ABCDEF";
}  // namespace

bool IsAllBlankOrControl(const std::string& text) {
  for (char c : text) {
    if (!IsBlankOrControl(c)) return false;
  }
  return true;
}

std::string Trim(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlankOrControl(text[begin])) ++begin;
  while (end > begin && IsBlankOrControl(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::string ShowLineBreaks(const std::string& text) {
  if (text.find_first_of("\r\n") == std::string::npos) return text;
  std::string shown;
  shown.reserve(text.size() + 16);
  for (char c : text) {
    if (c == '\r') {
      shown += "\\r";
    } else if (c == '\n') {
      shown += "\\n";
    } else {
      shown += c;
    }
  }
  return shown;
}

std::string ToDecimal(std::int64_t value) { return std::to_string(value); }
std::string ToDecimal(std::uint64_t value) { return std::to_string(value); }

TAITextBuilder::TAITextBuilder(int capacity)
    : Buffer(static_cast<std::size_t>(capacity < kMinimumCapacity ? kMinimumCapacity : capacity), '\0') {}

void TAITextBuilder::Grow(int needed) {
  std::size_t capacity = Buffer.size() < kMinimumCapacity ? kMinimumCapacity : Buffer.size();
  while (capacity < static_cast<std::size_t>(needed)) capacity *= 2;
  Buffer.resize(capacity);
}

void TAITextBuilder::AppendRange(const std::string& text, int start, int count) {
  if (count <= 0) return;
  if (Capacity() < Used + count) Grow(Used + count);
  text.copy(&Buffer[static_cast<std::size_t>(Used)], static_cast<std::size_t>(count),
            static_cast<std::size_t>(start - 1));
  Used += count;
}

void TAITextBuilder::Append(const std::string& text) { AppendRange(text, 1, static_cast<int>(text.size())); }

void TAITextBuilder::AppendChar(char byte) {
  if (Capacity() < Used + 1) Grow(Used + 1);
  Buffer[static_cast<std::size_t>(Used)] = byte;
  ++Used;
}

void TAITextBuilder::AppendJsonEscaped(const std::string& text) {
  int runStart = 1;
  const int length = static_cast<int>(text.size());
  for (int i = 1; i <= length; ++i) {
    const auto c = static_cast<unsigned char>(text[static_cast<std::size_t>(i - 1)]);
    if (!NeedsEscape(c)) continue;
    AppendRange(text, runStart, i - runStart);
    AppendChar('\\');
    switch (c) {
      case 8: AppendChar('b'); break;
      case 9: AppendChar('t'); break;
      case 10: AppendChar('n'); break;
      case 12: AppendChar('f'); break;
      case 13: AppendChar('r'); break;
      case '"': AppendChar('"'); break;
      case '\\': AppendChar('\\'); break;
      default:
        Append("u00");
        AppendChar(kHexDigits[c >> 4]);
        AppendChar(kHexDigits[c & 15]);
    }
    runStart = i + 1;
  }
  AppendRange(text, runStart, length + 1 - runStart);
}

std::string TAITextBuilder::GetText() {
  Buffer.resize(static_cast<std::size_t>(Used));
  return Buffer;
}

std::string JsonEscape(const std::string& text) {
  bool clean = true;
  for (char c : text) {
    if (NeedsEscape(static_cast<unsigned char>(c))) {
      clean = false;
      break;
    }
  }
  if (clean) return text;
  TAITextBuilder builder(static_cast<int>(text.size()) + 16);
  builder.AppendJsonEscaped(text);
  return builder.GetText();
}

std::string DescribeKey(const std::string& key) {
  const std::string trimmed = Trim(key);
  if (trimmed.empty()) return "(bez klucza)";
  return "\"" + trimmed + "\"";
}
