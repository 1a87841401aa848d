#pragma once
// The heart of the bridge: one event loop on the main thread, and the one caller
// of core/'s parts. Lines of the client are answered locally while there is no
// link and forwarded side by side while there is one; forwarding, connection
// attempts and idle work report what happened, and the loop does what follows.
// Nothing the loop waits for holds anything else.

#include <string>

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
// What is due while the client has nothing waiting: a repeat of the list-changed
// notice, or a background attempt every 3 s while there is no link.
void DoIdleWork();

// Forgets every waiting line and the end of input, as at process start.
void ResetRequestLoop();
