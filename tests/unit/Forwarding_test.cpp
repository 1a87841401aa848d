#include "core/CommandLine.h"
#include "core/Forwarding.h"

#include "core/IdleWork.h"
#include "mcp/ToolListCache.h"
#include "tests/unit/CrmDouble.h"

class ForwardingTest : public CrmTest {
 protected:
  void SetUp() override {
    CrmTest::SetUp();
    StartCrm();
    Send(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");  // links up
    ASSERT_TRUE(LinkState.Connected);
    Fake.HttpRequests.clear();
    Fake.Output.clear();
    Fake.ErrorOutput.clear();
  }
  const std::string Call = R"({"jsonrpc":"2.0","id":9,"method":"tools/call","params":{"name":"faktury"}})";
  const std::string List = R"({"jsonrpc":"2.0","id":3,"method":"tools/list"})";
};

TEST_F(ForwardingTest, ReplyIsPassedOnAsOneLine) {
  Fake.Tick = 5000;
  Fake.At(5153, [] {});
  Queue(200, "{\"jsonrpc\":\"2.0\",\r\n\"id\":9,\n\"result\":{}}\r\n");
  Send(Call);
  EXPECT_EQ(Fake.Output, "{\"jsonrpc\":\"2.0\",  \"id\":9, \"result\":{}}  \n");
  EXPECT_EQ(Fake.LogLines().back(), "tools/call faktury | t=0ms, rq=" + std::to_string(Call.size()) + "B, rp=41B");
}

TEST_F(ForwardingTest, NotificationsGetNothingBack) {
  Queue(202, "");
  Send(R"({"jsonrpc":"2.0","method":"notifications/cancelled"})");
  EXPECT_EQ(Fake.Output, "");
  EXPECT_EQ(Fake.LogLines().back(), "notifications/cancelled | t=0ms, rq=52B, rp=0B (notyfikacja, bez odpowiedzi)");
  // Not even an error answer, nor the list that stands in for a failed one.
  Queue(200, R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600}})");
  Send(R"({"jsonrpc":"2.0","method":"tools/list"})");
  EXPECT_EQ(Fake.Output, "");
  EXPECT_FALSE(LinkState.PlaceholderListSent);
  EXPECT_EQ(Fake.LogLines().back(), "tools/list | t=0ms, rq=39B, rp=0B (notyfikacja, bez odpowiedzi)");
  // A line that is no JSON gets JSON-RPC's parse error from the bridge and never goes out.
  const std::size_t sent = Fake.HttpRequests.size();
  Send(R"({"jsonrpc":"2.0","method":"tools/list",})");
  EXPECT_EQ(Fake.Output.find(R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":")"), 0u);
  EXPECT_EQ(Fake.HttpRequests.size(), sent);
  Fake.Output.clear();
  Queue(200, "{\"jsonrpc\":\"2.0\",\"method\":\"x\"}");
  Send(R"({"jsonrpc":"2.0","method":"notifications/x"})");
  EXPECT_EQ(Fake.Output, "{\"jsonrpc\":\"2.0\",\"method\":\"x\"}\n");
}

TEST_F(ForwardingTest, ARequestNeverGoesUnanswered) {
  Queue(200, " \r\n");
  Send(Call);
  ASSERT_EQ(OutputLines().size(), 1u);
  EXPECT_NE(Fake.Output.find("\"id\":9,\"error\":{\"code\":-32000,\"message\":\"Orvin odpowiedział czymś, co nie "
                             "jest komunikatem MCP (HTTP 200, Content-Type: application/json, 3 B). Żądanie MOGŁO"),
            std::string::npos);
  EXPECT_EQ(Fake.HttpRequests.size(), 1u);
}

