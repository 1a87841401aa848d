#pragma once
// One POST of a request line to the CRM application's MCP endpoint on
// 127.0.0.1, with the judgement whether a failed request may have reached it.
// It keeps no state and logs nothing, so exchanges may run on several threads.

#include <cstdint>
#include <string>

// True when a response with a valid HTTP status was read whole, whatever the
// status; `contentType` is its Content-Type header (empty without one). On
// failure `errorText` says which step failed and `mayHaveRun` whether the CRM
// application may already have received the request.
bool PostToCrm(const std::string& line, std::int32_t port, const std::string& token, std::string& reply,
               std::int32_t& statusCode, std::string& errorText, bool& mayHaveRun, std::string& contentType);

// "orvinmcp:" and the process id; identifies this bridge to the CRM application.
std::string ClientId();
