#pragma once
// The diagnostic log on standard error: one time-stamped line per call, handed
// to a writer thread at once. It never fails visibly and never waits; a missing
// error stream just drops the line.

#include <cstdint>
#include <string>

// text is UTF-8; its line breaks are shown as \r and \n, and every bearer token the
// bridge was given is hidden (common/HiddenToken). A line that the stream's
// writer cannot hold now is dropped, and the next line it takes says how many were.
void Log(const std::string& text);

// At most `maxBytes` of bytes from outside, as a log line shows them: never half
// a character, every token hidden (and a beginning of one at the end, cut there
// or broken off, once it is long enough to matter), letters as they are, control
// characters and bytes that are no UTF-8 by their code.
std::string LogExcerpt(const std::string& bytes, std::size_t maxBytes = std::string::npos);

// Gives lines still on their way to a pipe a short time to get there, at most `waitAtMost` ms.
void FinishLog(std::uint32_t waitAtMost = 500);

// "t=153ms, rq=212B, rp=987B"
std::string FormatTiming(std::uint32_t elapsedMilliseconds, std::int32_t requestBytes, std::int32_t replyBytes);

// Forgets the error handle, its kind and the line prefix, as at process start.
void ResetLogState();
