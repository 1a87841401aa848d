#include "core/RequestLoop.h"

#include <algorithm>
#include <deque>
#include <map>

#include "common/JsonText.h"
#include "tests/unit/CrmDouble.h"

using RequestLoopTest = CrmTest;

namespace {
const char kNoCrm[] = "Nie znaleziono uruchomionego Orvina (szukam w katalogu C:\\Crm\\).";
}

TEST_F(RequestLoopTest, WithoutTheCrmApplicationEveryKindOfLineIsAnsweredLocally) {
  Send("   \t ");
  Send(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
  Send(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-03-26"}})");
  Send(R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})");
  Send(R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"orvin_connect"}})");
  Send(R"({"jsonrpc":"2.0","id":4,"method":"ping"})");
  Send(R"({"jsonrpc":"2.0","id":5,"result":{}})");
  Send("not json at all");

  const std::vector<std::string> out = OutputLines();
  ASSERT_EQ(out.size(), 6u);
  EXPECT_EQ(out[0].find(R"({"jsonrpc":"2.0","id":1,"result":{"protocolVersion":"2025-03-26")"), 0u);
  EXPECT_EQ(out[1].find(R"({"jsonrpc":"2.0","id":2,"result":{"tools":[{"name":"orvin_connect")"), 0u);
  EXPECT_EQ(out[2].find(R"({"jsonrpc":"2.0","id":3,"result":{"content":[)"), 0u);
  EXPECT_NE(out[2].find("Nie znaleziono uruchomionego Orvina (szukam w katalogu C:\\\\Crm\\\\)."), std::string::npos);
  EXPECT_EQ(out[3], R"({"jsonrpc":"2.0","id":4,"result":{}})");
  EXPECT_EQ(out[4].find(R"({"jsonrpc":"2.0","id":5,"error":)"), 0u);
  EXPECT_EQ(out[5].find(R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Błąd składni: )"), 0u);

  const std::string no = std::string(" | ") + kNoCrm;
  EXPECT_EQ(Fake.LogLines(), (std::vector<std::string>{
                                 std::string("Na razie bez połączenia: ") + kNoCrm,
                                 "notifications/initialized | notyfikacja, brak połączenia" + no,
                                 "initialize | odpowiedź własna, brak Orvina" + no,
                                 "tools/list | lista zastępcza (orvin_connect)" + no,
                                 "tools/call orvin_connect | odmowa wykonania, brak Orvina" + no,
                                 "ping | odpowiedź własna, brak Orvina" + no,
                                 "(bez metody) | błąd -32000" + no,
                                 "(bez metody) | błąd -32700, wiersz nie jest tekstem JSON: not json at all",
                             }));
  EXPECT_TRUE(LinkState.PlaceholderListSent);
  EXPECT_EQ(Fake.EnumCalls, 6);  // one full attempt for every line with content that can be read
}

TEST_F(RequestLoopTest, EveryRequestIsAnsweredUnderItsOwnIdInOneLineOfJson) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {R"({"method":"tools/call","params":{"name":"x","arguments":{"id":99}},"jsonrpc":"2.0","id":4})", "4"},
      {R"({"jsonrpc":"2.0","id":{"a":1,"b":[2,"}"]},"method":"tools/call","params":{"name":"x"}})",
       R"({"a":1,"b":[2,"}"]})"},
      {R"({"jsonrpc":"2.0","id":[1,2],"method":"tools/list"})", "[1,2]"},
      {R"({"jsonrpc":"2.0","id":{},"method":"ping"})", "{}"},
      {R"({"jsonrpc":"2.0","id":7,"method":"initialize","params":{"protocolVersion":{"v":1,"w":2}}})", "7"},
      {R"({"jsonrpc":"2.0","id":8,"method":"initialize","params":{"protocolVersion":[1,2]}})", "8"},
      {R"({"jsonrpc":"2.0","\u0069d":5,"method":"x"})", "5"},
      {R"({"jsonrpc":"2.0","id":"a\"b","id":6,"method":"x"})", R"("a\"b")"},
  };
  for (const auto& row : rows) {
    Fake.Output.clear();
    Send(row.first);
    const std::vector<std::string> out = OutputLines();
    ASSERT_EQ(out.size(), 1u) << row.first;
    EXPECT_TRUE(IsSingleJsonObject(out[0])) << out[0];
    EXPECT_EQ(JsonRawValue(out[0], "id"), row.second) << out[0];
  }
}

