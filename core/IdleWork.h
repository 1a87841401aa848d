#pragma once
// Work between requests: background connection attempts while the client is
// silent, and the notice that tells the client its tool list has changed.

#include <string>

// The link-up step every successful connection goes through.
void NotifyListChangedIfPlaceholder();
// Logs the new link's port, then takes the link-up step.
void AnnounceLink();
// Plans one repeat of the list-changed notice; `prefix` opens its log line.
void ScheduleListChangedRetry(const std::string& prefix);
// Called by the input poll whenever the client has nothing to say.
void DoIdleWork();
