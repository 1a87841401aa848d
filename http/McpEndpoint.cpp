#include "http/McpEndpoint.h"

#include <algorithm>

#include "common/AICommon.h"
#include "common/AICommonUtf8.h"
#include "core/LinkState.h"
#include "platform/Platform.h"

namespace {
constexpr std::uint32_t kOptionReceiveTimeout = 7;           // WINHTTP_OPTION_RECEIVE_TIMEOUT
constexpr std::uint32_t kOptionReceiveResponseTimeout = 91;  // WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT
constexpr std::uint32_t kOptionDisableFeature = 63;          // WINHTTP_OPTION_DISABLE_FEATURE
constexpr std::uint32_t kOptionAutologonPolicy = 77;         // WINHTTP_OPTION_AUTOLOGON_POLICY
constexpr std::uint32_t kAutologonNever = 2;                 // WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH
constexpr std::uint32_t kReceiveTimeout = 600000;            // the "10 min" the client is told about
constexpr std::uint32_t kReadChunk = 64 * 1024;
constexpr std::uint64_t kLargestReservation = 1024ull * 1024 * 1024;  // a declared length is only a claim
constexpr std::uint32_t kCannotConnect = 12029;                        // ERROR_WINHTTP_CANNOT_CONNECT

// A new connection for every request, closed after it: a stack that reuses a
// connection sends a POST again by itself when the endpoint closes it after
// reading, and a request that may have run must never reach the CRM twice.
// No redirects, no cookies, no automatic authentication either.
constexpr std::uint32_t kDisabledFeatures = 0x1u    // WINHTTP_DISABLE_COOKIES
                                            | 0x2u  // WINHTTP_DISABLE_REDIRECTS
                                            | 0x4u  // WINHTTP_DISABLE_AUTHENTICATION
                                            | 0x8u;  // WINHTTP_DISABLE_KEEP_ALIVE

struct RequestHandles {
  OsHandle Session = kNullHandle;
  OsHandle Connection = kNullHandle;
  OsHandle Request = kNullHandle;

  ~RequestHandles() {
    if (Request != kNullHandle) Os().WinHttpCloseHandle(Request);
    if (Connection != kNullHandle) Os().WinHttpCloseHandle(Connection);
    if (Session != kNullHandle) Os().WinHttpCloseHandle(Session);
  }
};

std::string HeaderBlock() {
  return "Content-Type: application/json\r\nAccept: application/json\r\nAuthorization: Bearer " + LinkState.Token +
         "\r\nX-ORVIN-CLIENT: " + ClientId() + "\r\nConnection: close\r\n";
}

std::string Code(std::uint32_t code) { return " (kod " + ToDecimal(code) + ")."; }

bool IsHttpStatus(std::uint32_t status) { return status >= 100 && status <= 599; }

// Reads the body straight into `reply`, in large chunks; false with the failure
// code when a read fails (`reply` then holds what arrived before).
bool ReadBody(OsHandle request, std::string& reply, std::uint32_t& failure) {
  std::uint64_t declared = 0;
  if (Os().WinHttpQueryContentLength(request, declared)) {
    // Room for the last, empty read too, so that a whole body is never moved.
    reply.reserve(static_cast<std::size_t>(std::min(declared, kLargestReservation)) + kReadChunk);
  }
  for (;;) {
    const std::size_t size = reply.size();
    if (reply.capacity() < size + kReadChunk) reply.reserve(std::max(reply.capacity() * 3 / 2, size + kReadChunk));
    reply.resize(size + kReadChunk);
    std::uint32_t read = 0;
    const bool ok = Os().WinHttpReadData(request, &reply[size], kReadChunk, read);
    reply.resize(size + (ok ? read : 0));
    if (!ok) {
      failure = Os().LastError();
      return false;
    }
    if (read == 0) return true;
  }
}
}  // namespace