TEST_F(ForwardingTest, OnlyOneWholeJsonObjectIsPassedOn) {
  const std::string bodies[] = {
      "{\"jsonrpc\":\"2.0\",\"id\":9,\"result\":{\"content\":[",            // cut
      "<html><body>Internal error</body></html>",                                // a page
      std::string("\x1f\x8b\x08\0\0\0\0\0", 8),                                   // gzip
      "event: message\ndata: {\"jsonrpc\":\"2.0\",\"id\":9,\"result\":{}}\n\n",   // event stream
      "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}",                           // an interim response taken as final
      "{\"jsonrpc\":\"2.0\",\"id\":9,\"result\":{}}{\"jsonrpc\":\"2.0\"}",          // two messages
      "{\"error\":\"MCP endpoint is switched off or unknown\"}",                      // no response
  };
  for (const std::string& body : bodies) {
    Fake.Output.clear();
    Queue(200, body);
    Send(Call);
    ASSERT_EQ(OutputLines().size(), 1u) << body;
    EXPECT_EQ(OutputLines()[0].find("{\"jsonrpc\":\"2.0\",\"id\":9,\"error\":{\"code\":-32000,\"message\":\"Orvin "
                                    "odpowiedział czymś, co nie jest komunikatem MCP (HTTP 200, Content-Type: "
                                    "application/json, " + std::to_string(body.size()) + " B). Żądanie MOGŁO"),
              0u)
        << OutputLines()[0];
  }
  EXPECT_EQ(Fake.HttpRequests.size(), 7u);
  EXPECT_TRUE(LinkState.Connected);

  FakeHttpResponse page;
  page.Status = 500;
  page.ContentType = "text/html; charset=utf-8";
  page.Body = "<p>B\xc5\x82\xc4\x85" "d\xb3\x01\r\n</p>";  // letters shown as such, the rest by its code
  Answers.push_back(page);
  Fake.Output.clear();
  Send(R"({"jsonrpc":"2.0","method":"notifications/x"})");  // a notification gets nothing, the log tells
  EXPECT_EQ(Fake.Output, "");
  EXPECT_EQ(Fake.LogLines().back(),
            "notifications/x | bez powtórki, mogło dotrzeć | Orvin odpowiedział czymś, co nie jest komunikatem MCP "
            "(HTTP 500, Content-Type: text/html; charset=utf-8, 17 B). Początek: <p>Błąd\\xB3\\x01\\r\\n</p>");
}

TEST_F(ForwardingTest, TheTokenNeverReachesTheLog) {
  const std::string echo = R"({"jsonrpc":"2.0","id":9,"error":{"code":-32603,"message":"Authorization: Bearer tok-1"}})";
  Queue(200, echo);
  Send(Call);
  EXPECT_EQ(Fake.Output, echo + "\n");  // the client gets the reply as it came
  EXPECT_EQ(Fake.LogLines().at(0),
            R"(tools/call faktury | Orvin zwrócił błąd: {"jsonrpc":"2.0","id":9,"error":{"code":-32603,"message":"Authorization: Bearer ***"}})");
  // A whole token is hidden anywhere; two letters of one that the end of the logged bytes cut tell nothing.
  FakeHttpResponse page;
  page.ContentType = "text/plain; tok-1";
  page.Body = std::string(78, '.') + "tok-1" + std::string(30, '.');
  Answers.push_back(page);
  Send(Call);
  const std::string log = Fake.LogLines().back();
  EXPECT_EQ(log.find("tok"), std::string::npos) << log;
  EXPECT_NE(log.find("Content-Type: text/plain; ***, 113 B). Początek: " + std::string(78, '.') + "to"),
            std::string::npos)
      << log;
  // After a new link the earlier token stays hidden beside the new one.
  Queue(401, "");
  CrmToken = "tok/2";
  Queue(500, R"({"jsonrpc":"2.0","id":9,"error":{"code":1,"message":"tok-1 tok%2F2 tok\u002f2"}})");
  Send(Call);
  EXPECT_NE(Fake.ErrorOutput.find(R"(Orvin zwrócił błąd: {"jsonrpc":"2.0","id":9,"error":{"code":1,"message":"*** *** ***"}})"),
            std::string::npos);
}

