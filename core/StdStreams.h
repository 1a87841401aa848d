#pragma once
// Framing of the client's standard streams: one JSON-RPC message per line.

#include <string>

#include "platform/Platform.h"

// Taken once at start-up.
extern OsHandle InputHandle;
extern OsHandle OutputHandle;

// The next line without its line feed (and without one carriage return right
// before it); false once input has ended and no bytes remain. While a pipe has
// nothing to read it polls, running the idle work between polls.
bool ReadClientLine(std::string& line);

// Writes the text and one line feed; an empty text writes nothing.
void WriteClientLine(const std::string& text);

// Forgets buffered input and the end and polling flags, as at process start.
void ResetClientReader();
