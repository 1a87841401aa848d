#pragma once
// One POST of a request line to the CRM application's MCP endpoint on
// 127.0.0.1, with the judgement whether a failed request may have reached it.
// It keeps no state and logs nothing, so exchanges may run on several threads.

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Platform.h"

struct TPostResult {
  bool Ok = false;  // a response with a valid HTTP status was read whole, whatever the status
  std::string Reply;
  std::int32_t StatusCode = 0;
  std::string ContentType;  // empty without the header
  // On failure: which step failed, and whether the CRM application may already
  // have received the request.
  std::string Message;
  bool MayHaveRun = false;
  bool Refused = false;  // the connection was refused: nothing reached the CRM application
};

// Asked on the new connection before its first byte: empty lets the request go
// out on it; a sentence keeps it back and becomes the failure's message.
using ConnectionCheck = std::function<std::string(OsHandle connection)>;

// Each try connects anew, and `check`, when given, is asked on that connection.
TPostResult PostToCrm(const std::string& line, std::uint16_t port, const std::string& token,
                      const ConnectionCheck& check = nullptr);

// "orvinmcp:" and the process id; identifies this bridge to the CRM application.
std::string ClientId();
