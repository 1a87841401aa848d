#pragma once
// Progress notices for requests that wait for the CRM application. It answers
// with one body and cannot say that it still works, so the bridge says it on the
// progress token the client gave: a client that resets its time-out on progress
// then waits for a long call instead of giving up and calling again. The first
// notice comes 5 s after the request went out, then one every 10 s, until it is
// answered or cancelled. One timer of the loop serves them all.

#include <cstdint>
#include <string>

#include "core/RequestPass.h"

// Notices from now on for a request that went out (or began to wait for
// another's answer) at `since`, if its params._meta carries a progress token,
// a string or a number. A request already watched keeps its notices.
void WatchProgress(const TRequestPass& pass, std::uint32_t since);
// No more notices for the request `id` (raw JSON): it is answered or cancelled.
// How many it got.
int StopProgress(const std::string& id);
// The client's input ended: nobody listens for progress any more.
void StopAllProgress();
// Writes the notices that are due.
void SendDueProgress(std::uint32_t now);
// How long until the next notice is due; 0xFFFFFFFF when none is.
std::uint32_t ProgressWakeIn(std::uint32_t now);

// Forgets every request, as at process start.
void ResetProgressNotices();
