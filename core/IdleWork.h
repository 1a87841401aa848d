#pragma once
// Work between requests: background connection attempts while the client is
// silent, and the notice that tells the client its tool list has changed.

#include <cstdint>
#include <string>

// The link-up step every successful connection goes through.
void NotifyListChangedIfPlaceholder();
// Logs the new link's port, then takes the link-up step.
void AnnounceLink();
// Plans one repeat of the list-changed notice; `prefix` opens its log line.
void ScheduleListChangedRetry(const std::string& prefix);
// Called by the loop whenever the client has nothing waiting: a due repeat of
// the notice, or a background attempt every 3 s while there is no link.
void DoIdleWork();
// Milliseconds until DoIdleWork has something to do; kNoIdleWork when nothing is planned.
constexpr std::uint32_t kNoIdleWork = 0xFFFFFFFF;
std::uint32_t IdleWorkWakeIn();
