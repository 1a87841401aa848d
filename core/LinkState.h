#pragma once
// The one record of the current link to a CRM application instance and of the
// list-changed bookkeeping that goes with it. It lives as long as the process,
// and the link in it changes only through the named steps below.

#include <cstdint>
#include <string>

#include "platform/Platform.h"

struct TLinkState {
  bool Connected = false;
  std::uint16_t Port = 0;
  std::string Token;
  std::uint32_t CrmProcessId = 0;  // of the window that gave port and token
  WindowHandle ProxyWindow = 0;  // the bridge's own hidden window; no CRM window is kept
  bool Refused = false;
  bool PlaceholderListSent = false;
  std::uint32_t NoticeRetryTick = 0;  // 0: no repeat pending
  std::int32_t NoticeRetryCount = 0;
  std::uint32_t LastIdleAttemptTick = 0;  // 0: never
  std::uint32_t Generation = 0;  // counts the links made, so that an old link's failures are told apart
  std::uint32_t EndpointOffSince = 0;  // tick of the last "MCP server is off" verdict; 0: none
};

extern TLinkState LinkState;

// Milliseconds since `tick` by unsigned 32-bit subtraction, so a wrap of the
// counter does no harm.
inline std::uint32_t TicksSince(std::uint32_t tick, std::uint32_t now) { return now - tick; }
// A tick to store: 0 means "not set".
inline std::uint32_t StoredTick(std::uint32_t now) { return now == 0 ? 1 : now; }

// The link is up on this port with this token, from this process; a refusal no longer stands.
void LinkUp(std::uint16_t port, const std::string& token, std::uint32_t crmProcessId);
// The link of this generation is gone; false when it was already gone, or a newer one stands.
bool LinkLost(std::uint32_t generation);
// The link of this generation is gone because its MCP server is switched off:
// for a while no request asks for a new one.
void EndpointOff(std::uint32_t generation);
// Milliseconds the verdict "the MCP server is off" still stands; 0: none.
std::uint32_t EndpointOffVerdictLeft();
// The CRM application said no (or, with false, no longer does): background attempts stop until a request.
void KeepRefusal(bool refused);
// An attempt starts: the next one in the background comes 3 s after it.
void AttemptStarted();
// The window asked last closed: the next attempt looks for the one in its place at once.
void LookAgainAtOnce();

// The client got a tool list that the bridge made: it is to learn of the real one.
void OwnListSent();
// The client was told that the list changed: no notice is due any more.
void NoticeSent();
// The CRM application's own list came: repeats of the notice count anew.
void CrmListArrived();
