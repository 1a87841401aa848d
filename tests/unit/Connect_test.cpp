#include "link/Connect.h"

#include "common/Encodings.h"
#include "tests/unit/BridgeTest.h"

class ConnectTest : public BridgeTest {
 protected:
  void SetUp() override {
    BridgeTest::SetUp();
    SetArgs({"-dir", "C:\\Crm"});
    LinkState.ProxyWindow = CreateProxyWindow();
    ASSERT_NE(LinkState.ProxyWindow, 0u);
  }

  // An instance in the configured folder that answers every request at once.
  void AddInstance(const std::string& answer, const std::string& folder = "C:\\Crm\\") {
    Fake.AddCrmWindow(folder + "Orvin.exe").OnCopyData = [this, answer](const std::string&) {
      Fake.AnswerNow(answer);
      return true;
    };
  }

  bool Connect(std::string& message, bool& refused) {
    const TConnectOutcome outcome = RunAttempt(false);
    message = outcome.Message;
    refused = outcome.Refused;
    if (outcome.Ok) {
      LinkState.Port = outcome.Port;
      LinkState.Token = outcome.Token;
    }
    return outcome.Ok;
  }
};

TEST_F(ConnectTest, NoWindowAtAll) {
  std::string message;
  bool refused = true;
  EXPECT_FALSE(Connect(message, refused));
  EXPECT_EQ(message, "Nie znaleziono uruchomionego Orvina (szukam w katalogu C:\\Crm\\).");
  EXPECT_FALSE(refused);
  EXPECT_TRUE(Fake.LogLines().empty());
}

TEST_F(ConnectTest, LookAlikesFromOtherFolders) {
  AddInstance("OK\r\n1\r\nt", "D:\\Other\\");
  AddInstance("OK\r\n1\r\nt", "D:\\Third\\");
  AddInstance("OK\r\n1\r\nt", "D:\\OTHER\\");
  std::string message;
  bool refused = false;
  EXPECT_FALSE(Connect(message, refused));
  EXPECT_EQ(message, "Znaleziono 3 okien wyglądających jak Orvin, ale żadne nie należy do programu z katalogu "
                          "C:\\Crm\\ (działają z: D:\\Other\\, D:\\Third\\). Uruchom Orvin z tego katalogu "
                          "albo wskaż właściwy katalog przełącznikiem -dir.");
  EXPECT_TRUE(Fake.HandshakeRequests.empty());
}

TEST_F(ConnectTest, DifferentRightsAreNamedAsTheCause) {
  const std::string rights =
      "Orvin i OrvinMCP działają z różnymi uprawnieniami (jeden z nich jako administrator). Uruchom oba tak "
           "samo: oba zwyczajnie albo oba jako administrator (kod 5).";
  AddInstance("OK\r\n1\r\nt");
  Fake.ProtectedProcesses.insert(Fake.Windows.back().ProcessId);
  std::string message;
  bool refused = false;
  EXPECT_FALSE(Connect(message, refused));
  EXPECT_EQ(message, "Znaleziono 1 okien wyglądających jak Orvin, ale Windows nie pozwala sprawdzić, z którego "
                          "katalogu działają: " + rights);

  AddInstance("OK\r\n1\r\nt", "D:\\Other\\");
  EXPECT_FALSE(Connect(message, refused));
  EXPECT_EQ(message, "Znaleziono 2 okien wyglądających jak Orvin, ale żadne nie należy do programu z katalogu "
                          "C:\\Crm\\ (działają z: D:\\Other\\). Uruchom Orvin z tego katalogu albo wskaż właściwy "
                          "katalog przełącznikiem -dir. Dla 1 z nich Windows nie pozwala sprawdzić katalogu: " + rights);

  // Read with limited rights, it is found; then Windows keeps the request from it.
  Fake.ProtectedProcesses.clear();
  Fake.Windows.front().SendError = 5;
  EXPECT_FALSE(Connect(message, refused));
  EXPECT_EQ(message, "Windows nie dopuścił żądania do Orvina: " + rights);
  EXPECT_FALSE(refused);
  EXPECT_TRUE(Fake.HandshakeRequests.empty());
  EXPECT_EQ(Fake.CopyDataAllowedFor, 0u);  // the filter opens only for a bridge started as administrator
  Fake.Elevated = true;
  const WindowHandle elevated = CreateProxyWindow();
  EXPECT_EQ(Fake.CopyDataAllowedFor, elevated);
}

TEST_F(ConnectTest, OneInstanceWithoutAKey) {
  AddInstance("OK\r\n8123\r\ntok\r\n");
  std::string message = "x";
  bool refused = true;
  ASSERT_TRUE(Connect(message, refused));
  EXPECT_EQ(message, "");
  EXPECT_FALSE(refused);
  EXPECT_EQ(LinkState.Port, 8123);
  EXPECT_EQ(LinkState.Token, "tok");
  EXPECT_FALSE(LinkState.Connected);  // marking the link up is the caller's step
  EXPECT_EQ(Fake.LogLines().front(), "Znalazłem okno Orvina (1 z 1) - pytam o port i token.");
}

TEST_F(ConnectTest, WithAKeyNoInstanceFits) {
  SetArgs({"-dir", "C:\\Crm", "-mcp", "k1"});
  AddInstance("OTHER\r\n\r\n\r\n\r\nMCP=");
  AddInstance("OK\r\n8123\r\ntok");
  std::string message;
  bool refused = true;
  EXPECT_FALSE(Connect(message, refused));
  EXPECT_FALSE(refused);
  EXPECT_EQ(message, "Żaden Orvin z katalogu C:\\Crm\\ nie ma klucza MCP \"k1\" (działają: (bez klucza), starszy "
                          "Orvin bez obsługi klucza). Uruchom Orvin z przełącznikiem -mcp k1 albo popraw klucz w "
                          "konfiguracji klienta MCP.");
  EXPECT_EQ(LinkState.Port, 0);
}