TEST_F(RequestLoopTest, MethodsAndToolNamesCountByTheirDecodedValue) {
  Send(R"({"jsonrpc":"2.0","id":1,"method":"\u0069nitialize","params":{}})");
  Send(R"({"jsonrpc":"2.0","id":2,"method":"tools\/list"})");
  Send(R"({"jsonrpc":"2.0","id":3,"method":"tools\/call","params":{"name":"x"}})");
  const std::vector<std::string> out = OutputLines();
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].find(R"({"jsonrpc":"2.0","id":1,"result":{"protocolVersion":"2025-06-18")"), 0u);
  EXPECT_EQ(out[1].find(R"({"jsonrpc":"2.0","id":2,"result":{"tools":[{"name":"orvin_connect")"), 0u);
  EXPECT_EQ(out[2].find(R"({"jsonrpc":"2.0","id":3,"result":{"content":[)"), 0u);
  StartCrm();
  Fake.Output.clear();
  Send(R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"orvin\u005Fconnect"}})");
  EXPECT_TRUE(Fake.HttpRequests.empty());
  // The client held the placeholder list: the notice comes before and after the result.
  ASSERT_EQ(OutputLines().size(), 3u);
  EXPECT_EQ(OutputLines()[1].find(R"({"jsonrpc":"2.0","id":4,"result":{"content":[{"type":"text","text":"Połączono)"), 0u);
}

TEST_F(RequestLoopTest, RefusalIsRecordedAndAFailureWithoutRefusalClearsIt) {
  Send(R"({"id":0,"method":"ping"})");  // the first message's attempt keeps no refusal
  StartCrm("DENIED\r\n\r\n\r\nOdmowa.");
  Send(R"({"id":1,"method":"ping"})");
  EXPECT_TRUE(LinkState.Refused);
  StopCrm();
  Send(R"({"id":2,"method":"ping"})");
  EXPECT_FALSE(LinkState.Refused);
}

TEST_F(RequestLoopTest, ALinkMadeForARequestCarriesThatRequest) {
  StartCrm();
  Send(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{}})");
  EXPECT_TRUE(LinkState.Connected);
  ASSERT_EQ(Fake.HttpRequests.size(), 1u);
  EXPECT_EQ(Fake.HttpRequests[0].Body, R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{}})");
  EXPECT_EQ(Fake.LogLines().at(2), "Połączono z Orvinem na porcie 8123.");
}

TEST_F(RequestLoopTest, ConnectShortCutWhileLinked) {
  LinkState.PlaceholderListSent = true;  // the client holds the placeholder list
  StartCrm();
  Send(R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"orvin_connect"}})");
  const std::vector<std::string> out = OutputLines();
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0], R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed"})");
  EXPECT_EQ(out[1].find(R"({"jsonrpc":"2.0","id":7,"result":{"content":[{"type":"text","text":"Połączono z Orvin CRM.)"),
            0u);
  EXPECT_EQ(out[2], out[0]);
  EXPECT_TRUE(Fake.HttpRequests.empty());
  EXPECT_EQ(Fake.LogLines().back(),
            "tools/call orvin_connect | klient ma starą listę - odpowiedź własna i ponowne powiadomienie o zmianie "
            "listy narzędzi");
}

TEST_F(RequestLoopTest, ConnectWithoutIdIsForwarded) {
  StartCrm();
  Send(R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"orvin_connect"}})");
  EXPECT_EQ(Fake.HttpRequests.size(), 1u);
}

