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
