#pragma once
// The one record of the current link to a CRM application instance and of the
// list-changed bookkeeping that goes with it. It lives as long as the process.

#include <cstdint>
#include <string>

#include "platform/Platform.h"

struct TLinkState {
  bool Connected = false;
  std::int32_t Port = 0;
  std::string Token;
  WindowHandle ProxyWindow = 0;  // the bridge's own hidden window; no CRM window is kept
  bool Refused = false;
  bool PlaceholderListSent = false;
  std::uint32_t NoticeRetryTick = 0;  // 0: no repeat pending
  std::int32_t NoticeRetryCount = 0;
  std::uint32_t LastIdleAttemptTick = 0;  // 0: never
  std::uint32_t Generation = 0;  // counts the links made, so that an old link's failures are told apart
};

extern TLinkState LinkState;

// Milliseconds since `tick` by unsigned 32-bit subtraction, so a wrap of the
// counter does no harm.
inline std::uint32_t TicksSince(std::uint32_t tick, std::uint32_t now) { return now - tick; }

// The text with every occurrence of the link's token replaced, so that nothing
// the CRM application sends back can carry the token into the log.
std::string WithoutToken(const std::string& text);

// The first `count` bytes of `text` with the token replaced, a token that starts
// among them included even where it runs on past them.
std::string FirstBytesWithoutToken(const std::string& text, std::size_t count);
