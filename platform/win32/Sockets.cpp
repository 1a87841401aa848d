#include "platform/win32/Win32Impl.h"

#include <iphlpapi.h>
#include <mstcpip.h>

#include <atomic>
#include <cstring>
#include <vector>

// Windows 10 1709 and later; older SDK headers lack them.
#ifndef SIO_TCP_INITIAL_RTO
#define SIO_TCP_INITIAL_RTO _WSAIOW(IOC_VENDOR, 17)
#define TCP_INITIAL_RTO_NO_SYN_RETRANSMISSIONS ((UCHAR)-2)
typedef struct _TCP_INITIAL_RTO_PARAMETERS {
  USHORT Rtt;
  UCHAR MaxSynRetransmissions;
} TCP_INITIAL_RTO_PARAMETERS;
#endif
#ifndef TCP_INITIAL_RTO_UNSPECIFIED_RTT
#define TCP_INITIAL_RTO_UNSPECIFIED_RTT ((USHORT)-1)
#endif

namespace {
SOCKET ToSocket(OsHandle handle) { return static_cast<SOCKET>(handle); }

bool SetSocketTimeout(OsHandle socket, int option, std::uint32_t milliseconds) {
  DWORD value = milliseconds;
  return setsockopt(ToSocket(socket), SOL_SOCKET, option, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

using ExtendedTcpTableCall = DWORD(WINAPI*)(PVOID, PDWORD, BOOL, ULONG, TCP_TABLE_CLASS, ULONG);

// Not imported, so that the exe keeps to Known DLLs; and looked for in System32
// alone, never beside the exe.
ExtendedTcpTableCall ExtendedTcpTable() {
  static const ExtendedTcpTableCall call = [] {
    HMODULE module = LoadLibraryExW(L"iphlpapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return module == nullptr ? nullptr
                             : reinterpret_cast<ExtendedTcpTableCall>(
                                   reinterpret_cast<void (*)()>(GetProcAddress(module, "GetExtendedTcpTable")));
  }();
  return call;
}
}  // namespace

bool Win32PlatformImpl::SocketStartup() {
  // Exchanges run on several threads; two first calls at once only count Winsock's users twice.
  static std::atomic<bool> started{false};
  if (started.load()) return true;
  WSADATA data;
  const int result = WSAStartup(MAKEWORD(2, 2), &data);
  if (result != 0) {
    SetLastError(static_cast<DWORD>(result));
    return false;
  }
  started.store(true);
  return true;
}

OsHandle Win32PlatformImpl::SocketOpen() {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return kInvalidHandle;
  BOOL noDelay = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
  return static_cast<OsHandle>(s);
}

bool Win32PlatformImpl::SocketSetReceiveTimeout(OsHandle socket, std::uint32_t milliseconds) {
  return SetSocketTimeout(socket, SO_RCVTIMEO, milliseconds);
}

bool Win32PlatformImpl::SocketSetSendTimeout(OsHandle socket, std::uint32_t milliseconds) {
  return SetSocketTimeout(socket, SO_SNDTIMEO, milliseconds);
}

bool Win32PlatformImpl::SocketConnect(OsHandle socket, const char* address, std::uint16_t port) {
  sockaddr_in target;
  ZeroMemory(&target, sizeof target);
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  // Dotted IPv4 by hand: inet_addr is deprecated, and only 127.0.0.1 is ever asked for.
  unsigned long value = 0;
  unsigned part = 0;
  for (const char* c = address;; ++c) {
    if (*c >= '0' && *c <= '9') {
      part = part * 10 + static_cast<unsigned>(*c - '0');
    } else {
      value = (value << 8) | (part & 0xFF);
      part = 0;
      if (*c == '\0') break;
    }
  }
  target.sin_addr.s_addr = htonl(value);
  // Otherwise Windows repeats the SYN after a refusal and a closed port on
  // 127.0.0.1 takes about 2 s to fail. The round trip estimate stays the
  // system's. Wine refuses the call; that costs nothing.
  TCP_INITIAL_RTO_PARAMETERS rto = {TCP_INITIAL_RTO_UNSPECIFIED_RTT, TCP_INITIAL_RTO_NO_SYN_RETRANSMISSIONS};
  DWORD returned = 0;
  WSAIoctl(ToSocket(socket), SIO_TCP_INITIAL_RTO, &rto, sizeof rto, nullptr, 0, &returned, nullptr, nullptr);
  return ::connect(ToSocket(socket), reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0;
}

bool Win32PlatformImpl::SocketSend(OsHandle socket, const char* data, std::uint32_t size, std::uint32_t& sent) {
  sent = 0;
  const int count = static_cast<int>(size > 0x40000000u ? 0x40000000u : size);
  const int result = ::send(ToSocket(socket), data, count, 0);
  if (result == SOCKET_ERROR) return false;
  sent = static_cast<std::uint32_t>(result);
  return true;
}

bool Win32PlatformImpl::SocketReceive(OsHandle socket, char* buffer, std::uint32_t size, std::uint32_t& received) {
  received = 0;
  const int result = ::recv(ToSocket(socket), buffer, static_cast<int>(size > 0x40000000u ? 0x40000000u : size), 0);
  if (result == SOCKET_ERROR) return false;
  received = static_cast<std::uint32_t>(result);
  return true;
}

void Win32PlatformImpl::SocketClose(OsHandle socket) { closesocket(ToSocket(socket)); }

bool Win32PlatformImpl::SocketLocalAddress(OsHandle socket, std::uint32_t& address, std::uint16_t& port) {
  sockaddr_in local;
  ZeroMemory(&local, sizeof local);
  int length = sizeof local;
  if (getsockname(ToSocket(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) return false;
  if (local.sin_family != AF_INET) {
    SetLastError(WSAEAFNOSUPPORT);
    return false;
  }
  address = ntohl(local.sin_addr.s_addr);
  port = ntohs(local.sin_port);
  return true;
}

namespace {
TIpAddress Mapped(DWORD networkOrder) {
  TIpAddress address{};
  address[10] = address[11] = 0xFF;
  std::memcpy(&address[12], &networkOrder, 4);
  return address;
}

TIpAddress Bytes(const UCHAR (&bytes)[16]) {
  TIpAddress address;
  std::memcpy(address.data(), bytes, 16);
  return address;
}

std::uint16_t TablePort(DWORD port) { return ntohs(static_cast<u_short>(port)); }

void TakeRows(const MIB_TCPTABLE_OWNER_PID& table, std::vector<TTcpConnection>& rows) {
  for (DWORD i = 0; i < table.dwNumEntries; ++i) {
    const MIB_TCPROW_OWNER_PID& row = table.table[i];
    rows.push_back({Mapped(row.dwLocalAddr), TablePort(row.dwLocalPort), Mapped(row.dwRemoteAddr),
                    TablePort(row.dwRemotePort), row.dwOwningPid});
  }
}

void TakeRows(const MIB_TCP6TABLE_OWNER_PID& table, std::vector<TTcpConnection>& rows) {
  for (DWORD i = 0; i < table.dwNumEntries; ++i) {
    const MIB_TCP6ROW_OWNER_PID& row = table.table[i];
    rows.push_back({Bytes(row.ucLocalAddr), TablePort(row.dwLocalPort), Bytes(row.ucRemoteAddr),
                    TablePort(row.dwRemotePort), row.dwOwningPid});
  }
}
}  // namespace

bool Win32PlatformImpl::TcpConnections(bool ipv6, std::vector<TTcpConnection>& rows) {
  rows.clear();
  const ExtendedTcpTableCall call = ExtendedTcpTable();
  if (call == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return false;
  }
  // DWORDs keep the rows aligned; one buffer per thread, since exchanges look side by side.
  thread_local std::vector<DWORD> table(1024);
  // The table may grow between the size query and the read.
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD size = static_cast<DWORD>(table.size() * sizeof(DWORD));
    const DWORD result =
        call(table.data(), &size, FALSE, ipv6 ? AF_INET6 : AF_INET, TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
    if (result == ERROR_INSUFFICIENT_BUFFER) {
      table.resize(size / sizeof(DWORD) + 64);
      continue;
    }
    if (result != NO_ERROR) {
      SetLastError(result);
      return false;
    }
    if (ipv6) {
      TakeRows(*reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(table.data()), rows);
    } else {
      TakeRows(*reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(table.data()), rows);
    }
    return true;
  }
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return false;
}
