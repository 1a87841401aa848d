#pragma once
// Obtaining a link: find the CRM windows of the configured folder, ask them in
// turn, choose the first instance that fits the MCP key.

#include <string>

// True with LinkState.Port and LinkState.Token set; false with one Polish
// sentence that says what is wrong, and `refused` when the chosen instance said no.
bool ConnectToCrm(bool background, std::string& message, bool& refused);
