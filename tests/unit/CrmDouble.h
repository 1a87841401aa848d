#pragma once
// A CRM application instance on the fake Windows: a main window in C:\Crm\ that
// answers handshakes, and an MCP endpoint whose answers each test scripts.

#include <deque>
#include <string>

#include "tests/unit/BridgeTest.h"

class CrmTest : public BridgeTest {
 protected:
  void SetUp() override;

  // Starts the instance; every handshake is answered with `answer` (the
  // current port and token when empty).
  void StartCrm(const std::string& answer = "");
  void StopCrm();
  // Next endpoint answers, in order; when none is queued the endpoint echoes a result.
  void Queue(std::uint32_t status, const std::string& body);
  void QueueFailure(HttpFailure failure, std::uint32_t code);
  // Runs the pass for one client line.
  void Send(const std::string& line);
  std::vector<std::string> OutputLines() const;

  int CrmPort = 8123;
  std::string CrmToken = "tok-1";
  std::deque<FakeHttpResponse> Answers;
};
