#include "core/LinkState.h"

namespace {
// After a fresh link's repeat met 404, this long no request asks for a new link:
// each would make the CRM application show or log a request.
constexpr std::uint32_t kEndpointOffVerdictTime = 5000;
}  // namespace

TLinkState LinkState;

void LinkUp(std::uint16_t port, const std::string& token, std::uint32_t crmProcessId) {
  LinkState.Connected = true;
  LinkState.Port = port;
  LinkState.Token = token;
  LinkState.CrmProcessId = crmProcessId;
  ++LinkState.Generation;
  LinkState.Refused = false;
}

bool LinkLost(std::uint32_t generation) {
  if (!LinkState.Connected || generation != LinkState.Generation) return false;
  LinkState.Connected = false;
  LinkState.Port = 0;
  LinkState.Token.clear();
  LinkState.CrmProcessId = 0;
  return true;
}

void EndpointOff(std::uint32_t generation) {
  LinkLost(generation);
  LinkState.EndpointOffSince = StoredTick(Os().TickCount());
}

std::uint32_t EndpointOffVerdictLeft() {
  if (LinkState.EndpointOffSince == 0) return 0;
  const std::uint32_t passed = TicksSince(LinkState.EndpointOffSince, Os().TickCount());
  if (passed < kEndpointOffVerdictTime) return kEndpointOffVerdictTime - passed;
  LinkState.EndpointOffSince = 0;  // a counter that wrapped must not bring it back
  return 0;
}

void KeepRefusal(bool refused) { LinkState.Refused = refused; }

void AttemptStarted() { LinkState.LastIdleAttemptTick = StoredTick(Os().TickCount()); }

void LookAgainAtOnce() { LinkState.LastIdleAttemptTick = 0; }

void OwnListSent() { LinkState.PlaceholderListSent = true; }

void NoticeSent() {
  LinkState.PlaceholderListSent = false;
  LinkState.NoticeRetryTick = 0;
}

void CrmListArrived() { LinkState.NoticeRetryCount = 0; }
