#pragma once
// The heart of the bridge: one event loop on the main thread. Lines of the
// client are answered locally while there is no link and forwarded side by
// side while there is one; nothing the loop waits for holds anything else.

#include <string>

#include "core/RequestPass.h"

// Runs until the client has closed standard input and what it sent is done
// (or given up after a grace time).
void RunRequestLoop();
// One line read from the client.
void HandleClientLine(std::string line);
// Ends the input as if the client had closed it (asked to close, or the client
// is gone); `why` is logged first.
void EndInput(const std::string& why);
// Runs the loop until nothing waits, nothing is in flight and no attempt runs.
void RunLoopUntilSettled();

// A request whose link was lost before it could run waits for the new one, ahead of newer lines.
void WaitForLinkAgain(TRequestPass pass);
// An attempt ended; `failure` is its diagnosis when lines that waited for it must be answered without a link.
void LinkAttemptEnded(const std::string& failure);

// Forgets every waiting line and the end of input, as at process start.
void ResetRequestLoop();
