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

// What the looks showed so far; the loop's thread alone keeps it.
struct TOwnerLooks {
  bool OwnersUnnamed = false;
  bool NoRowNoted = false;
  bool NoTableNoted = false;
};

TOwnerLooks Looks;

TIpAddress Mapped(std::uint32_t address) {
  TIpAddress mapped{};
  mapped[10] = mapped[11] = 0xFF;
  for (int i = 0; i < 4; ++i) mapped[12 + i] = static_cast<std::uint8_t>(address >> (24 - 8 * i));
  return mapped;
}

// Another user's program usually cannot be opened at all.
std::string ProgramName(std::uint32_t processId) {
  bool stoppedByRights = false;
  const std::u16string path = ProgramPath(processId, stoppedByRights);
  if (path.empty()) return "nazwa nieznana";
  return WideToUtf8(path.substr(path.find_last_of(u"\\/") + 1));
}

TConnectionOwner Judged(std::uint32_t owner, std::uint16_t port, std::uint32_t crmProcessId) {
  TConnectionOwner result;
  if (owner == 0) {
    result.Look = OwnerLook::NoOwners;
  } else if (owner == crmProcessId || owner == kSystemProcess) {
    result.Look = OwnerLook::CrmApplication;
  } else {
    result.Look = OwnerLook::Foreign;
    result.Refusal = "Port " + ToDecimal(static_cast<int>(port)) + " należy do innego programu (" +
                     ProgramName(owner) + ", PID " + ToDecimal(owner) + ") niż Orvin - nie wysyłam do niego tokenu.";
  }
  return result;
}
}  // namespace

TConnectionOwner LookWhoOwns(OsHandle connection, std::uint16_t port, std::uint32_t crmProcessId) {
  TConnectionOwner result;
  result.Look = OwnerLook::NoTable;
  std::uint32_t ownAddress = 0;
  std::uint16_t ownPort = 0;
  if (!Os().SocketLocalAddress(connection, ownAddress, ownPort)) {
    result.Error = Os().LastError();
    return result;
  }
  // The server side: its local end is 127.0.0.1:port, its remote end ours. A
  // dual-stack listener's connections show in the IPv6 table.
  const TIpAddress loopback = Mapped(kLoopback), own = Mapped(ownAddress);
  bool unreadable = false, ownersNamed = false, anyRow = false;
  std::vector<TTcpConnection> rows;
  for (bool ipv6 : {false, true}) {
    if (!Os().TcpConnections(ipv6, rows)) {
      unreadable = true;
      result.Error = Os().LastError();
      continue;
    }
    for (const TTcpConnection& row : rows) {
      if (row.LocalAddress == loopback && row.LocalPort == port && row.RemoteAddress == own &&
          row.RemotePort == ownPort) {
        return Judged(row.ProcessId, port, crmProcessId);
      }
      anyRow = true;
      ownersNamed = ownersNamed || row.ProcessId != 0;
    }
  }
  if (unreadable) return result;
  result.Look = anyRow && !ownersNamed ? OwnerLook::NoOwners : OwnerLook::NoRow;
  return result;
}

bool OwnerLookWorthIt() { return !Looks.OwnersUnnamed; }

std::string OwnerLookNote(const TConnectionOwner& owner, std::uint16_t port) {
  const std::string sent = " - wysyłam żądania bez tego sprawdzenia.";
  switch (owner.Look) {
    case OwnerLook::NoOwners:
      if (Looks.OwnersUnnamed) return std::string();
      Looks.OwnersUnnamed = true;
      return "System nie podaje, które programy obsługują połączenia TCP, więc nie sprawdzam, czy port " +
             ToDecimal(static_cast<int>(port)) + " należy do Orvina" + sent;
    case OwnerLook::NoRow:
      if (Looks.NoRowNoted) return std::string();
      Looks.NoRowNoted = true;
      return "W tabeli połączeń TCP nie ma połączenia z portem " + ToDecimal(static_cast<int>(port)) +
             ", więc nie wiem, do kogo on należy" + sent;
    case OwnerLook::NoTable:
      if (Looks.NoTableNoted) return std::string();
      Looks.NoTableNoted = true;
      return "Nie udało się odczytać tabeli połączeń TCP (kod " + ToDecimal(owner.Error) +
             "), więc nie wiem, do kogo należy port " + ToDecimal(static_cast<int>(port)) + sent;
    default: return std::string();
  }
}

void ResetOwnerLooks() { Looks = TOwnerLooks(); }
