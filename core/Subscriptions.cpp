#include "core/Subscriptions.h"

#include <algorithm>
#include <vector>

#include "common/Log.h"
#include "core/StdStreams.h"
#include "mcp/ModernEra.h"

namespace {
struct TSubscription {
  std::string Id;  // the listen request's, raw JSON text
  bool ToolListChanges = false;
};

std::vector<TSubscription> Open;
}  // namespace

void Listen(const TRequestPass& pass) {
  if (pass.Id.empty()) {
    Log(pass.Description + " | bez id nie da się potwierdzić subskrypcji - pomijam");
    return;
  }
  const bool toolListChanges = AsksForToolListChanges(pass.Line);
  Open.push_back({pass.Id, toolListChanges});
  WriteClientLine(MakeSubscriptionAcknowledged(pass.Id, toolListChanges));
  Log(pass.Description + " | " +
      (toolListChanges ? "subskrypcja zmian listy narzędzi" : "subskrypcja bez powiadomień, które wysyłam"));
}

bool EndSubscription(const std::string& requestId, const std::string& why) {
  const auto named = std::find_if(Open.begin(), Open.end(),
                                  [&requestId](const TSubscription& open) { return open.Id == requestId; });
  if (named == Open.end()) return false;
  Log("subscriptions/listen | koniec subskrypcji " + named->Id + " - " + why);
  Open.erase(named);
  return true;
}

void EndAllSubscriptions(const std::string& why) {
  while (!Open.empty()) EndSubscription(Open.front().Id, why);
}

void NotifySubscribers() {
  for (const TSubscription& subscription : Open) {
    if (subscription.ToolListChanges) WriteClientLine(MakeStampedListChangedNotice(subscription.Id));
  }
}

void ResetSubscriptions() { Open.clear(); }
