#pragma once
// Work between requests: background connection attempts while the client is
// silent, and the repeats of the notice that tells the client its tool list has
// changed. It decides what is due; the request loop does it.

#include <cstdint>
#include <string>

enum class IdleStep {
  Nothing,
  RepeatNotice,  // a planned repeat of the list-changed notice is due
  Attempt        // a background connection attempt is due
};

// What is due now, while the client has nothing waiting: a due repeat of the
// notice, or an attempt every 3 s while there is no link.
IdleStep IdleStepDue(bool attemptRunning);
// Milliseconds until a step is due; kNoIdleWork when nothing is planned.
constexpr std::uint32_t kNoIdleWork = 0xFFFFFFFF;
std::uint32_t IdleWorkWakeIn(bool attemptRunning);

// Plans one repeat of the list-changed notice; `prefix` opens its log line.
void ScheduleListChangedRetry(const std::string& prefix);
