#pragma once
// A user who starts the bridge by hand (a double click, or a console window with
// no client) gets told what it is and how a client starts it, instead of a
// console that waits silently for JSON, and is offered to add it to the clients.

#include <string>

#include "platform/Platform.h"

// When standard input is a console: shows on standard error what this program
// is, configuration entries with this exe's path, whether Orvin CRM runs and the
// MCP clients found, and on T adds the bridge to them (and on T again while a
// file was left alone); gives true once the user is done. A pipe, a file or NUL as input give false at once.
bool ExplainIfStartedByHand(OsHandle input);