TEST_F(RequestLoopTest, ACacheFileThatAnotherBridgeHoldsIsReadOnAWorker) {
  Fake.Files[GetToolListCacheFile()] = R"({"tools":["cached"]})";
  Fake.ReadOpenConflicts[GetToolListCacheFile()] = {32, 32};
  Send(R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})");
  EXPECT_EQ(Fake.Output, "{\"jsonrpc\":\"2.0\",\"id\":2,\"result\":{\"tools\":[\"cached\"]}}\n");
}

TEST_F(RequestLoopTest, LoopEndsWithTheInput) {
  Fake.AddInput("{\"id\":1,\"method\":\"ping\"}\r\n\n{\"id\":2,\"method\":\"ping\"}");
  RunRequestLoop();
  EXPECT_EQ(OutputLines().size(), 2u);
}

// Lines as a client sends them over time, answered by an endpoint that takes its time.
class EventLoopTest : public RequestLoopTest {
 protected:
  void SetUp() override {
    RequestLoopTest::SetUp();
    StartCrm();
    Fake.Endpoint = [this](const FakeHttpRequest& request) {
      FakeHttpResponse response;
      response.Body = "{\"jsonrpc\":\"2.0\",\"id\":" + JsonRawValue(request.Body, "id") + ",\"result\":{}}";
      response.Delay = Delays.count(request.Body) ? Delays[request.Body] : 0;
      if (Statuses.count(request.Body) && !Statuses[request.Body].empty()) {
        response.Status = Statuses[request.Body].front();
        response.Body.clear();  // a rejection, not an answer
        Statuses[request.Body].pop_front();
      }
      return response;
    };
  }
  std::string Call(int id) {
    return "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) + ",\"method\":\"tools/call\",\"params\":{\"name\":\"t\"}}";
  }
  // A call of the tool t with more params after its name.
  std::string Call(int id, const std::string& more) {
    return "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) + ",\"method\":\"tools/call\",\"params\":{\"name\":\"t\"" +
           more + "}}";
  }
  std::string Cancel(int id) {
    return R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":)" + std::to_string(id) + "}}\n";
  }
  std::string Notice(const std::string& token, int seconds) {
    const std::string s = std::to_string(seconds);
    return R"({"jsonrpc":"2.0","method":"notifications/progress","params":{"progressToken":)" + token +
           R"(,"progress":)" + s + R"(,"message":"Orvin CRM pracuje nad tym żądaniem od )" + s + " s.\"}}";
  }
  // How many lines the client had at each tick.
  std::vector<std::size_t> LinesAt(std::initializer_list<std::uint32_t> ticks) {
    auto counts = std::make_shared<std::vector<std::size_t>>();
    for (std::uint32_t tick : ticks) Fake.At(tick, [this, counts] { counts->push_back(OutputLines().size()); });
    RunRequestLoop();
    return *counts;
  }
  std::map<std::string, std::uint32_t> Delays;
  std::map<std::string, std::deque<std::uint32_t>> Statuses;
};

TEST_F(EventLoopTest, CallsRunSideBySideAndAPingOrACancelNeverWaitsBehindThem) {
  Delays[Call(1)] = 3000;
  Delays[Call(2)] = 1000;
  const std::string cancel = R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":1}})";
  Fake.AddInput(Call(1) + "\n" + Call(2) + "\n", 1000);
  Fake.AddInput("{\"jsonrpc\":\"2.0\",\"id\":3,\"method\":\"ping\"}\n" + cancel + "\n", 1200);
  Fake.AddInput("\n", 5000);  // the input stays open until the cancelled call's answer has come
  RunRequestLoop();
  ASSERT_EQ(Fake.HttpRequests.size(), 4u);
  EXPECT_EQ(Fake.HttpRequests[1].AtTick, 1000u);  // the second call did not wait for the first
  EXPECT_EQ(Fake.HttpRequests[3].Body, cancel);
  EXPECT_EQ(Fake.HttpRequests[3].AtTick, 1200u);  // while the call it names still runs
  const std::vector<std::string> out = OutputLines();
  ASSERT_EQ(out.size(), 2u);  // the cancelled call's answer goes nowhere
  EXPECT_EQ(JsonRawValue(out[0], "id"), "3");  // answered as they complete
  EXPECT_EQ(JsonRawValue(out[1], "id"), "2");
  const std::vector<std::string> log = Fake.LogLines();
  EXPECT_EQ(std::count(log.begin(), log.end(), "tools/call t | anulowane przez klienta - odpowiedź Orvina zachowuję "
                                                "na 10 min, gdyby klient ponowił to wywołanie"), 1);
}

