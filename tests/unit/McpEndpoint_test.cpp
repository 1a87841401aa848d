#include "http/McpEndpoint.h"

#include "common/AICommonUtf8.h"
#include "tests/unit/BridgeTest.h"

class McpEndpointTest : public BridgeTest {
 protected:
  void SetUp() override {
    BridgeTest::SetUp();
    LinkState.Port = 8123;
    LinkState.Token = "tok";
  }

  void Respond(std::uint32_t status, const std::string& body) {
    Fake.Endpoint = [status, body](const FakeHttpRequest&) {
      FakeHttpResponse response;
      response.Status = status;
      response.Body = body;
      return response;
    };
  }

  void Fail(HttpFailure failure, std::uint32_t code, std::size_t after = 0) {
    Fake.Endpoint = [=](const FakeHttpRequest&) {
      FakeHttpResponse response;
      response.Failure = failure;
      response.ErrorCode = code;
      response.Body = std::string(10, 'x');
      response.ReadFailsAfter = after;
      return response;
    };
  }

  bool Post(const std::string& line = "{\"id\":1}") {
    return PostToCrm(line, Reply, Status, Error, MayHaveRun, ContentType);
  }

  std::string Reply = "stale", Error = "stale", ContentType = "stale";
  std::int32_t Status = -1;
  bool MayHaveRun = true;
};

TEST_F(McpEndpointTest, RequestAsTheCrmApplicationReceivesIt) {
  Respond(200, "{}");
  const std::string line = "{\"id\":1,\"params\":{\"q\":\"\xc5\x82\"}}";
  ASSERT_TRUE(Post(line));
  ASSERT_EQ(Fake.HttpRequests.size(), 1u);
  const FakeHttpRequest& request = Fake.HttpRequests[0];
  EXPECT_EQ(request.Agent, "OrvinMCP/1.0");
  EXPECT_EQ(request.Port, 8123);
  EXPECT_EQ(request.Verb, "POST");
  EXPECT_EQ(request.Object, "/mcp");
  EXPECT_EQ(request.Version, "HTTP/1.1");
  EXPECT_EQ(request.Headers,
            "Content-Type: application/json\r\nAccept: application/json\r\nAuthorization: Bearer tok\r\n"
            "X-ORVIN-CLIENT: orvinmcp:812\r\nConnection: close\r\n");
  EXPECT_EQ(request.Body, line);
  // Never a kept connection (the stack could send the POST again on its own), no
  // redirects, cookies or automatic logon.
  EXPECT_EQ(request.Options.at(63), 0xFu);
  EXPECT_EQ(request.Options.at(77), 2u);
  EXPECT_EQ(request.Options.at(7), 600000u);
  EXPECT_EQ(request.Options.at(91), 600000u);
  EXPECT_EQ(ContentType, "application/json");
  EXPECT_EQ(Fake.OpenHttpHandles, 0);
}

TEST_F(McpEndpointTest, EveryStatusIsAReplyWithItsBody) {
  Respond(202, "");
  EXPECT_TRUE(Post());
  EXPECT_EQ(Status, 202);
  EXPECT_EQ(Reply, "");
  EXPECT_EQ(Error, "");
  EXPECT_FALSE(MayHaveRun);
  Respond(500, "{\"error\":{}}");
  EXPECT_TRUE(Post());
  EXPECT_EQ(Status, 500);
  EXPECT_EQ(Reply, "{\"error\":{}}");
  Respond(401, "");
  EXPECT_TRUE(Post());
  EXPECT_EQ(Status, 401);
}

TEST_F(McpEndpointTest, BodyIsReadWholeInAnySplit) {
  std::string body;
  for (int i = 0; i < 10000; ++i) body += static_cast<char>(i % 251);  // CR, LF and zero bytes among them
  Respond(200, body);
  ASSERT_TRUE(Post());
  EXPECT_EQ(Reply, body);
  EXPECT_EQ(Fake.LargestRead, 65536u);
  Fake.ReadChunkLimit = 7;
  ASSERT_TRUE(Post());
  EXPECT_EQ(Reply, body);
}

TEST_F(McpEndpointTest, NobodyListening) {
  Fail(HttpFailure::Send, 12029);
  EXPECT_FALSE(Post());
  EXPECT_EQ(Error, Ansi("Wysłanie żądania nie powiodło się (kod 12029)."));
  EXPECT_FALSE(MayHaveRun);
  EXPECT_EQ(Status, 0);
  EXPECT_EQ(Fake.OpenHttpHandles, 0);
}