TEST_F(ForwardingTest, EveryReplyGetsTheRequestsIdAndOneLogLinePerEvent) {
  Queue(500, "{\"jsonrpc\":\"2.0\",\r\n\"error\":{\"code\":1},\r\n\"id\": null}");
  Queue(200, R"({"jsonrpc":"2.0","result":{}})");
  Send(Call);
  Send(Call);
  EXPECT_EQ(Fake.Output, "{\"jsonrpc\":\"2.0\",  \"error\":{\"code\":1},  \"id\": 9}\n{\"id\":9,\"jsonrpc\":\"2.0\",\"result\":{}}\n");
  const std::vector<std::string> log = Fake.LogLines();
  EXPECT_EQ(log.at(0), "tools/call faktury | Orvin podał w odpowiedzi inne id: null - przekazuję ją z id żądania.");
  EXPECT_EQ(log.at(1), R"(tools/call faktury | Orvin zwrócił błąd: {"jsonrpc":"2.0",\r\n"error":{"code":1},\r\n"id": 9})");
  EXPECT_EQ(log.at(3), "tools/call faktury | Orvin nie podał id w odpowiedzi - przekazuję ją z id żądania.");
}

TEST_F(ForwardingTest, MayHaveRunIsNeverRepeatedAndSaysWhatHappened) {
  const std::string noWholeReply = "Orvin nie odpowiedział w ciągu 10 min albo połączenie zerwało się w trakcie: ";
  const auto answer = [](HttpFailure failure, std::uint32_t code, std::size_t failsAfter) {
    FakeHttpResponse response;
    response.Failure = failure;
    response.ErrorCode = code;
    response.Body = "<html>";
    response.ReadFailsAfter = failsAfter;
    return response;
  };
  const std::pair<FakeHttpResponse, std::string> rows[] = {
      {answer(HttpFailure::Send, 10060, 0), noWholeReply + "Orvin nie odebrał całego żądania w ciągu 10 min (kod 10060)."},
      {answer(HttpFailure::Read, 10054, 2), noWholeReply + "Odpowiedź Orvina urwała się (2 z 6 B, kod 10054)."},
      {answer(HttpFailure::None, 0, std::string::npos),
       "Orvin odpowiedział czymś, co nie jest komunikatem MCP (HTTP 200, Content-Type: application/json, 6 B)."},
  };
  for (const auto& row : rows) {
    Fake.Output.clear();
    Answers.push_back(row.first);
    Send(Call);
    EXPECT_EQ(Fake.Output, "{\"jsonrpc\":\"2.0\",\"id\":9,\"error\":{\"code\":-32000,\"message\":\"" + row.second +
                               " Żądanie MOGŁO zostać wykonane - nie powtarzam go automatycznie. Sprawdź stan w Orvinie "
                               "przed ponowieniem.\"}}\n");
  }
  EXPECT_EQ(Fake.HttpRequests.size(), 3u);
  EXPECT_EQ(Fake.LogLines().at(0), "tools/call faktury | bez powtórki, mogło dotrzeć | Orvin nie odebrał całego żądania "
                                   "w ciągu 10 min (kod 10060).");
  EXPECT_TRUE(LinkState.Connected);
  EXPECT_EQ(LinkState.Port, 8123);

  QueueFailure(HttpFailure::Read, 10054);
  Send(R"({"jsonrpc":"2.0","method":"notifications/x"})");
  EXPECT_EQ(OutputLines().size(), 1u);  // a notification gets nothing
  EXPECT_EQ(Fake.HttpRequests.size(), 4u);
}

TEST_F(ForwardingTest, RejectedTokenLeadsToOneReconnectAndOneRepeat) {
  Queue(401, "");
  CrmToken = "tok-2";
  CrmPort = 9000;
  Send(Call);
  ASSERT_EQ(Fake.HttpRequests.size(), 2u);
  EXPECT_EQ(Fake.HttpRequests[1].Port, 9000);
  EXPECT_NE(Fake.HttpRequests[1].Headers.find("Bearer tok-2\r\n"), std::string::npos);
  EXPECT_EQ(Fake.HttpRequests[1].Body, Call);
  EXPECT_EQ(Fake.Output, "{\"jsonrpc\":\"2.0\",\"id\":9,\"result\":{}}\n");
  const std::vector<std::string> log = Fake.LogLines();
  EXPECT_EQ(log.at(0), "Utrata łączności: Token stracił ważność (HTTP 401) - serwer MCP wygenerował nowy przy "
                       "ponownym włączeniu. Łączę się ponownie.");
  EXPECT_EQ(log.at(log.size() - 2), "Połączono ponownie na porcie 9000. Powtarzam żądanie.");
  EXPECT_TRUE(LinkState.Connected);
}