TEST_F(EventLoopTest, NotificationsAndInitializeHoldBackWhatFollowsThem) {
  const std::string initialized = R"({"jsonrpc":"2.0","method":"notifications/initialized"})";
  const std::string initialize = R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{}})";
  Delays[initialize] = 500;
  Delays[initialized] = 700;
  Fake.AddInput(initialize + "\n" + initialized + "\n" + Call(1) + "\n", 1000);
  RunRequestLoop();
  ASSERT_EQ(Fake.HttpRequests.size(), 3u);
  EXPECT_EQ(Fake.HttpRequests[1].AtTick, 1500u);
  EXPECT_EQ(Fake.HttpRequests[2].AtTick, 2200u);
}

TEST_F(EventLoopTest, ALinkLostUnderThreeCallsIsRebuiltOnceAndNothingThatMayHaveRunGoesTwice) {
  Statuses[Call(1)] = {401};
  Statuses[Call(2)] = {404};
  Delays[Call(2)] = 100;
  Delays[Call(3)] = 200;
  Fake.AddInput(Call(1) + "\n" + Call(2) + "\n" + Call(3) + "\n", 1000);
  Fake.At(1001, [this] { Fake.Windows.front().TakesMs = 500; });  // the second 404 comes while it reconnects
  RunRequestLoop();
  std::map<std::string, int> sent;
  for (const FakeHttpRequest& request : Fake.HttpRequests) ++sent[request.Body];
  EXPECT_EQ(sent[Call(1)], 2);
  EXPECT_EQ(sent[Call(2)], 2);
  EXPECT_EQ(sent[Call(3)], 1);
  EXPECT_EQ(Fake.HandshakeRequests.size(), 2u);  // start-up, and one reconnect for both
  EXPECT_EQ(OutputLines().size(), 3u);
}

TEST_F(EventLoopTest, AConsentQuestionHoldsNeitherStartUpNorTheToolList) {
  Fake.Windows.front().TakesMs = 6000;
  Fake.AddInput(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{}})" "\n", 1000);
  Fake.AddInput(R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})" "\n", 1100);
  Fake.AddInput(Call(2) + "\n", 1200);
  Fake.AddInput(R"({"jsonrpc":"2.0","id":3,"method":"tools/list"})" "\n", 7500);
  RunRequestLoop();
  const std::vector<std::string> out = OutputLines();
  ASSERT_EQ(out.size(), 5u);
  EXPECT_EQ(out[0].find(R"({"jsonrpc":"2.0","id":0,"result":{"protocolVersion")"), 0u);
  EXPECT_EQ(out[1].find(R"({"jsonrpc":"2.0","id":1,"result":{"tools":[{"name":"orvin_connect")"), 0u);
  EXPECT_EQ(out[2], R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed"})");
  EXPECT_EQ(out[3], R"({"jsonrpc":"2.0","id":2,"result":{}})");  // it waited: the link came within 10 s
  EXPECT_EQ(out[4], R"({"jsonrpc":"2.0","id":3,"result":{}})");
  EXPECT_EQ(Fake.LogLines().at(1).find("initialize | odpowiedź własna, brak Orvina | Orvin jeszcze nie odpowiedział"), 0u);
  EXPECT_EQ(Fake.HandshakeRequests.size(), 1u);
}

