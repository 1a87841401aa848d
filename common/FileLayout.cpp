#include "common/FileLayout.h"

std::size_t Utf8BomLength(const std::string& text) { return text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0; }

bool StartsWithUtf16Bom(const std::string& text) {
  return text.compare(0, 2, "\xFF\xFE") == 0 || text.compare(0, 2, "\xFE\xFF") == 0;
}

std::string LineEndOf(const std::string& text) {
  const std::size_t end = text.find('\n');
  return end == std::string::npos || (end > 0 && text[end - 1] == '\r') ? "\r\n" : "\n";
}
