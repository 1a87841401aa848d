#pragma once
// When the bridge asks for a link, and what the outcome of each kind of attempt
// means for the link, for a refusal and for the lines that wait. One attempt runs
// at a time; the request loop does what its result says.

#include <optional>
#include <string>

#include "link/Connect.h"
#include "platform/Platform.h"

enum class AttemptKind {
  StartUp,      // for the client's first message, in the background; a refusal is not kept
  Idle,         // while the client is silent; a refusal stops these
  ForRequests,  // for lines that wait for a link; they are answered with its outcome
  Reconnect     // after the link was lost; the requests it lost are repeated
};

struct TAttemptResult {
  TConnectOutcome Outcome;       // Ok with the port and token, or why not
  std::string Announcement;      // Ok: the log line of the new link
  std::string Note;              // a failure that only the log is told; empty: none
  std::optional<bool> Refused;   // the refusal that stands from now on; none: as it was
  // Lines that wait are answered without a link, with this; empty: they wait on
  // (for a link, or for an attempt of their own).
  std::string FailureForWaiting;
};

using AttemptEnded = void (*)(const TAttemptResult& result);

// Starts an attempt of this kind unless one runs; `onEnded` gets its result on the loop's thread.
void StartLinkAttempt(AttemptKind kind, WindowHandle proxyWindow, AttemptEnded onEnded);
bool LinkAttemptRunning();