TEST_F(EventLoopTest, AWindowThatTookTheRequestIsNotAskedAgainWhileItsUserThinks) {
  Fake.Windows.front().OnCopyData = [](const std::string&) { return true; };  // taken, never answered
  for (int i = 0; i < 10; ++i) Fake.AddInput(Call(i) + "\n", 1000 + i * 3000);
  RunRequestLoop();
  EXPECT_EQ(Fake.HandshakeRequests.size(), 2u);
  EXPECT_EQ(OutputLines().size(), 10u);
}

// Asked to close (WM_CLOSE, the end of the session) the bridge takes nothing new
// and lets what went out finish; the close of the client's input is no longer needed.
TEST_F(EventLoopTest, ACloseRequestIsTheEndOfInput) {
  Delays[Call(1)] = 2000;
  Fake.AddInput(Call(1) + "\n", 1000);
  Fake.AddInput(Call(2) + "\n", 60000);
  Fake.At(1500, [this] {
    Fake.ProxyCloseHandler(true);  // Windows may end the process once this returns: the log has its say before
    EXPECT_EQ(Fake.LogLines().back(), "Sesja Windows się kończy (wylogowanie albo zamknięcie systemu) - kończę pracę.");
    EXPECT_EQ(Fake.LastFinishWritesWait, 1000u);
  });
  RunRequestLoop();
  EXPECT_EQ(OutputLines(), std::vector<std::string>{R"({"jsonrpc":"2.0","id":1,"result":{}})"});
  EXPECT_EQ(Fake.Tick, 3000u);
  EXPECT_EQ(Fake.LogLines().at(5), "Poproszono o zamknięcie OrvinMCP - nie przyjmuję nowych żądań i kończę pracę.");
}

// With a consent question open nothing that waits for a link can go soon.
TEST_F(EventLoopTest, TheEndOfInputGivesWhatWaitsForALinkOnlyAMoment) {
  Fake.Windows.front().TakesMs = 60000;
  Fake.AddInput(R"({"jsonrpc":"2.0","method":"notifications/initialized"})" "\n" + Call(1) + "\n", 1000);
  RunRequestLoop();
  EXPECT_EQ(Fake.Tick, 1300u);
  EXPECT_EQ(OutputLines().size(), 1u);
  EXPECT_NE(Fake.Output.find("Klient zamknął strumień, więc nie łączę się już z Orvinem."), std::string::npos);
}

TEST_F(EventLoopTest, TheEndOfInputWaitsUpToFiveSecondsForCallsInFlight) {
  Delays[Call(1)] = 2000;
  Delays[Call(2)] = 60000;
  Fake.AddInput(Call(1) + "\n" + Call(2) + "\n", 1000);
  RunRequestLoop();
  EXPECT_EQ(OutputLines(), std::vector<std::string>{R"({"jsonrpc":"2.0","id":1,"result":{}})"});
  EXPECT_EQ(Fake.Tick, 6000u);
  EXPECT_EQ(Fake.LogLines().back(),
            "tools/call t | bez odpowiedzi - klient zamknął strumień, nie czekam dłużej (t=5000ms)");
}

TEST_F(EventLoopTest, TheEndOfInputWaitsForNoCallTheClientCancelled) {
  Delays[Call(1)] = 60000;
  Delays[Call(2)] = 3000;
  Fake.AddInput(Call(1) + "\n" + Call(2) + "\n", 1000);
  Fake.AddInput(Cancel(1), 1500);
  RunRequestLoop();
  EXPECT_EQ(OutputLines(), std::vector<std::string>{R"({"jsonrpc":"2.0","id":2,"result":{}})"});
  EXPECT_EQ(Fake.Tick, 4000u);  // call 2's answer, not 5 s after the end of input
}

