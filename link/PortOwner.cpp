#include "link/PortOwner.h"

#include "common/Encodings.h"
#include "common/Text.h"
#include "link/WindowDiscovery.h"

#include <vector>

namespace {
constexpr std::uint32_t kLoopback = 0x7F000001;
// The System process: a port of the kernel's HTTP server, which serves only the
// addresses a program registered, and which no one can take without rights.
constexpr std::uint32_t kSystemProcess = 4;

// A listener bound to 127.0.0.1 takes the connection before one bound to every address.
std::uint32_t LoopbackListener(std::int32_t port) {
  std::vector<TTcpListener> listeners;
  if (!Os().TcpListeners(listeners)) return 0;
  std::uint32_t everyAddress = 0;
  for (const TTcpListener& listener : listeners) {
    if (listener.Port != port) continue;
    if (listener.Address == kLoopback) return listener.ProcessId;
    if (listener.Address == 0) everyAddress = listener.ProcessId;
  }
  return everyAddress;
}

// Another user's program usually cannot be opened at all.
std::string ProgramName(std::uint32_t processId) {
  bool stoppedByRights = false;
  const std::u16string path = ProgramPath(processId, stoppedByRights);
  if (path.empty()) return "nazwa nieznana";
  return WideToUtf8(path.substr(path.find_last_of(u"\\/") + 1));
}
}  // namespace

std::string ForeignListener(std::int32_t port, std::uint32_t crmProcessId) {
  const std::uint32_t owner = LoopbackListener(port);
  if (owner == 0 || owner == crmProcessId || owner == kSystemProcess) return std::string();
  return "Port " + ToDecimal(static_cast<int>(port)) + " należy do innego programu (" + ProgramName(owner) +
         ", PID " + ToDecimal(owner) + ") niż Orvin - nie wysyłam do niego tokenu.";
}
