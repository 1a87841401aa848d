#pragma once
// Relaying lines to the CRM application while linked, side by side, each on a
// worker of its own, and deciding what to do when one fails: repeat once when it
// cannot have arrived, never when it may have.

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/RequestPass.h"

// Notifications (but a cancellation) and initialize: nothing after them goes out before they are done.
bool HoldsBackOthers(const TRequestPass& pass);
// Sends the line on a worker; its answer is written when the exchange ends.
void StartExchange(TRequestPass pass);
std::size_t ExchangesInFlight();
bool OthersHeldBack();
// The client cancelled this request (raw JSON id): if it runs, its answer is dropped.
void MarkCancelled(const std::string& requestId);
// Milliseconds the verdict "the MCP server is off" still stands (0: none): lines
// get its text at once instead of a new handshake.
std::uint32_t EndpointOffVerdictLeft();
std::string EndpointOffText();
// One log line for each exchange the bridge stops waiting for.
void LogUnfinishedExchanges();
// Forgets every exchange, as at process start.
void ResetExchanges();
