#include "core/Startup.h"

#include "common/Encodings.h"
#include "tests/unit/CrmDouble.h"

class StartupTest : public CrmTest {
 protected:
  void SetUp() override {
    CrmTest::SetUp();
    LinkState = TLinkState();  // start-up makes its own proxy window
  }

  // Pings at 1, 9 and 30 s on an input that is never closed; gives the time the bridge ended.
  std::uint32_t ParentEndsAt8000WhileTheClientReadsUntil(std::uint32_t readerGoneAt) {
    for (std::uint32_t at : {1000u, 9000u, 30000u}) Fake.AddInput(R"({"jsonrpc":"2.0","id":1,"method":"ping"})" "\n", at);
    Fake.AddInput("\n", 900000);
    Fake.ParentEndsAt = 8000;
    Fake.At(readerGoneAt, [this] { Fake.OutputWriteError = 232; });
    EXPECT_EQ(RunBridge(), 0);
    return Fake.Tick;
  }
  const std::string kParentEnded = "Program, który uruchomił OrvinMCP, zakończył działanie";
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
  for (OsHandle* missing : {&Fake.InputHandleValue, &Fake.OutputHandleValue}) {
    Fake.InputHandleValue = 100;
    Fake.OutputHandleValue = 101;
    *missing = kNullHandle;  // no standard handle at all
    EXPECT_EQ(RunBridge(), 2);
  }
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
  EXPECT_EQ(Fake.Output.find("{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{\"supportedVersions\":[\"2026-07-28\"]"), 0u);
  EXPECT_EQ(Fake.LogLines(), (std::vector<std::string>{
                                 "Start. Szukam Orvina w katalogu: C:\\Crm\\, klucz MCP: \"k1\"",
                                 "server/discover | odpowiedź własna",
                                 "Klient zamknął strumień - kończę pracę.",
                             }));
  EXPECT_EQ(Fake.EnumCalls, 0);  // a probe from a process that is gone a moment later asks nobody
  EXPECT_TRUE(Fake.ProxyDestroyed);
}

// A launcher (`start /b`) hands its streams on and ends at once: the client still
// reads. A client that died may leave our input open in a process that inherited
// it: nobody reads then. Either way a failed answer is the end.
TEST_F(StartupTest, TheEndOfTheParentIsTheEndOnlyWhenNobodyReads) {
  EXPECT_EQ(ParentEndsAt8000WhileTheClientReadsUntil(20000), 30000u);
  EXPECT_EQ(Fake.Output.size(), 2 * 37u);
  const std::vector<std::string> log = Fake.LogLines();
  EXPECT_NE(std::find(log.begin(), log.end(), kParentEnded + ", ale klient nadal odbiera odpowiedzi - pracuję dalej."),
            log.end());
  EXPECT_EQ(log.at(log.size() - 2), "Klient nie odbiera już odpowiedzi - nie przyjmuję nowych żądań i kończę pracę.");
  EXPECT_EQ(log.back(), "Klient zamknął strumień - kończę pracę.");
}

// Only a reader that is gone ends the input: another failed write leaves the watch for the next one.
TEST_F(StartupTest, OnlyAGoneReaderEndsTheInput) {
  for (std::uint32_t at : {1000u, 2000u}) Fake.AddInput(R"({"jsonrpc":"2.0","id":1,"method":"ping"})" "\n", at);
  Fake.AddInput("\n", 900000);
  Fake.OutputWriteError = 1816;  // ERROR_NOT_ENOUGH_QUOTA
  Fake.At(1500, [this] { Fake.OutputWriteError = 232; });
  EXPECT_EQ(RunBridge(), 0);
  EXPECT_EQ(Fake.Tick, 2000u);
  const std::vector<std::string> log = Fake.LogLines();
  EXPECT_EQ(log.at(log.size() - 2), "Klient nie odbiera już odpowiedzi - nie przyjmuję nowych żądań i kończę pracę.");
}

TEST_F(StartupTest, TheEndOfTheParentWhoseClientIsGoneIsTheEnd) {
  EXPECT_EQ(ParentEndsAt8000WhileTheClientReadsUntil(7000), 8000u);
  const std::vector<std::string> log = Fake.LogLines();
  EXPECT_EQ(log.at(log.size() - 2), kParentEnded + " - nie przyjmuję nowych żądań i kończę pracę.");
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

// A double click: the console gets, as wide text whatever its code page, what
// this is and entries to paste that name this very file. Then the bridge waits
// for Enter, and only looks for windows.
TEST_F(StartupTest, StartedByHandExplainsAndWaitsForEnter) {
  Fake.Args = {"C:\\Biuro Łódź\\Ω\\OrvinMCP.exe"};
  Fake.InputIsConsole = true;
  Fake.ErrorFileType = FileType::Char;
  Fake.ConsoleCodePage = 437;  // of the Polish letters only ó
  Fake.ConsoleKeys = {u't', u'\r', u'x'};
  EXPECT_EQ(RunBridge(), 2);
  EXPECT_EQ(Fake.ConsoleKeys.size(), 1u);
  EXPECT_EQ(Fake.EnumCalls, 1);
  EXPECT_TRUE(Fake.HandshakeRequests.empty());
  std::string expected = "OrvinMCP " ORVIN_VERSION R"( - łącznik między klientem MCP (aplikacją czatu z AI albo edytorem kodu z asystentem) a programem Orvin CRM.

Tego programu nie uruchamia się ręcznie. Uruchamia go klient MCP, gdy wpiszesz go do konfiguracji klienta. Gotowe wpisy z położeniem tego pliku:

Aplikacja czatu (np. plik claude_desktop_config.json):
{
  "mcpServers": {
    "orvin": {
      "command": "C:\\Biuro Łódź\\Ω\\OrvinMCP.exe",
      "args": ["-dir", "C:\\Biuro Łódź\\Ω"]
    }
  }
}

Edytor kodu (plik mcp.json):
{
  "servers": {
    "orvin": {
      "type": "stdio",
      "command": "C:\\Biuro Łódź\\Ω\\OrvinMCP.exe",
      "args": ["-dir", "C:\\Biuro Łódź\\Ω"]
    }
  }
}

Po "-dir" stoi katalog programu Orvin CRM, tu katalog tego pliku; jeśli Orvin CRM jest zainstalowany gdzie indziej, wpisz jego katalog. Gdy działa kilka Orvinów z kluczami MCP, dopisz do "args" jeszcze "-mcp", "<klucz>".

Orvin CRM z katalogu C:\Biuro Łódź\Ω\ teraz nie działa.

Nie znalazłem na tym koncie Windows żadnego klienta MCP, do którego umiem dopisać OrvinMCP.

Naciśnij Enter, aby zakończyć.
)";
  for (std::size_t at = 0; (at = expected.find('\n', at)) != std::string::npos; at += 2) expected.insert(at, 1, '\r');
  EXPECT_EQ(WideToUtf8(Fake.ErrorConsole), expected);
  EXPECT_EQ(Fake.ErrorOutput, "");
}
