#include "http/McpEndpoint.h"

#include "common/Encodings.h"
#include "common/Text.h"
#include "http/ExchangeDeadline.h"
#include "http/HttpResponse.h"
#include "platform/Platform.h"

namespace {
// Connecting, sending and receiving together: the "10 min" the client is told about.
constexpr std::uint32_t kExchangeLimit = 600000;
constexpr std::uint32_t kConnectionRefused = 10061;  // WSAECONNREFUSED

// One connection per request, closed after the answer: nothing here ever sends
// a request a second time, whatever the endpoint does with the connection.
struct TConnection {
  OsHandle Socket = kInvalidHandle;
  ~TConnection() {
    if (Socket != kInvalidHandle) Os().SocketClose(Socket);
  }
};

std::string RequestHead(std::uint16_t port, const std::string& token, std::size_t bodyLength) {
  return "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1:" + ToDecimal(static_cast<int>(port)) +
         "\r\nUser-Agent: OrvinMCP/1.0\r\nContent-Length: " + ToDecimal(static_cast<std::uint64_t>(bodyLength)) +
         "\r\nContent-Type: application/json\r\nAccept: application/json\r\nAuthorization: Bearer " + token +
         "\r\nX-ORVIN-CLIENT: " + ClientId() + "\r\nConnection: close\r\n\r\n";
}

std::string Code(std::uint32_t code) { return " (kod " + ToDecimal(code) + ")."; }

bool SendAll(const TDeadline& deadline, OsHandle socket, const std::string& data, std::uint32_t& error) {
  std::size_t done = 0;
  while (done < data.size()) {
    std::uint32_t sent = 0;
    const std::size_t rest = data.size() - done;
    if (!SendBefore(deadline, socket, data.data() + done,
                    static_cast<std::uint32_t>(rest > 0x40000000u ? 0x40000000u : rest), sent, error)) {
      return false;
    }
    done += sent;
  }
  return true;
}
}  // namespace

std::string ClientId() { return "orvinmcp:" + ToDecimal(Os().CurrentProcessId()); }

TPostResult PostToCrm(const std::string& line, std::uint16_t port, const std::string& token,
                      const ConnectionCheck& check) {
  TPostResult result;
  const TDeadline deadline = DeadlineFromNow(kExchangeLimit);
  if (!Os().SocketStartup()) {
    result.Message = "WSAStartup nie powiódł się" + Code(Os().LastError());
    return result;
  }
  TConnection connection;
  connection.Socket = Os().SocketOpen();
  if (connection.Socket == kInvalidHandle) {
    result.Message = "Nie udało się utworzyć gniazda" + Code(Os().LastError());
    return result;
  }
  if (!Os().SocketConnect(connection.Socket, "127.0.0.1", port)) {
    // Refused or unreachable: the request cannot have reached the CRM application.
    const std::uint32_t code = Os().LastError();
    result.Refused = code == kConnectionRefused;
    result.Message = "Nie udało się połączyć z 127.0.0.1:" + ToDecimal(static_cast<int>(port)) + Code(code);
    return result;
  }
  // Nothing went out yet: a connection that is kept back cannot have run anything.
  if (check) {
    result.Message = check(connection.Socket);
    if (!result.Message.empty()) return result;
  }
  // From here on every failure may come after the CRM application took the request.
  std::uint32_t error = 0;
  if (!SendAll(deadline, connection.Socket, RequestHead(port, token, line.size()), error) ||
      !SendAll(deadline, connection.Socket, line, error)) {
    result.Message = error == kTimedOut ? "Orvin nie odebrał całego żądania w ciągu " +
                                              ToDecimal(kExchangeLimit / 60000) + " min" + Code(error)
                                        : "Wysłanie żądania nie powiodło się" + Code(error);
    result.MayHaveRun = true;
    return result;
  }
  THttpResponse response;
  const bool whole = ReadHttpResponse(connection.Socket, deadline, response, result.Message);
  result.StatusCode = static_cast<std::int32_t>(response.Status);
  result.ContentType.swap(response.ContentType);
  result.Reply.swap(response.Body);
  result.Ok = whole;
  result.MayHaveRun = !whole;
  return result;
}
