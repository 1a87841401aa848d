#pragma once
// Reading one HTTP/1.1 response from a connection that carries nothing else and
// that the bridge closes afterwards: interim (1xx) responses are skipped, the body
// is framed by chunks, by Content-Length or by the end of the connection, and a
// body that ends early or is framed wrongly is no response.

#include <cstdint>
#include <string>

#include "http/ExchangeDeadline.h"
#include "platform/Platform.h"

struct THttpResponse {
  std::uint32_t Status = 0;  // 0 until a status line was read
  std::string ContentType;   // empty without one
  std::string Body;          // on failure: the bytes that came, for the log
};

// True with the whole response, read before the deadline. False with
// `errorText`; the request was sent before, so it may have run in any case.
bool ReadHttpResponse(OsHandle socket, const TDeadline& deadline, THttpResponse& response, std::string& errorText);
