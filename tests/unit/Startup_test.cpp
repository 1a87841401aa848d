#include "core/Startup.h"

#include "tests/unit/CrmDouble.h"

class StartupTest : public CrmTest {
 protected:
  void SetUp() override {
    CrmTest::SetUp();
    LinkState = TLinkState();  // start-up makes its own proxy window
  }
};

TEST_F(StartupTest, WithoutStandardStreamsNothingElseHappens) {
  Fake.InputHandleValue = kInvalidHandle;
  EXPECT_EQ(RunBridge(), 2);
  EXPECT_EQ(Fake.LogLines(), std::vector<std::string>{
                                 "Brak strumieni standardowych - ten program uruchamia klient MCP, nie użytkownik."});
  EXPECT_EQ(Fake.EnumCalls, 0);

  Fake.InputHandleValue = 100;
  Fake.OutputHandleValue = kInvalidHandle;
  EXPECT_EQ(RunBridge(), 2);
}

TEST_F(StartupTest, WithoutTheProxyWindow) {
  Fake.FailCreateWindow = true;
  EXPECT_EQ(RunBridge(), 3);
  EXPECT_EQ(Fake.LogLines(), std::vector<std::string>{"Nie udało się utworzyć okna do odbioru odpowiedzi (kod 1407)."});
}

TEST_F(StartupTest, ClosedInputEndsTheProcessAndNoAttemptComesBeforeTheFirstMessage) {
  SetArgs({"-dir", "C:\\Crm", "-mcp", " k1 "});
  Fake.AddInput("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"server/discover\"}\n");
  EXPECT_EQ(RunBridge(), 0);
  EXPECT_EQ(Fake.Output, "{\"jsonrpc\":\"2.0\",\"id\":1,\"error\":{\"code\":-32601,\"message\":\"Method not found\"}}\n");
  EXPECT_EQ(Fake.LogLines(), (std::vector<std::string>{
                                 "Start. Szukam Orvina w katalogu: C:\\Crm\\, klucz MCP: \"k1\"",
                                 "server/discover | odpowiedź własna: nieznana metoda (-32601), brak Orvina",
                                 "Klient zamknął strumień - kończę pracę.",
                             }));
  EXPECT_EQ(Fake.EnumCalls, 0);  // a probe from a process that is gone a moment later asks nobody
  EXPECT_TRUE(Fake.ProxyDestroyed);
}

TEST_F(StartupTest, LinkedAtStartAndServing) {
  StartCrm();
  Fake.AddInput("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"tools/list\"}\n");
  EXPECT_EQ(RunBridge(), 0);
  EXPECT_EQ(Fake.HandshakeRequests.at(0), "1\r\n2755260\r\n1\r\nMCP=");
  EXPECT_EQ(Fake.HttpRequests.size(), 1u);
  EXPECT_EQ(Fake.Output, "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{}}\n");
  const std::vector<std::string> log = Fake.LogLines();
  EXPECT_EQ(log.at(0), "Start. Szukam Orvina w katalogu: C:\\Crm\\, klucz MCP: (bez klucza)");
  EXPECT_EQ(log.at(3), "Połączono z Orvinem na porcie 8123.");
}

TEST_F(StartupTest, ARefusalAtStartDoesNotStopBackgroundAttempts) {
  StartCrm("DENIED\r\n");
  Fake.AddInput("{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}\n", 1000 + 100);
  Fake.AddInput("\n", 1000 + 3200);
  EXPECT_EQ(RunBridge(), 0);
  EXPECT_EQ(Fake.HandshakeRequests.size(), 2u);  // start-up, then the first idle attempt
}
