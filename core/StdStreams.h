#pragma once
// Framing of the client's standard streams: one JSON-RPC message per line.

#include <string>

#include "platform/Platform.h"

// Taken once at start-up.
extern OsHandle InputHandle;
extern OsHandle OutputHandle;

// Reads standard input on a worker. Each line, without its line feed (and
// without one carriage return right before it), goes to `onLine` on the loop's
// thread, in order; an unterminated last line too. `onEnd` follows the last line.
void StartReadingClientInput(void (*onLine)(std::string), void (*onEnd)());

// Writes the text and one line feed; an empty text writes nothing.
void WriteClientLine(const std::string& text);

// Forgets buffered input and the end, as at process start.
void ResetClientReader();
