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

// Hands the text and one line feed to standard output's writer, in order; an
// empty text writes nothing. Never waits for the client to read.
void WriteClientLine(std::string text);
// Waits at most the time-out for the client to take what was written; true when it has.
bool FinishClientOutput(std::uint32_t timeoutMilliseconds);
// `onGone` runs on the loop's thread once a write to standard output has failed
// because nobody reads it any more.
void WatchClientOutput(void (*onGone)());
// Asks, by a write of no bytes on a worker, whether standard output still has a
// reader; `answer` gets it on the loop's thread.
void AskWhetherClientReads(void (*answer)(bool reads));

// Forgets buffered input and the end, as at process start.
void ResetClientReader();
