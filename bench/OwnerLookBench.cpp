// Prints what the look at the owner of a connection costs, as every forwarded
// request pays it on its worker between connect and its first byte: the
// connection's own address and the system's IPv4 and IPv6 connection tables.
// Windows only; under Wine the tables name no owners, and the bridge stops
// looking after its first look there.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "link/PortOwner.h"
#include "platform/Win32Platform.h"

#include <winsock2.h>

namespace {
constexpr int kRounds = 300;

const char* Describe(OwnerLook look) {
  switch (look) {
    case OwnerLook::CrmApplication: return "our own process named as the owner";
    case OwnerLook::NoOwners: return "the system names no owners";
    case OwnerLook::NoRow: return "no row for the connection";
    case OwnerLook::NoTable: return "a table could not be read";
    default: return "another program named as the owner";
  }
}
}  // namespace

int main() {
  SetPlatform(&Win32Platform());
  Platform& os = Os();
  os.SocketStartup();
  SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listener, SOMAXCONN) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::printf("no listener on 127.0.0.1\n");
    return 1;
  }
  const std::uint16_t port = ntohs(address.sin_port);
  std::vector<double> times;
  std::vector<std::size_t> rows;
  OwnerLook outcome = OwnerLook::NotLooked;
  for (int round = 0; round < kRounds; ++round) {
    const OsHandle connection = os.SocketOpen();
    if (!os.SocketConnect(connection, "127.0.0.1", port)) continue;
    SOCKET accepted = accept(listener, nullptr, nullptr);
    const auto start = std::chrono::steady_clock::now();
    outcome = LookWhoOwns(connection, port, os.CurrentProcessId()).Look;
    const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
    times.push_back(elapsed.count());
    closesocket(accepted);
    os.SocketClose(connection);
  }
  std::vector<TTcpConnection> table;
  std::size_t count = 0;
  for (bool ipv6 : {false, true}) count += os.TcpConnections(ipv6, table) ? table.size() : 0;
  if (times.empty()) {
    std::printf("no connection could be made\n");
    return 1;
  }
  std::sort(times.begin(), times.end());
  std::printf("  one look, %zu connections (%zu rows in both tables at the end): median %.3f ms, p95 %.3f ms, "
              "max %.3f ms; outcome: %s\n",
              times.size(), count, times[times.size() / 2], times[times.size() * 95 / 100], times.back(),
              Describe(outcome));
  closesocket(listener);
  return 0;
}
