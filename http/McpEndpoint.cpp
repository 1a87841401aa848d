#include "http/McpEndpoint.h"

#include "common/AICommon.h"
#include "common/AICommonUtf8.h"
#include "core/LinkState.h"
#include "platform/Platform.h"

namespace {
constexpr std::uint32_t kInternetOptionReceiveTimeout = 6;
constexpr std::uint32_t kInternetOptionDataReceiveTimeout = 8;
constexpr std::uint32_t kReceiveTimeout = 600000;  // the "10 min" the client is told about
constexpr std::uint32_t kReadChunk = 4096;
constexpr std::uint32_t kCannotConnect = 12029;  // ERROR_INTERNET_CANNOT_CONNECT

// Never from a cache, no cookies, no automatic authentication or redirects, and no
// persistent connection: WinINet silently sends a POST again when a reused
// connection turns out to be closed, and a request that may have run must never
// reach the CRM application twice.
constexpr std::uint32_t kRequestFlags = 0x80000000u     // INTERNET_FLAG_RELOAD
                                        | 0x04000000u   // INTERNET_FLAG_NO_CACHE_WRITE
                                        | 0x00200000u   // INTERNET_FLAG_NO_AUTO_REDIRECT
                                        | 0x00080000u   // INTERNET_FLAG_NO_COOKIES
                                        | 0x00040000u;  // INTERNET_FLAG_NO_AUTH

struct RequestHandles {
  OsHandle Root = kNullHandle;
  OsHandle Connection = kNullHandle;
  OsHandle Request = kNullHandle;

  ~RequestHandles() {
    if (Request != kNullHandle) Os().InternetCloseHandle(Request);
    if (Connection != kNullHandle) Os().InternetCloseHandle(Connection);
    if (Root != kNullHandle) Os().InternetCloseHandle(Root);
  }
};

void SetReceiveTimeouts(OsHandle handle) {
  Os().InternetSetOption(handle, kInternetOptionReceiveTimeout, kReceiveTimeout);
  Os().InternetSetOption(handle, kInternetOptionDataReceiveTimeout, kReceiveTimeout);
}

std::string HeaderBlock() {
  return "Content-Type: application/json\r\nAccept: application/json\r\nAuthorization: Bearer " + LinkState.Token +
         "\r\nX-ORVIN-CLIENT: " + ClientId() + "\r\nConnection: close\r\n";
}

std::string Code(std::uint32_t code) { return " (kod " + ToDecimal(code) + ")."; }

bool IsHttpStatus(std::uint32_t status) { return status >= 100 && status <= 599; }
}  // namespace

const std::string& ClientId() {
  static std::string id;
  if (id.empty()) id = "orvinmcp:" + ToDecimal(Os().CurrentProcessId());
  return id;
}

bool PostToCrm(const std::string& line, std::string& reply, std::int32_t& statusCode, std::string& errorText,
               bool& mayHaveRun) {
  reply.clear();
  statusCode = 0;
  errorText.clear();
  mayHaveRun = false;

  RequestHandles handles;
  handles.Root = Os().InternetOpen("OrvinMCP/1.0");
  if (handles.Root == kNullHandle) {
    errorText = Ansi("InternetOpen nie powiódł się") + Code(Os().LastError());
    return false;
  }
  SetReceiveTimeouts(handles.Root);
  handles.Connection = Os().InternetConnect(handles.Root, "127.0.0.1", LinkState.Port);
  if (handles.Connection == kNullHandle) {
    errorText = Ansi("Nie udało się połączyć z 127.0.0.1:") + ToDecimal(static_cast<int>(LinkState.Port)) +
                Code(Os().LastError());
    return false;
  }
  handles.Request = Os().HttpOpenRequest(handles.Connection, "POST", "/mcp", "HTTP/1.1", kRequestFlags);
  if (handles.Request == kNullHandle) {
    errorText = Ansi("HttpOpenRequest nie powiódł się") + Code(Os().LastError());
    return false;
  }
  SetReceiveTimeouts(handles.Request);

  if (!Os().HttpSendRequest(handles.Request, HeaderBlock(), line)) {
    const std::uint32_t code = Os().LastError();
    errorText = Ansi("Wysłanie żądania nie powiodło się") + Code(code);
    mayHaveRun = code != kCannotConnect;
    return false;
  }
  std::uint32_t status = 0;
  if (!Os().HttpQueryStatusCode(handles.Request, status) || !IsHttpStatus(status)) {
    // The stack reports success when the server closed the connection after
    // taking the request; there is no answer to pass on, and it may have run.
    errorText = Ansi("Orvin zamknął połączenie bez odpowiedzi HTTP (status ") + ToDecimal(status) + ").";
    mayHaveRun = true;
    return false;
  }
  statusCode = static_cast<std::int32_t>(status);

  char buffer[kReadChunk];
  for (;;) {
    std::uint32_t read = 0;
    if (!Os().InternetReadFile(handles.Request, buffer, kReadChunk, read)) {
      errorText = Ansi("Błąd odczytu odpowiedzi") + Code(Os().LastError());
      mayHaveRun = true;
      return false;
    }
    if (read == 0) break;
    reply.append(buffer, read);
  }
  // A connection closed in the middle of the body ends the reads as if the body
  // were complete; only the declared length tells a cut reply from a whole one.
  std::uint64_t declared = 0;
  if (Os().HttpQueryContentLength(handles.Request, declared) && declared != reply.size()) {
    errorText = Ansi("Odpowiedź Orvina urwała się (") + ToDecimal(static_cast<std::uint64_t>(reply.size())) + " z " +
                ToDecimal(declared) + " B).";
    mayHaveRun = true;
    return false;
  }
  return true;
}
