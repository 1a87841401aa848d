#pragma once
// The open subscriptions/listen of a client of revision 2026-07-28: the only way
// such a client hears that the tool list changed. The bridge keeps them itself;
// the CRM application never sees one.

#include <string>

#include "core/RequestPass.h"

// Opens a subscription for the request and acknowledges it at once, narrowed to
// tool-list changes, the only notice the bridge sends.
void Listen(const TRequestPass& pass);
// Ends the subscription that `requestId` (raw JSON) names; false when none does.
bool EndSubscription(const std::string& requestId, const std::string& why);
void EndAllSubscriptions(const std::string& why);
// Sends the list-changed notice on each open subscription that asked for it.
void NotifySubscribers();

// Forgets every subscription, as at process start.
void ResetSubscriptions();
