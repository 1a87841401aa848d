#pragma once
// A user who starts the bridge by hand (a double click, or a console window with
// no client) gets told what it is and how a client starts it, instead of a
// console that waits silently for JSON.

#include "platform/Platform.h"

// When standard input is a console: shows on standard error what this program
// is and configuration entries with this exe's path, waits for Enter, and
// gives true. A pipe, a file or NUL as input give false at once.
bool ExplainIfStartedByHand(OsHandle input);