TEST_F(ForwardingTest, A404WithAResponseIsAnAnswerAndARejectedRepeatSaysWhy) {
  Queue(404, R"({"jsonrpc":"2.0","id":null,"error":{"code":-32601}})");
  const std::string off = R"({"error":"MCP endpoint is switched off or unknown"})";
  Queue(404, off);
  Queue(404, off);
  Queue(404, "");
  Queue(401, R"({"jsonrpc":"2.0","id":9,"error":{"code":1}})");
  for (int i = 0; i < 3; ++i) Send(Call);  // the third one while the verdict stands: no new handshake
  EXPECT_EQ(Fake.HttpRequests.size(), 3u);
  EXPECT_EQ(Fake.HandshakeRequests.size(), 2u);
  Fake.Tick += 5000;
  Send(Call);
  EXPECT_EQ(Fake.HttpRequests.size(), 5u);
  const std::string rejected = R"({"jsonrpc":"2.0","id":9,"error":{"code":-32000,"message":")";
  const std::string endpointOff = "Endpoint /mcp nie odpowiada (HTTP 404) - serwer MCP jest wyłączony.";
  const std::vector<std::string> out = OutputLines();
  ASSERT_EQ(out.size(), 4u);
  EXPECT_NE(out[2].find("\"text\":\"Brak połączenia z Orvin CRM: " + endpointOff), std::string::npos);
  EXPECT_EQ(out, (std::vector<std::string>{
                               R"({"jsonrpc":"2.0","id":9,"error":{"code":-32601}})", rejected + endpointOff + "\"}}", out[2],
                               rejected + "Token stracił ważność (HTTP 401) - serwer MCP wygenerował nowy przy ponownym włączeniu.\"}}"}));
  EXPECT_FALSE(LinkState.Connected);
}

TEST_F(ForwardingTest, MemoryThatRunsOutIsAnAnswer) {
  const auto endpoint = Fake.Endpoint;
  Fake.Endpoint = [](const FakeHttpRequest&) -> FakeHttpResponse { throw std::bad_alloc(); };
  Send(Call);  // while the reply is read
  Fake.Endpoint = endpoint;
  Queue(200, R"({"jsonrpc":"2.0","id":3,"result":{"tools":[]}})");
  Fake.OnCreateFile = [] { throw std::bad_alloc(); };  // while the list is cached
  Send(List);
  Fake.OnCreateFile = nullptr;
  const std::string mayHaveRun = R"(,"error":{"code":-32000,"message":"Zabrakło pamięci na odpowiedź Orvina)";
  EXPECT_EQ(Fake.Output.find(R"({"jsonrpc":"2.0","id":9)" + mayHaveRun + ". Żądanie MOGŁO"), 0u);
  EXPECT_NE(Fake.Output.find("}}\n{\"jsonrpc\":\"2.0\",\"id\":3" + mayHaveRun + " (46 B). Żądanie MOGŁO"), std::string::npos);
  EXPECT_EQ(Fake.LogLines(), (std::vector<std::string>{
                                 "tools/call faktury | bez powtórki, mogło dotrzeć | Zabrakło pamięci na odpowiedź Orvina",
                                 "tools/list | bez powtórki, mogło dotrzeć | Zabrakło pamięci na odpowiedź Orvina (46 B)"}));
}