TEST_F(RequestLoopTest, AClientOfRevision20260728GetsItsNoticesOnTheSubscriptionsThatAskedForThem) {
  const std::string meta = R"("_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28"})";
  const std::string asks = R"(,"method":"subscriptions/listen","params":{"notifications":{"toolsListChanged":true},)";
  Send(R"({"jsonrpc":"2.0","id":"probe","method":"server/discover"})");
  EXPECT_EQ(Fake.EnumCalls, 0);  // a probe asks nobody
  for (const char* id : {"\"a\"", "\"b\""}) Send(R"({"jsonrpc":"2.0","id":)" + std::string(id) + asks + meta + "}}");
  Send(R"({"jsonrpc":"2.0","id":"c","method":"subscriptions/listen","params":{)" + meta + "}}");
  Send(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":"b",)" + meta + "}}");
  Send(R"({"jsonrpc":"2.0","id":1,"method":"tools/list","params":{)" + meta + "}}");
  Send(R"({"jsonrpc":"2.0","id":2,"method":"tools/list","params":{"_meta":{"io.modelcontextprotocol/protocolVersion":"2099-01-01"}}})");
  EXPECT_EQ(OutputLines().at(4).find(R"({"jsonrpc":"2.0","id":1,"result":{"resultType":"complete","ttlMs":0,"cacheScope":"private","_meta":{)"), 0u);
  EXPECT_EQ(OutputLines().at(5).find(R"({"jsonrpc":"2.0","id":2,"error":{"code":-32022,)"), 0u);
  Fake.Output.clear();
  StartCrm();
  Send(R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"x",)" + meta + "}}");
  EXPECT_EQ(OutputLines(), (std::vector<std::string>{
                               R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed","params":{"_meta":{"io.modelcontextprotocol/subscriptionId":"a"}}})",
                               R"({"jsonrpc":"2.0","id":3,"result":{"resultType":"complete","_meta":{"io.modelcontextprotocol/serverInfo":{"name":"orvin-crm","title":"Orvin CRM","version":"1.0"}}}})"}));
  ASSERT_EQ(Fake.HttpRequests.size(), 1u);  // neither the probe, a listen nor a subscription's end reached Orvin
  EXPECT_EQ(JsonRawValue(Fake.HttpRequests[0].Body, "id"), "3");
  const std::vector<std::string> log = Fake.LogLines();
  EXPECT_EQ(std::count(log.begin(), log.end(), "subscriptions/listen | koniec subskrypcji \"b\" - anulowana przez klienta"), 1);
}

TEST_F(EventLoopTest, ProgressComesFiveSecondsAfterARequestWentOutThenEveryTenUntilItsAnswer) {
  const std::string modern = R"(,"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28","progressToken":7})";
  Delays[Call(1, R"(,"_meta":{"progressToken":"a"})")] = 26000;
  Delays[Call(2)] = 26000;
  Delays[Call(3, modern)] = 6000;
  Fake.AddInput(Call(1, R"(,"_meta":{"progressToken":"a"})") + "\n" + Call(2) + "\n" + Call(3, modern) + "\n" +
                    R"({"jsonrpc":"2.0","method":"notifications/x","params":{"_meta":{"progressToken":"n"}}})" "\n",
                1000);
  Fake.AddInput("{\"jsonrpc\":\"2.0\",\"id\":4,\"method\":\"ping\"}\n", 30000);
  EXPECT_EQ(LinesAt({5999, 6001, 15999, 16001, 25999, 26001}), (std::vector<std::size_t>{0, 2, 3, 4, 4, 5}));
  const std::vector<std::string> out = OutputLines();
  ASSERT_EQ(out.size(), 8u);
  EXPECT_EQ(std::vector<std::string>(out.begin(), out.begin() + 2), (std::vector<std::string>{Notice("\"a\"", 5), Notice("7", 5)}));
  EXPECT_EQ(JsonRawValue(out[2], "id"), "3");
  EXPECT_EQ(std::vector<std::string>(out.begin() + 3, out.begin() + 5), (std::vector<std::string>{Notice("\"a\"", 15), Notice("\"a\"", 25)}));
  EXPECT_EQ(JsonRawValue(out[5], "id"), "1");
  const std::vector<std::string> log = Fake.LogLines();
  EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& line) { return line.find("tools/call t |") == 0; }),
            3);  // none for a notice
}