const std::string& ClientId() {
  static std::string id;
  if (id.empty()) id = "orvinmcp:" + ToDecimal(Os().CurrentProcessId());
  return id;
}

bool PostToCrm(const std::string& line, std::string& reply, std::int32_t& statusCode, std::string& errorText,
               bool& mayHaveRun, std::string& contentType) {
  reply.clear();
  reply.shrink_to_fit();  // a large earlier reply is not kept while this one arrives
  statusCode = 0;
  errorText.clear();
  mayHaveRun = false;
  contentType.clear();

  RequestHandles handles;
  handles.Session = Os().WinHttpOpen("OrvinMCP/1.0");
  if (handles.Session == kNullHandle) {
    errorText = Ansi("WinHttpOpen nie powiódł się") + Code(Os().LastError());
    return false;
  }
  handles.Connection = Os().WinHttpConnect(handles.Session, "127.0.0.1", LinkState.Port);
  if (handles.Connection == kNullHandle) {
    errorText = Ansi("Nie udało się połączyć z 127.0.0.1:") + ToDecimal(static_cast<int>(LinkState.Port)) +
                Code(Os().LastError());
    return false;
  }
  handles.Request = Os().WinHttpOpenRequest(handles.Connection, "POST", "/mcp", "HTTP/1.1");
  if (handles.Request == kNullHandle) {
    errorText = Ansi("WinHttpOpenRequest nie powiódł się") + Code(Os().LastError());
    return false;
  }
  if (!Os().WinHttpSetOption(handles.Request, kOptionDisableFeature, kDisabledFeatures)) {
    // Without it the stack could send the request twice: better not at all.
    errorText = Ansi("Nie udało się wyłączyć trwałych połączeń HTTP") + Code(Os().LastError());
    return false;
  }
  Os().WinHttpSetOption(handles.Request, kOptionAutologonPolicy, kAutologonNever);
  Os().WinHttpSetOption(handles.Request, kOptionReceiveTimeout, kReceiveTimeout);
  Os().WinHttpSetOption(handles.Request, kOptionReceiveResponseTimeout, kReceiveTimeout);

  if (!Os().WinHttpSendRequest(handles.Request, HeaderBlock(), line)) {
    // Only a connection that could not be made at all leaves the request unsent.
    const std::uint32_t code = Os().LastError();
    errorText = Ansi("Wysłanie żądania nie powiodło się") + Code(code);
    mayHaveRun = code != kCannotConnect;
    return false;
  }
  if (!Os().WinHttpReceiveResponse(handles.Request)) {
    errorText = Ansi("Wysłanie żądania nie powiodło się") + Code(Os().LastError());
    mayHaveRun = true;
    return false;
  }
  std::uint32_t status = 0;
  if (!Os().WinHttpQueryStatusCode(handles.Request, status) || !IsHttpStatus(status)) {
    errorText = Ansi("Orvin zamknął połączenie bez odpowiedzi HTTP (status ") + ToDecimal(status) + ").";
    mayHaveRun = true;
    return false;
  }
  statusCode = static_cast<std::int32_t>(status);
  contentType = Os().WinHttpQueryContentType(handles.Request);

  std::uint32_t failure = 0;
  if (!ReadBody(handles.Request, reply, failure)) {
    errorText = Ansi("Błąd odczytu odpowiedzi") + Code(failure);
    mayHaveRun = true;
    return false;
  }
  // A connection closed in the middle of the body can end the reads as if the
  // body were complete; the declared length tells a cut reply from a whole one.
  std::uint64_t declared = 0;
  if (Os().WinHttpQueryContentLength(handles.Request, declared) && declared != reply.size()) {
    errorText = Ansi("Odpowiedź Orvina urwała się (") + ToDecimal(static_cast<std::uint64_t>(reply.size())) + " z " +
                ToDecimal(declared) + " B).";
    mayHaveRun = true;
    return false;
  }
  return true;
}
