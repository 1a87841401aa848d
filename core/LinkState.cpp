#include "core/LinkState.h"

#include <algorithm>

TLinkState LinkState;

namespace {
const char kHiddenToken[] = "***";
}

std::string WithoutToken(const std::string& text) {
  return FirstBytesWithoutToken(text, text.size());
}

std::string FirstBytesWithoutToken(const std::string& text, std::size_t count) {
  const std::string& token = LinkState.Token;
  count = std::min(count, text.size());
  if (token.empty()) return text.substr(0, count);
  // Only a token that starts among the first bytes matters: no need to search further.
  const std::string window = text.substr(0, count + token.size());
  std::string result;
  std::size_t position = 0;
  while (position < count) {
    const std::size_t found = window.find(token, position);
    if (found == std::string::npos || found >= count) {
      result.append(window, position, count - position);
      break;
    }
    result.append(window, position, found - position);
    result += kHiddenToken;
    position = found + token.size();
  }
  return result;
}
