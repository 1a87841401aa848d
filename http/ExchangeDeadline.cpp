#include "http/ExchangeDeadline.h"

namespace {
// Sets one of the socket's time-outs to what is left of the deadline; false
// once nothing is left (a time-out of 0 would mean none at all).
bool Arm(const TDeadline& deadline, bool (Platform::*setTimeout)(OsHandle, std::uint32_t), OsHandle socket,
         std::uint32_t& error) {
  const std::uint32_t elapsed = Os().TickCount() - deadline.Start;
  if (elapsed >= deadline.Milliseconds) {
    error = kTimedOut;
    return false;
  }
  if ((Os().*setTimeout)(socket, deadline.Milliseconds - elapsed)) return true;
  error = Os().LastError();
  return false;
}
}  // namespace

TDeadline DeadlineFromNow(std::uint32_t milliseconds) { return TDeadline{Os().TickCount(), milliseconds}; }

bool SendBefore(const TDeadline& deadline, OsHandle socket, const char* data, std::uint32_t size,
                std::uint32_t& sent, std::uint32_t& error) {
  sent = 0;
  if (!Arm(deadline, &Platform::SocketSetSendTimeout, socket, error)) return false;
  if (Os().SocketSend(socket, data, size, sent)) return true;
  error = Os().LastError();
  return false;
}

bool ReceiveBefore(const TDeadline& deadline, OsHandle socket, char* buffer, std::uint32_t size,
                   std::uint32_t& received, std::uint32_t& error) {
  received = 0;
  if (!Arm(deadline, &Platform::SocketSetReceiveTimeout, socket, error)) return false;
  if (Os().SocketReceive(socket, buffer, size, received)) return true;
  error = Os().LastError();
  return false;
}