TEST_F(ForwardingTest, LinkLostAndNotRebuilt) {
  QueueFailure(HttpFailure::Connect, 10060);
  StopCrm();
  Send(Call);
  EXPECT_TRUE(Fake.HttpRequests.empty());
  EXPECT_FALSE(LinkState.Connected);
  EXPECT_EQ(LinkState.Port, 0);
  EXPECT_EQ(LinkState.Token, "");
  // Answered as when there is no link at all.
  EXPECT_EQ(Fake.Output.find("{\"jsonrpc\":\"2.0\",\"id\":9,\"result\":{\"content\":[{\"type\":\"text\",\"text\":\"Brak"), 0u);
  EXPECT_EQ(Fake.LogLines().back(), "tools/call faktury | odmowa wykonania, brak Orvina | Nie znaleziono uruchomionego "
                                    "Orvina (szukam w katalogu C:\\Crm\\).");
}

// A full listen queue refuses at once: for about a second that is no lost link.
TEST_F(ForwardingTest, ARefusedConnectionIsTriedAgainForAboutASecond) {
  Fake.RefusedConnects = {10061, 10061, 10061};
  Send(Call);
  EXPECT_EQ(OutputLines(), std::vector<std::string>{R"({"jsonrpc":"2.0","id":9,"result":{}})"});
  EXPECT_EQ(Fake.LogLines().front(), "tools/call faktury | Orvin odrzucał połączenie - ponawiałem je przez 1000 ms.");
  EXPECT_EQ(Fake.HandshakeRequests.size(), 1u);
  Fake.RefusedConnects.assign(4, 10061);
  Send(Call);
  EXPECT_EQ(Fake.HandshakeRequests.size(), 2u);
  EXPECT_EQ(Fake.LogLines().at(3), "Utrata łączności: Nie udało się połączyć z 127.0.0.1:8123 (kod 10061). Łączę się "
                                   "ponownie.");
  EXPECT_EQ(Fake.HttpRequests.size(), 2u);
}

TEST_F(ForwardingTest, ARepeatThatMayHaveRunSaysSo) {
  QueueFailure(HttpFailure::Connect, 10060);
  QueueFailure(HttpFailure::Send, 10054);
  Send(Call);
  EXPECT_EQ(Fake.HttpRequests.size(), 1u);
  EXPECT_NE(Fake.Output.find("MOGŁO"), std::string::npos);
  EXPECT_EQ(OutputLines().size(), 1u);
  EXPECT_FALSE(LinkState.Connected);
}

TEST_F(ForwardingTest, GoodToolListsAreCachedAndResetTheRepeatCount) {
  LinkState.NoticeRetryCount = 4;
  Queue(200, R"({"result":{"tools":[{"name":"faktury"}]},"jsonrpc":"2.0","id":3})");
  Send(List);
  EXPECT_EQ(LinkState.NoticeRetryCount, 0);
  EXPECT_EQ(Fake.Files.at(GetToolListCacheFile()), R"({"tools":[{"name":"faktury"}]})");
}

TEST_F(ForwardingTest, FailedToolListsAreReplacedAndTheNoticeRepeatedAtMostFiveTimes) {
  Fake.Files[GetToolListCacheFile()] = R"({"tools":[{"name":"z_pliku"}]})";
  for (int i = 0; i < 6; ++i) Queue(200, R"({"jsonrpc":"2.0","id":3,"error":{"code":-32603}})");
  for (int i = 0; i < 6; ++i) Send(List);
  const std::vector<std::string> out = OutputLines();
  ASSERT_EQ(out.size(), 6u);
  EXPECT_EQ(out[0], R"({"jsonrpc":"2.0","id":3,"result":{"tools":[{"name":"z_pliku"}]}})");
  EXPECT_TRUE(LinkState.PlaceholderListSent);
  EXPECT_EQ(LinkState.NoticeRetryCount, 5);
  std::vector<std::string> schedules;
  for (const std::string& line : Fake.LogLines()) {
    if (line.find("Lista narzędzi z Orvina") == 0) schedules.push_back(line);
  }
  ASSERT_EQ(schedules.size(), 6u);
  EXPECT_EQ(schedules[0], "Lista narzędzi z Orvina przyszła z błędem - odsyłam: lista z pliku (30B). Ponowię "
                          "powiadomienie o zmianie listy narzędzi za 3 s (próba 1 z 5).");
  EXPECT_EQ(schedules[5], "Lista narzędzi z Orvina przyszła z błędem - odsyłam: lista z pliku (30B). Limit 5 "
                          "ponowień wyczerpany - nie ponawiam powiadomienia o zmianie listy narzędzi.");
}

