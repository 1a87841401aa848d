#pragma once
// One time limit for a whole exchange with the CRM application, on the
// platform's tick: every send and receive waits at most for what is left of it,
// so that neither an endpoint that stops reading the request nor one that
// answers a byte at a time holds an exchange past it.

#include <cstdint>

#include "platform/Platform.h"

constexpr std::uint32_t kTimedOut = 10060;  // WSAETIMEDOUT, as a timed-out socket call reports it

struct TDeadline {
  std::uint32_t Start = 0;         // tick
  std::uint32_t Milliseconds = 0;  // allowed from Start
};

TDeadline DeadlineFromNow(std::uint32_t milliseconds);

// SocketSend and SocketReceive that give up at the deadline: false with the
// failure's code in `error`, kTimedOut when the time ran out.
bool SendBefore(const TDeadline& deadline, OsHandle socket, const char* data, std::uint32_t size,
                std::uint32_t& sent, std::uint32_t& error);
bool ReceiveBefore(const TDeadline& deadline, OsHandle socket, char* buffer, std::uint32_t size,
                   std::uint32_t& received, std::uint32_t& error);
