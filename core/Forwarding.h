#pragma once
// Relaying lines to the CRM application while linked, side by side, each on a
// worker of its own, and judging what came back: the client's answer, and what
// a failure means for the link. Repeat once when it cannot have arrived, never
// when it may have. The request loop does what the result says.

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/LinkState.h"
#include "core/RequestPass.h"

// What an exchange's end means for the link it went out on.
enum class LinkVerdict {
  Stands,      // the link stays
  Lost,        // it cannot have run: the link goes, and one reconnect serves all the requests it lost
  Down,        // rejected again, or a repeat that may have run: the link goes, with no reconnect
  EndpointOff  // rejected again with 404: the link goes, and for a while no request asks for a new one
};

struct TExchangeResult {
  TRequestPass Pass;              // handed back: a repeat waits for the new link
  std::uint32_t Generation = 0;   // of the link it went out on
  std::string Answer;             // the client's line; empty: none
  LinkVerdict Link = LinkVerdict::Stands;
  std::string LostBecause;        // Lost: why, for the log
  bool Repeat = false;            // to be sent once more on the new link
  // The CRM application's tool list failed and the client got the bridge's own:
  // a repeat of the notice is to be planned, and this opens its log line.
  std::string NoticeRetry;
  bool CrmListArrived = false;    // a good tool list came and was cached
  // The client cancelled it while it ran. A tools/call that may have run then
  // still has Answer, what it would have had; nobody waits for it any more.
  bool Cancelled = false;
  bool FromCrm = false;           // Answer is the CRM application's own reply
};

using ExchangeFinished = void (*)(TExchangeResult result);

// Notifications (but a cancellation) and initialize: nothing after them goes out before they are done.
bool HoldsBackOthers(const TRequestPass& pass);
// Sends the line on a worker over `link`, each try only once the connection
// shows to lead to the CRM application; `onFinished` gets the result on the loop's thread.
void StartExchange(TRequestPass pass, const TLinkState& link, ExchangeFinished onFinished);
std::size_t ExchangesInFlight();
// Those whose answer someone still waits for: not cancelled by the client.
std::size_t ExchangesAwaited();
bool OthersHeldBack();
// The client cancelled this request (raw JSON id): if it runs, its answer goes
// to nobody. The request that runs so, until its exchange ends; nullptr: none.
const TRequestPass* MarkCancelled(const std::string& requestId);
// What requests get while the verdict "the MCP server is off" stands.
std::string EndpointOffText();
// One log line for each exchange the bridge stops waiting for.
void LogUnfinishedExchanges();
// Forgets every exchange, as at process start.
void ResetExchanges();
