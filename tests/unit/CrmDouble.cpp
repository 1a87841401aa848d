#include "tests/unit/CrmDouble.h"

#include "common/JsonText.h"
#include "core/RequestLoop.h"
#include "link/ProxyWindow.h"

void CrmTest::SetUp() {
  BridgeTest::SetUp();
  SetArgs({"-dir", "C:\\Crm"});
  LinkState.ProxyWindow = CreateProxyWindow();
  ASSERT_NE(LinkState.ProxyWindow, 0u);
  Fake.Endpoint = [this](const FakeHttpRequest& request) {
    if (!Answers.empty()) {
      FakeHttpResponse next = Answers.front();
      Answers.pop_front();
      return next;
    }
    FakeHttpResponse echo;
    echo.Body = "{\"jsonrpc\":\"2.0\",\"id\":" + JsonRawValue(request.Body, "id") + ",\"result\":{}}";
    return echo;
  };
}

void CrmTest::StartCrm(const std::string& answer) {
  Fake.AddCrmWindow("C:\\Crm\\Orvin.exe").OnCopyData = [this, answer](const std::string&) {
    Fake.AnswerNow(answer.empty() ? "OK\r\n" + std::to_string(CrmPort) + "\r\n" + CrmToken + "\r\n" : answer);
    return true;
  };
}

void CrmTest::StopCrm() { Fake.Windows.clear(); }

void CrmTest::Queue(std::uint32_t status, const std::string& body) {
  FakeHttpResponse response;
  response.Status = status;
  response.Body = body;
  Answers.push_back(response);
}

void CrmTest::QueueFailure(HttpFailure failure, std::uint32_t code) {
  if (failure == HttpFailure::Connect) {  // decided before any request reaches the endpoint
    Fake.RefusedConnects.push_back(code);
    return;
  }
  FakeHttpResponse response;
  response.Failure = failure;
  response.ErrorCode = code;
  response.ReadFailsAfter = 0;
  Answers.push_back(response);
}

void CrmTest::Send(const std::string& line) {
  HandleClientLine(line);
  RunLoopUntilSettled();
}

std::vector<std::string> CrmTest::OutputLines() const {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = Fake.Output.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(Fake.Output.substr(start, end - start));
  }
  return lines;
}
