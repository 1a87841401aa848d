#pragma once
// JSON-RPC over the /mcp endpoint: reads one message, answers it.

#include <string>

#include "Json.h"

struct TMcpMessage {
  bool Parsed = false;
  std::string ParseError;
  TJsonValue Root;
  std::string Id;  // raw text of "id", empty when absent (a notification)
  std::string Method;
};

TMcpMessage ReadMcpMessage(const std::string& body);

struct TMcpReply {
  int HttpStatus = 200;
  std::string Body;  // empty with 202 for notifications
};

struct TMcpSwitches {
  bool TestTools = false;
  bool ToolsListError = false;
};

TMcpReply AnswerMcpMessage(const TMcpMessage& message, const TMcpSwitches& switches);