TEST_F(EventLoopTest, NoProgressAfterACancelOrTheEndOfInput) {
  Delays[Call(1, R"(,"_meta":{"progressToken":"a"})")] = 60000;
  Delays[Call(2, R"(,"_meta":{"progressToken":-2.5e1})")] = 60000;
  Fake.AddInput(Call(1, R"(,"_meta":{"progressToken":"a"})") + "\n" + Call(2, R"(,"_meta":{"progressToken":-2.5e1})") + "\n" +
                    Call(3, R"(,"_meta":{"progressToken":true})") + "\n",
                1000);
  Fake.AddInput(Cancel(1), 8000);
  Fake.AddInput("\n", 15500);  // the end of input comes before the notice of 16000
  RunRequestLoop();
  EXPECT_EQ(OutputLines(), (std::vector<std::string>{R"({"jsonrpc":"2.0","id":3,"result":{}})", Notice("\"a\"", 5),
                                                     Notice("-2.5e1", 5)}));
}

// A client that gave up calls again with the same arguments, in any order and spelling.
TEST_F(EventLoopTest, ARetryOfAnAbandonedCallWaitsForItsAnswerAndTakesIt) {
  const std::string first = Call(1, R"(,"arguments":{"a":1,"b":[1,2]},"_meta":{"progressToken":"p1"})");
  const std::string retry = Call(2, R"(,"arguments":{ "b":[1, 2], "a":1.0 },"_meta":{"progressToken":"p2"})");
  Delays[first] = 12000;
  Fake.AddInput(first + "\n", 1000);
  Fake.AddInput(Cancel(1) + retry + "\n" + Call(3, R"(,"arguments":{"a":2,"b":[1,2]})") + "\n", 3500);
  Fake.AddInput(Call(5, R"(,"arguments":{"a":1,"b":[1,2]})") + "\n", 4000);
  Fake.AddInput(Cancel(5), 5000);  // a waiting retry, cancelled: nothing goes out for it
  Fake.AddInput(Call(4, R"(,"arguments":{"b":[1,2],"a":1})") + "\n", 14000);
  RunRequestLoop();
  std::vector<std::string> sent;
  for (const FakeHttpRequest& request : Fake.HttpRequests) sent.push_back(JsonRawValue(request.Body, "id"));
  EXPECT_EQ(sent, (std::vector<std::string>{"1", "", "3", "4"}));  // the third identical call goes out
  EXPECT_EQ(OutputLines(), (std::vector<std::string>{R"({"jsonrpc":"2.0","id":3,"result":{}})", Notice("\"p2\"", 5),
                                                     R"({"jsonrpc":"2.0","id":2,"result":{}})",
                                                     R"({"jsonrpc":"2.0","id":4,"result":{}})"}));
  const std::vector<std::string> log = Fake.LogLines();
  EXPECT_NE(std::find(log.begin(), log.end(), "tools/call t | anulowane przez klienta, zanim trafiło do Orvina - nie wysyłam go"), log.end());
  EXPECT_NE(std::find(log.begin(), log.end(), "tools/call t | to samo wywołanie, które klient anulował - nie wysyłam go "
                                              "drugi raz, przekazuję odpowiedź Orvina na pierwsze (klient czekał łącznie 12000 ms)"),
            log.end());
}

