#pragma once
// Tool calls that the client cancelled after they went out. The CRM application
// may do them anyway, and a client that gave up on a slow call is soon told to
// call the same tool again: that retry must not make the CRM application do it
// twice. It takes the first call's answer instead: at once when the answer is
// kept, or when it comes. Its answer is kept 10 minutes for one retry: the CRM
// application's own, or the "may have run" error when no whole answer came; at
// most 32 answers and 64 MB in all, the oldest going first.
// Calls are the same when their name and arguments are equal JSON values.

#include <cstdint>
#include <string>
#include <vector>

#include "core/RequestPass.h"

// The client cancelled this tools/call while it ran.
void CallAbandoned(const TRequestPass& call);

enum class TRetryVerdict {
  NoRetry,  // no identical call was abandoned: it goes out as ever
  Answer,   // an abandoned call's answer was kept: the retry gets it now
  Waits     // an identical abandoned call still runs: the retry waits here for its end
};

struct TRetry {
  TRetryVerdict Verdict = TRetryVerdict::NoRetry;
  std::string Answer;           // Answer: under the abandoned call's id
  bool FromCrm = true;          // Answer is the CRM application's own, not the "may have run" error
  std::uint32_t FirstSent = 0;  // when the abandoned call went out
};

// What an abandoned identical call has for a tools/call with an id that just came.
TRetry TakeRetry(const TRequestPass& call, std::uint32_t now);

// The abandoned call that went out as `id` ended, and `answer` (under its id) is
// what it would have had: the CRM application's own when `fromCrm`, kept then
// unless a retry waited for it; empty when it cannot have run. The retries that
// waited for it come back.
std::vector<TRequestPass> AbandonedCallEnded(const TRequestPass& call, const std::string& answer, bool fromCrm,
                                             std::uint32_t now);

// A waiting retry was cancelled: it never went out. Its description; empty when none waits as `id`.
std::string ForgetRetry(const std::string& id);
// A retry waits for an abandoned call that still runs.
bool RetriesWaiting();
// Kept answers older than 10 minutes go.
void ForgetOldAnswers(std::uint32_t now);

// Forgets every call and answer, as at process start.
void ResetAbandonedCalls();
