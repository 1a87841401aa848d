#include "core/LinkState.h"

#include "common/HiddenToken.h"

TLinkState LinkState;

std::string WithoutToken(const std::string& text) { return HideToken(text, LinkState.Token); }

std::string FirstBytesWithoutToken(const std::string& text, std::size_t count) {
  return HideToken(text.substr(0, count), LinkState.Token);
}
