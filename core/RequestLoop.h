#pragma once
// The heart of the bridge: one line at a time, answered locally while there is
// no link, forwarded while there is one.

#include <string>

// Runs until the client closes standard input.
void RunRequestLoop();
// One pass for one line read from the client.
void HandleClientLine(std::string line);