TEST_F(ConnectTest, WithAKeyTheFittingInstanceIsChosen) {
  SetArgs({"-dir", "C:\\Crm", "-mcp", "k2"});
  AddInstance("OTHER\r\n\r\n\r\n\r\nMCP=k1");
  AddInstance("OK\r\n9000\r\nsecond\r\n\r\nMCP=k2");
  AddInstance("OK\r\n9001\r\nthird\r\n\r\nMCP=k2");
  std::string message;
  bool refused = false;
  ASSERT_TRUE(Connect(message, refused));
  EXPECT_EQ(LinkState.Token, "second");
  EXPECT_EQ(Fake.HandshakeRequests.size(), 2u);  // later windows are not asked
  EXPECT_EQ(Fake.HandshakeRequests[1], "1\r\n2755260\r\n0\r\nMCP=k2");
}

TEST_F(ConnectTest, WithoutAKeyEveryInstanceHasOne) {
  AddInstance("OTHER\r\n\r\n\r\n\r\nMCP=k1");
  std::string message;
  bool refused = false;
  EXPECT_FALSE(Connect(message, refused));
  EXPECT_EQ(message, "Każdy Orvin z katalogu C:\\Crm\\ ma klucz MCP (działają: \"k1\"), a ten wpis go nie podaje. "
                          "Dodaj w konfiguracji klienta MCP \"args\": [\"-mcp\", \"<klucz>\"].");
}

TEST_F(ConnectTest, WithoutAKeyAnInstanceAfterAKeyedOneIsChosen) {
  AddInstance("OTHER\r\n\r\n\r\n\r\nMCP=k1");
  AddInstance("OK\r\n8123\r\ntok");
  std::string message;
  bool refused = false;
  EXPECT_TRUE(Connect(message, refused));
  EXPECT_EQ(message, "");
}

TEST_F(ConnectTest, Refusals) {
  AddInstance("DENIED\r\n0\r\n\r\n");
  std::string message;
  bool refused = false;
  EXPECT_FALSE(Connect(message, refused));
  EXPECT_TRUE(refused);
  EXPECT_EQ(message, "Orvin odmówił dostępu (DENIED).");

  Fake.Windows.clear();
  AddInstance("NOPERM\r\n0\r\n\r\nU\xbfytkownik nie ma uprawnie\xf1.");  // ANSI, as the CRM application writes it
  EXPECT_FALSE(Connect(message, refused));
  EXPECT_TRUE(refused);
  EXPECT_EQ(message, "Użytkownik nie ma uprawnień.");

  Fake.Windows.clear();
  AddInstance("BUSY\r\n");
  EXPECT_FALSE(Connect(message, refused));
  EXPECT_FALSE(refused);
  EXPECT_EQ(message, "Orvin odmówił dostępu (BUSY).");

  Fake.Windows.clear();
  AddInstance("");
  EXPECT_FALSE(Connect(message, refused));
  EXPECT_FALSE(refused);
  EXPECT_EQ(message, "Pusta odpowiedź z Orvina.");
}

TEST_F(ConnectTest, WithAKeyARefusalWithoutKeyLineIsAnOlderInstance) {
  SetArgs({"-dir", "C:\\Crm", "-mcp", "k1"});
  AddInstance("NOPERM\r\n0\r\n\r\n");
  std::string message;
  bool refused = true;
  EXPECT_FALSE(Connect(message, refused));
  EXPECT_FALSE(refused);
  EXPECT_NE(message.find("starszy Orvin bez obsługi klucza"), std::string::npos);
}

TEST_F(ConnectTest, ReadyWithoutPortOrToken) {
  LinkState.Port = 77;
  AddInstance("OK\r\n0\r\ntok");
  std::string message;
  bool refused = true;
  EXPECT_FALSE(Connect(message, refused));
  EXPECT_FALSE(refused);
  EXPECT_EQ(message, "Orvin zgłosił gotowość, ale nie podał portu albo tokenu.");
  EXPECT_EQ(LinkState.Port, 77);
  for (const char* answer : {"OK\r\n5\r\n  ", "OK\r\n65536\r\ntok", "OK\r\n73659\r\ntok", "OK\r\n-8123\r\ntok"}) {
    Fake.Windows.clear();
    AddInstance(answer);  // 73659 would be port 8123 once cut to 16 bits
    EXPECT_FALSE(Connect(message, refused));
    EXPECT_EQ(message, "Orvin zgłosił gotowość, ale nie podał portu albo tokenu.");
  }
  Fake.Windows.clear();
  AddInstance("OK\r\n65535\r\ntok");
  EXPECT_TRUE(Connect(message, refused));
}

TEST_F(ConnectTest, NoWindowAnswersAndTheLastReasonIsGiven) {
  for (int i = 0; i < 3; ++i) Fake.AddCrmWindow("C:\\Crm\\Orvin.exe").OnCopyData = [](const std::string&) { return false; };
  std::string message;
  bool refused = false;
  EXPECT_FALSE(Connect(message, refused));
  EXPECT_EQ(message, "Orvin nie odpowiedział na żądanie w wyznaczonym czasie.");
  EXPECT_EQ(Fake.LogLines(), (std::vector<std::string>{
                                 "Znalazłem okno Orvina (1 z 3) - pytam o port i token.",
                                 "Znalazłem okno Orvina (2 z 3) - pytam o port i token.",
                                 "Znalazłem okno Orvina (3 z 3) - pytam o port i token.",
                             }));
}