TEST_F(McpEndpointTest, TimeOutAfterSendingMayHaveRun) {
  Fail(HttpFailure::Send, 12002);
  EXPECT_FALSE(Post());
  EXPECT_EQ(Error, Ansi("Wysłanie żądania nie powiodło się (kod 12002)."));
  EXPECT_TRUE(MayHaveRun);
  // Once sent, even a code that elsewhere means "never connected" may hide a run request.
  Fail(HttpFailure::Receive, 12029);
  EXPECT_FALSE(Post());
  EXPECT_EQ(Error, Ansi("Wysłanie żądania nie powiodło się (kod 12029)."));
  EXPECT_TRUE(MayHaveRun);
  EXPECT_EQ(Fake.OpenHttpHandles, 0);
}

TEST_F(McpEndpointTest, ConnectionClosedWithoutAnAnswerMayHaveRun) {
  Respond(0, "");
  EXPECT_FALSE(Post());
  EXPECT_TRUE(MayHaveRun);
  EXPECT_EQ(Status, 0);
  EXPECT_EQ(Error, Ansi("Orvin zamknął połączenie bez odpowiedzi HTTP (status 0)."));
  Fake.Endpoint = [](const FakeHttpRequest&) {
    FakeHttpResponse response;
    response.StatusAvailable = false;
    return response;
  };
  EXPECT_FALSE(Post());
  EXPECT_TRUE(MayHaveRun);
  EXPECT_EQ(Fake.OpenHttpHandles, 0);
}

TEST_F(McpEndpointTest, BrokenBodyMayHaveRunAndKeepsWhatArrived) {
  Fail(HttpFailure::Read, 12030, 4);
  EXPECT_FALSE(Post());
  EXPECT_TRUE(MayHaveRun);
  EXPECT_EQ(Status, 200);
  EXPECT_EQ(Reply, "xxxx");
  EXPECT_EQ(Error, Ansi("Błąd odczytu odpowiedzi (kod 12030)."));
  EXPECT_EQ(Fake.OpenHttpHandles, 0);
}

TEST_F(McpEndpointTest, FailuresBeforeSendingCannotHaveRun) {
  Fake.PreSendFailure.Failure = HttpFailure::Open;
  Fake.PreSendFailure.ErrorCode = 8;
  EXPECT_FALSE(Post());
  EXPECT_EQ(Error, Ansi("WinHttpOpen nie powiódł się (kod 8)."));
  EXPECT_FALSE(MayHaveRun);
  Fake.PreSendFailure.Failure = HttpFailure::Connect;
  Fake.PreSendFailure.ErrorCode = 12007;
  EXPECT_FALSE(Post());
  EXPECT_EQ(Error, Ansi("Nie udało się połączyć z 127.0.0.1:8123 (kod 12007)."));
  EXPECT_FALSE(MayHaveRun);
  Fake.PreSendFailure.Failure = HttpFailure::OpenRequest;
  Fake.PreSendFailure.ErrorCode = 12005;
  EXPECT_FALSE(Post());
  EXPECT_EQ(Error, Ansi("WinHttpOpenRequest nie powiódł się (kod 12005)."));
  EXPECT_FALSE(MayHaveRun);
  Fake.PreSendFailure.Failure = HttpFailure::None;
  Fake.RefusedOption = 63;  // keep-alive cannot be switched off: not sent at all
  EXPECT_FALSE(Post());
  EXPECT_EQ(Error, Ansi("Nie udało się wyłączyć trwałych połączeń HTTP (kod 12018)."));
  EXPECT_FALSE(MayHaveRun);
  EXPECT_TRUE(Fake.HttpRequests.empty());
  EXPECT_EQ(Fake.OpenHttpHandles, 0);
}

TEST_F(McpEndpointTest, ClientIdStaysTheSameForTheProcess) {
  Respond(200, "{}");
  Post();
  Post();
  EXPECT_EQ(Fake.HttpRequests[0].Headers, Fake.HttpRequests[1].Headers);
  EXPECT_EQ(ClientId(), "orvinmcp:812");
}

TEST_F(McpEndpointTest, BodyCutShortOfItsDeclaredLengthMayHaveRun) {
  Fake.Endpoint = [](const FakeHttpRequest&) {
    FakeHttpResponse response;
    response.Body = "{\"jsonrpc\":";
    response.DeclaredLength = 40;
    return response;
  };
  EXPECT_FALSE(Post());
  EXPECT_TRUE(MayHaveRun);
  EXPECT_EQ(Error, Ansi("Odpowiedź Orvina urwała się (11 z 40 B)."));
  Fake.Endpoint = [](const FakeHttpRequest&) {
    FakeHttpResponse response;
    response.Body = "{}";
    response.DeclaresLength = false;  // delimited by the end of the connection
    return response;
  };
  EXPECT_TRUE(Post());
  EXPECT_EQ(Reply, "{}");
}
