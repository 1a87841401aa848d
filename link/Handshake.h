#pragma once
// Asking one CRM window for port and token over window messages.

#include <string>

#include "link/HandshakeRecords.h"

// True when an answer arrived, whatever it says; false with the reason.
bool RequestPortAndToken(WindowHandle window, bool background, TMCPIPCOdpowiedz& reply, std::string& message);