// Decided by the tick: a cancel before the answer keeps it; after it, the client had it.
TEST_F(EventLoopTest, AKeptAnswerServesOneRetryForTenMinutes) {
  const struct {
    std::uint32_t Start, CancelAt, RetryAt;
    bool Served;
  } rows[] = {{1000, 2999, 4000, true}, {10000, 12001, 13000, false}, {20000, 21999, 22000 + 600000 - 1, true},
              {30000, 31999, 32000 + 600000, false}};
  std::multimap<std::uint32_t, std::string> input;  // the client's lines come in the order of time
  for (int k = 0; k < 4; ++k) {
    const std::string args = R"(,"arguments":{"k":)" + std::to_string(k) + "}";
    Delays[Call(10 * k + 1, args)] = 2000;
    input.emplace(rows[k].Start, Call(10 * k + 1, args) + "\n");
    input.emplace(rows[k].CancelAt, Cancel(10 * k + 1));
    input.emplace(rows[k].RetryAt, Call(10 * k + 2, args) + "\n");
    input.emplace(rows[k].RetryAt + 1, Call(10 * k + 3, args) + "\n");
  }
  for (const auto& line : input) Fake.AddInput(line.second, line.first);
  RunRequestLoop();
  for (int k = 0; k < 4; ++k) {
    const std::string args = R"("arguments":{"k":)" + std::to_string(k) + "}";
    const auto sent = std::count_if(Fake.HttpRequests.begin(), Fake.HttpRequests.end(),
                                    [&args](const FakeHttpRequest& request) { return request.Body.find(args) != std::string::npos; });
    EXPECT_EQ(sent, rows[k].Served ? 2 : 3) << k;
    EXPECT_NE(Fake.Output.find(R"({"jsonrpc":"2.0","id":)" + std::to_string(10 * k + 2) + R"(,"result":{}})"), std::string::npos);
  }
}

TEST_F(EventLoopTest, ARetryWhoseAbandonedCallFailsGetsWhatThatOneWouldHaveHad) {
  const auto echo = Fake.Endpoint;
  Fake.Endpoint = [echo, this](const FakeHttpRequest& request) {
    FakeHttpResponse response = echo(request);
    response.Delay = 3000;
    if (request.Body == Call(1, R"(,"arguments":{"k":1})") || request.Body == Call(7, R"(,"arguments":{"k":5})")) {  // it may have run
      response.Failure = HttpFailure::Read;
      response.ErrorCode = 10054;
      response.ReadFailsAfter = 0;
    } else if (request.Body == Call(3, R"(,"arguments":{"k":3})")) {  // it cannot have run
      response.Status = 401;
    }
    return response;
  };
  Fake.AddInput(Call(1, R"(,"arguments":{"k":1})") + "\n", 1000);
  Fake.AddInput(Cancel(1) + Call(2, R"(,"arguments":{"k":1})") + "\n", 1500);
  Fake.AddInput(Call(3, R"(,"arguments":{"k":3})") + "\n", 10000);
  Fake.AddInput(Cancel(3) + Call(4, R"(,"arguments":{"k":3})") + "\n", 10500);
  Fake.AddInput(Call(7, R"(,"arguments":{"k":5})") + "\n", 12500);
  Fake.AddInput(Cancel(7), 13000);
  Fake.AddInput(Call(8, R"(,"arguments":{"k":5})") + "\n", 17000);  // after it ended: its error was kept
  Fake.AddInput("{\"jsonrpc\":\"2.0\",\"id\":5,\"method\":\"ping\"}\n", 20000);
  RunRequestLoop();
  const std::vector<std::string> out = OutputLines();
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[2].find(R"({"jsonrpc":"2.0","id":8,"error":{"code":-32000,"message":"Orvin nie odpowiedział)"), 0u);
  EXPECT_TRUE(std::none_of(Fake.HttpRequests.begin(), Fake.HttpRequests.end(),
                           [](const FakeHttpRequest& request) { return JsonRawValue(request.Body, "id") == "8"; }));
  EXPECT_EQ(out[0].find(R"({"jsonrpc":"2.0","id":2,"error":{"code":-32000,"message":"Orvin nie odpowiedział)"), 0u);
  EXPECT_NE(out[0].find("MOGŁO"), std::string::npos);
  EXPECT_EQ(out[1], R"({"jsonrpc":"2.0","id":4,"result":{}})");  // on a new link, sent itself
  EXPECT_EQ(Fake.HandshakeRequests.size(), 2u);
  EXPECT_EQ(JsonRawValue(Fake.HttpRequests.at(Fake.HttpRequests.size() - 3).Body, "id"), "4");
}
