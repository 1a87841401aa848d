#include "http/McpEndpoint.h"

#include "common/Encodings.h"
#include "tests/unit/BridgeTest.h"

class McpEndpointTest : public BridgeTest {
 protected:
  void Respond(std::uint32_t status, const std::string& body) {
    FakeHttpResponse response;
    response.Status = status;
    response.Body = body;
    Respond(response);
  }

  void Respond(const FakeHttpResponse& response) {
    Fake.Endpoint = [response](const FakeHttpRequest&) { return response; };
  }

  void RespondRaw(const std::string& bytes) {
    FakeHttpResponse response;
    response.Raw = bytes;
    Respond(response);
  }

  void Fail(HttpFailure failure, std::uint32_t code, std::size_t after = 0) {
    FakeHttpResponse response;
    response.Failure = failure;
    response.ErrorCode = code;
    response.Body = std::string(10, 'x');
    response.ReadFailsAfter = after;
    Respond(response);
  }

  bool Post(const std::string& line = "{\"id\":1}") {
    TPostResult result = PostToCrm(line, 8123, "tok");
    Reply = result.Reply;
    Status = result.StatusCode;
    Error = result.Message;
    MayHaveRun = result.MayHaveRun;
    ContentType = result.ContentType;
    return result.Ok;
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
  EXPECT_EQ(request.Port, 8123);
  EXPECT_EQ(request.Verb, "POST");
  EXPECT_EQ(request.Object, "/mcp");
  EXPECT_EQ(request.Version, "HTTP/1.1");
  EXPECT_EQ(request.Headers,
            "Host: 127.0.0.1:8123\r\nUser-Agent: OrvinMCP/1.0\r\nContent-Length: 28\r\n"
            "Content-Type: application/json\r\nAccept: application/json\r\nAuthorization: Bearer tok\r\n"
            "X-ORVIN-CLIENT: orvinmcp:812\r\nConnection: close\r\n");
  EXPECT_EQ(request.Body, line);
  EXPECT_EQ(ContentType, "application/json");
  EXPECT_EQ(Fake.OpenSockets, 0);  // one connection per request, closed after it
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

TEST_F(McpEndpointTest, BodyIsReadWholeInAnySplitAndAnyFraming) {
  std::string body;
  for (int i = 0; i < 200000; ++i) body += static_cast<char>(i % 251);  // CR, LF and zero bytes among them
  FakeHttpResponse response;
  response.Body = body;
  Respond(response);
  ASSERT_TRUE(Post());
  EXPECT_EQ(Reply, body);
  EXPECT_EQ(Fake.LargestRead, 65536u);
  response.Chunked = true;
  Respond(response);
  Fake.ReadChunkLimit = 7;
  ASSERT_TRUE(Post());
  EXPECT_EQ(Reply, body);
  response.Chunked = false;
  response.DeclaresLength = false;  // delimited by the end of the connection
  Respond(response);
  ASSERT_TRUE(Post());
  EXPECT_EQ(Reply, body);
  // Interim responses come before the final one; trailers after the last chunk.
  RespondRaw("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\nHTTP/1.1 200 OK\r\n"
             "transfer-encoding: gzip, chunked\r\n\r\n2;x=1\r\n{}\r\n0\r\nX-Trailer: 1\r\n\r\n");
  ASSERT_TRUE(Post());
  EXPECT_EQ(Status, 200);
  EXPECT_EQ(Reply, "{}");
}

TEST_F(McpEndpointTest, NobodyListeningCannotHaveRun) {
  Fake.RefusedConnects.push_back(10061);
  EXPECT_FALSE(Post());
  EXPECT_EQ(Error, "Nie udało się połączyć z 127.0.0.1:8123 (kod 10061).");
  EXPECT_FALSE(MayHaveRun);
  EXPECT_EQ(Status, 0);
  EXPECT_TRUE(Fake.HttpRequests.empty());
  EXPECT_EQ(Fake.OpenSockets, 0);
}

TEST_F(McpEndpointTest, EveryFailureAfterConnectingMayHaveRun) {
  Fail(HttpFailure::Send, 10054);
  EXPECT_FALSE(Post());
  EXPECT_EQ(Error, "Wysłanie żądania nie powiodło się (kod 10054).");
  EXPECT_TRUE(MayHaveRun);
  Fail(HttpFailure::Read, 10054, 4);
  EXPECT_FALSE(Post());
  EXPECT_TRUE(MayHaveRun);
  EXPECT_EQ(Status, 200);
  EXPECT_EQ(Reply, "xxxx");  // what arrived, for the log
  EXPECT_EQ(Error, "Odpowiedź Orvina urwała się (4 z 10 B, kod 10054).");
  FakeHttpResponse silent;
  silent.StatusAvailable = false;
  Respond(silent);
  EXPECT_FALSE(Post());
  EXPECT_TRUE(MayHaveRun);
  EXPECT_EQ(Error, "Orvin zamknął połączenie bez odpowiedzi HTTP (status 0).");
  EXPECT_EQ(Fake.OpenSockets, 0);
}

// Connecting, sending and receiving share 10 minutes, on the platform's tick.
TEST_F(McpEndpointTest, TheWholeExchangeHasTenMinutes) {
  const struct {
    std::uint32_t Delay, ByteInterval, Taken;  // Taken: request bytes the endpoint reads
    std::string Error;                         // empty: the answer counts
  } rows[] = {
      {600000, 0, 1000, ""},
      {600001, 0, 1000, "Odpowiedź Orvina nie nadeszła w ciągu 10 min (kod 10060)."},
      {0, 30000, 1000, "Odpowiedź Orvina nie nadeszła w całości w ciągu 10 min (kod 10060)."},
      {0, 0, 100, "Orvin nie odebrał całego żądania w ciągu 10 min (kod 10060)."},
  };
  for (const auto& row : rows) {
    FakeHttpResponse response;
    response.Delay = row.Delay;
    response.ByteInterval = row.ByteInterval;
    Respond(response);
    Fake.EndpointTakesAtMost = row.Taken;
    const std::uint32_t start = Fake.Tick;
    EXPECT_EQ(Post(), row.Error.empty());
    EXPECT_EQ(MayHaveRun, !row.Error.empty());
    EXPECT_EQ(Error, row.Error);
    EXPECT_EQ(Fake.Tick - start, 600000u) << row.Error;
  }
}

TEST_F(McpEndpointTest, BodiesThatEndEarlyOrAreFramedWronglyAreNoResponse) {
  const struct {
    std::string Raw;
    std::string Error;
  } rows[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 40\r\n\r\n{\"jsonrpc\":", "Odpowiedź Orvina urwała się (11 z 40 B)."},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n40\r\n{\"jsonrpc\":", "Odpowiedź Orvina urwała się (11 B)."},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n{\"jsonrpc\":1}\r\n0\r\n\r\n",
       "Odpowiedź Orvina ma błędnie podzielone ciało (chunked, po 5 B)."},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n-5\r\n{}\r\n0\r\n\r\n",
       "Odpowiedź Orvina ma błędnie podzielone ciało (chunked, po 0 B)."},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10000000000000000\r\n{}\r\n0\r\n\r\n",
       "Odpowiedź Orvina ma błędnie podzielone ciało (chunked, po 0 B)."},
      {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n{}", "Orvin odesłał coś, co nie jest odpowiedzią HTTP."},
      {"HTPT/1.1 2OO OK\r\n\r\n{}", "Orvin odesłał coś, co nie jest odpowiedzią HTTP."},
      {"HTTP/1.1 200 " + std::string(65536, 'x') + "\r\n\r\n", "Orvin odesłał coś, co nie jest odpowiedzią HTTP."},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2;" + std::string(65536, 'x') + "\r\n{}\r\n0\r\n\r\n",
       "Odpowiedź Orvina ma błędnie podzielone ciało (chunked, po 0 B)."},
      {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n", "Orvin zamknął połączenie bez odpowiedzi HTTP (status 200)."},
  };
  for (const std::uint32_t split : {65536u, 5120u}) {  // the same verdict however the bytes come
    Fake.ReadChunkLimit = split;
    for (const auto& row : rows) {
      RespondRaw(row.Raw);
      EXPECT_FALSE(Post()) << row.Raw.substr(0, 80);
      EXPECT_EQ(Error, row.Error) << row.Raw.substr(0, 80);
      EXPECT_TRUE(MayHaveRun);
    }
  }
  EXPECT_EQ(Reply, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n");  // what came
  EXPECT_EQ(Fake.OpenSockets, 0);
}

TEST_F(McpEndpointTest, FailuresBeforeConnectingCannotHaveRun) {
  Fake.PreSendFailure.Failure = HttpFailure::Open;
  Fake.PreSendFailure.ErrorCode = 10093;
  EXPECT_FALSE(Post());
  EXPECT_EQ(Error, "Nie udało się utworzyć gniazda (kod 10093).");
  EXPECT_FALSE(MayHaveRun);
  Fake.PreSendFailure.Failure = HttpFailure::Connect;
  Fake.PreSendFailure.ErrorCode = 10065;
  EXPECT_FALSE(Post());
  EXPECT_EQ(Error, "Nie udało się połączyć z 127.0.0.1:8123 (kod 10065).");
  EXPECT_FALSE(MayHaveRun);
  EXPECT_EQ(Fake.OpenSockets, 0);
}

TEST_F(McpEndpointTest, ClientIdStaysTheSameForTheProcess) {
  Respond(200, "{}");
  Post();
  Post();
  EXPECT_EQ(Fake.HttpRequests[0].Headers, Fake.HttpRequests[1].Headers);
  EXPECT_EQ(ClientId(), "orvinmcp:812");
}