// Ports on 127.0.0.1 are machine-wide: a connection another user's program took
// gets neither the token nor the request, and a new handshake finds where the CRM
// application listens now. Each connection is looked at before its first byte;
// where the system cannot tell, the request goes out as ever.
TEST_F(ForwardingTest, AConnectionToAnotherProgramGetsNothing) {
  Fake.ProcessImages[666] = "C:\\Users\\obcy\\evil.exe";
  Fake.PortOwners = {{8123, 666}};
  CrmPort = 9000;
  Send(Call);
  ASSERT_EQ(Fake.HttpRequests.size(), 1u);
  EXPECT_EQ(Fake.HttpRequests[0].Port, 9000);
  EXPECT_EQ(Fake.LogLines().at(0), "Utrata łączności: Port 8123 należy do innego programu (evil.exe, PID 666) niż Orvin "
                                   "- nie wysyłam do niego tokenu. Łączę się ponownie.");
  const std::string noRow = "W tabeli połączeń TCP nie ma połączenia z portem 9000, więc nie wiem, do kogo on należy - "
                            "wysyłam żądania bez tego sprawdzenia.";
  struct TRow {
    std::uint32_t Owner;
    bool OnIpv6, Listed;
    std::uint32_t TableError;
    bool Sent;
    std::string Note;  // the log's line before the request's own, once per run
  };
  const TRow rows[] = {
      {4000, false, true, 0, true, ""},
      {4000, true, true, 0, true, ""},  // a dual-stack listener
      {4, false, true, 0, true, ""},    // the kernel's HTTP server
      {666, true, true, 0, false, ""},
      {667, false, true, 0, false, ""},
      {667, false, false, 0, true, noRow},
      {667, false, false, 0, true, ""},
      {667, false, true, 5, true, "Nie udało się odczytać tabeli połączeń TCP (kod 5), więc nie wiem, do kogo należy "
                                  "port 9000 - wysyłam żądania bez tego sprawdzenia."},
      {0, false, true, 0, true, "System nie podaje, które programy obsługują połączenia TCP, więc nie sprawdzam, czy "
                                "port 9000 należy do Orvina - wysyłam żądania bez tego sprawdzenia."},
      {667, false, true, 0, true, ""},  // no look on such a system
  };
  for (const TRow& row : rows) {
    Fake.PortOwners = {{9000, row.Owner}};
    Fake.ServerSideOnIpv6 = row.OnIpv6;
    Fake.ServerSideListed = row.Listed;
    Fake.ConnectionTableError = row.TableError;
    const std::size_t sent = Fake.HttpRequests.size(), logged = Fake.LogLines().size();
    Fake.Output.clear();
    Send(Call);  // back to back: every request looks
    EXPECT_EQ(Fake.HttpRequests.size(), sent + row.Sent) << row.Owner;
    EXPECT_EQ(Fake.Output.find(row.Sent ? R"({"jsonrpc":"2.0","id":9,"result")"
                                        : R"({"jsonrpc":"2.0","id":9,"error":{"code":-32000,"message":"Port 9000 )"),
              0u);
    const std::vector<std::string> log = Fake.LogLines();
    EXPECT_TRUE(row.Note.empty() || std::find(log.begin() + logged, log.end(), row.Note) != log.end()) << row.Note;
  }
  const std::vector<std::string> log = Fake.LogLines();
  EXPECT_EQ(std::count(log.begin(), log.end(), noRow), 1);
  EXPECT_NE(std::find(log.begin(), log.end(), "tools/call faktury | nie powiodło się | Port 9000 należy do innego "
                                              "programu (nazwa nieznana, PID 667) niż Orvin - nie wysyłam do niego tokenu."),
            log.end());
  // The IPv6 table only where the IPv4 one has no row; none once the system showed that it names no owners.
  EXPECT_EQ(Fake.ConnectionTableReads, 20);
}
