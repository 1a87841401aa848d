#include "mcp/LocalMessages.h"

#include <utility>
#include <vector>

#include "common/Encodings.h"
#include "mcp/ModernEra.h"
#include "tests/unit/BridgeTest.h"

using LocalMessagesTest = BridgeTest;

TEST_F(LocalMessagesTest, ErrorReply) {
  EXPECT_EQ(MakeErrorReply("4", "x"), R"({"jsonrpc":"2.0","id":4,"error":{"code":-32000,"message":"x"}})");
  EXPECT_EQ(MakeErrorReply("\"req-1\"", "a\"b\\c\nd \xc5\x82"),
            "{\"jsonrpc\":\"2.0\",\"id\":\"req-1\",\"error\":{\"code\":-32000,\"message\":\"a\\\"b\\\\c\\nd \xc5\x82\"}}");
}

TEST_F(LocalMessagesTest, InitializeEchoesTheClientsProtocolVersion) {
  const std::string expected =
      R"({"jsonrpc":"2.0","id":0,"result":{"protocolVersion":"2025-06-18","capabilities":{"tools":{"listChanged":true}},"serverInfo":{"name":"orvin-crm","title":"Orvin CRM","version":"1.0"}}})";
  EXPECT_EQ(MakeInitializeReply(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{}})", "0"), expected);
  auto version = [](const std::string& params) {
    const std::string reply = MakeInitializeReply(R"({"id":1,"method":"initialize","params":{)" + params + "}}", "1");
    const std::size_t start = reply.find("\"protocolVersion\":\"") + 19;
    return reply.substr(start, reply.find("\",", start) - start);
  };
  EXPECT_EQ(version(R"("protocolVersion":"2025-03-26")"), "2025-03-26");
  EXPECT_EQ(version(R"("protocolVersion":"")"), "2025-06-18");
  EXPECT_EQ(version(R"("protocolVersion":"   ")"), "2025-06-18");
  EXPECT_EQ(version(R"("protocolVersion":" 2025-03-26 ")"), " 2025-03-26 ");
  EXPECT_EQ(version(R"("protocolVersion":"2025\u002d03")"), "2025\\u002d03");
  // Only a string is a version: anything else would break the reply.
  EXPECT_EQ(version(R"("protocolVersion":5)"), "2025-06-18");
  EXPECT_EQ(version(R"("protocolVersion":{"v":1})"), "2025-06-18");
  EXPECT_EQ(version(R"("protocolVersion":["2025-03-26"])"), "2025-06-18");
  // A version named inside the client's own data is not the request's.
  EXPECT_EQ(version(R"("clientInfo":{"protocolVersion":"1999"})"), "2025-06-18");
}

TEST_F(LocalMessagesTest, PlaceholderToolList) {
  EXPECT_EQ(MakePlaceholderToolList("12"),
            "{\"jsonrpc\":\"2.0\",\"id\":12,\"result\":{\"tools\":[{\"name\":\"orvin_connect\",\"description\":\""
            "\xc5\x81\xc4\x85" "czy z Orvin CRM. Wywo\xc5\x82" "aj to narz\xc4\x99" "dzie, gdy potrzebujesz danych z "
            "Orvina, a na li\xc5\x9b" "cie narz\xc4\x99" "dzi Orvina jest tylko ono. Je\xc5\x9bli Orvin dzia\xc5\x82"
            "a, mo\xc5\xbc" "e pokaza\xc4\x87 u\xc5\xbcytkownikowi pytanie o zgod\xc4\x99 na po\xc5\x82\xc4\x85"
            "czenie - popro\xc5\x9b go o zatwierdzenie. Je\xc5\x9bli Orvin nie dzia\xc5\x82" "a, popro\xc5\x9b o jego "
            "uruchomienie i wywo\xc5\x82" "aj narz\xc4\x99" "dzie ponownie.\",\"inputSchema\":{\"type\":\"object\","
            "\"properties\":{}}}]}}");
}

TEST_F(LocalMessagesTest, NotConnectedResult) {
  EXPECT_EQ(MakeNotConnectedResult("3", ""),
            "{\"jsonrpc\":\"2.0\",\"id\":3,\"result\":{\"content\":[{\"type\":\"text\",\"text\":\"Brak po\xc5\x82\xc4\x85"
            "czenia z Orvin CRM:  Uruchom Orvin CRM albo zatwierd\xc5\xba w nim pytanie o zgod\xc4\x99, a potem pon\xc3\xb3w "
            "\xc5\xbc\xc4\x85" "danie.\"}],\"isError\":true}}");
  const std::string withReason = MakeNotConnectedResult("3", "Nie znaleziono \"Orvina\".");
  EXPECT_NE(withReason.find("CRM: Nie znaleziono \\\"Orvina\\\". Uruchom"), std::string::npos);
}

TEST_F(LocalMessagesTest, ConnectedResultAndNotice) {
  EXPECT_EQ(MakeConnectedResult("\"c\""),
            "{\"jsonrpc\":\"2.0\",\"id\":\"c\",\"result\":{\"content\":[{\"type\":\"text\",\"text\":\"Po\xc5\x82\xc4\x85"
            "czono z Orvin CRM. Ta rozmowa ma jeszcze star\xc4\x85 list\xc4\x99 narz\xc4\x99" "dzi: w czacie od\xc5\x9b"
            "wie\xc5\xbc" "y si\xc4\x99 ona sama w ci\xc4\x85gu kilku sekund, w Claude Code narz\xc4\x99" "dzia Orvina "
            "b\xc4\x99" "d\xc4\x85 widoczne w nowej sesji.\"}]}}");
  EXPECT_EQ(MakeListChangedNotice(), R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed"})");
}

TEST_F(LocalMessagesTest, RevisionOfALineComesOnlyFromParamsMeta) {
  const std::string key = R"("io.modelcontextprotocol/protocolVersion")";
  const std::vector<std::pair<std::string, std::string>> rows = {
      {R"({"id":1,"method":"tools/list","params":{"_meta":{)" + key + R"(:"2026-07-28"}}})", R"("2026-07-28")"},
      {R"({"params":{"cursor":"a","_meta":{"x":{"y":1},)" + key + R"(:"2026-07-28"}},"id":1})", R"("2026-07-28")"},
      {R"({"id":1,"params":{"_meta":{)" + key + R"(:20260728}}})", "20260728"},
      {R"({"id":1,"_meta":{)" + key + R"(:"2026-07-28"},"params":{}})", ""},
      {R"({"id":1,"params":{"x":{"_meta":{)" + key + R"(:"2026-07-28"}}}})", ""},
      {R"({"id":1,"params":{"text":"\"_meta\":{)" + std::string(R"(\"io.modelcontextprotocol/protocolVersion\":1}"}})"), ""},
  };
  for (const auto& row : rows) EXPECT_EQ(ModernRevision(row.first), row.second) << row.first;
  EXPECT_TRUE(SpeaksRevision(R"("2026-07-28")"));
  EXPECT_FALSE(SpeaksRevision("20260728"));
  EXPECT_EQ(MakeUnsupportedRevisionReply("5", "20260728"),
            R"({"jsonrpc":"2.0","id":5,"error":{"code":-32022,"message":"Unsupported protocol version: 20260728","data":{"supported":["2026-07-28"],"requested":"20260728"}}})");
}

TEST_F(LocalMessagesTest, MessagesOfRevision20260728) {
  EXPECT_EQ(MakeDiscoverReply(R"("p")"),
            R"({"jsonrpc":"2.0","id":"p","result":{"supportedVersions":["2026-07-28"],"capabilities":{"tools":{"listChanged":true}},"resultType":"complete","ttlMs":0,"cacheScope":"private","_meta":{"io.modelcontextprotocol/serverInfo":{"name":"orvin-crm","title":"Orvin CRM","version":"1.0"}}}})");
  EXPECT_EQ(MakeSubscriptionAcknowledged(R"("listen:0")", true),
            R"({"jsonrpc":"2.0","method":"notifications/subscriptions/acknowledged","params":{"notifications":{"toolsListChanged":true},"_meta":{"io.modelcontextprotocol/subscriptionId":"listen:0"}}})");
  EXPECT_NE(MakeSubscriptionAcknowledged("3", false).find(R"("notifications":{},)"), std::string::npos);
  EXPECT_TRUE(AsksForToolListChanges(R"({"params":{"notifications":{"promptsListChanged":true,"toolsListChanged":true}}})"));
  EXPECT_FALSE(AsksForToolListChanges(R"({"params":{"notifications":{"toolsListChanged":false}}})"));
  // Members go in just after the result's brace; every other byte stays.
  const std::string info = R"("io.modelcontextprotocol/serverInfo":{"name":"orvin-crm","title":"Orvin CRM","version":"1.0"})";
  const std::string meta = R"("_meta":{)" + info + "}";
  const std::vector<std::pair<std::string, std::string>> rows = {
      {R"({"id":1,"result":{}})", R"({"id":1,"result":{"resultType":"complete","ttlMs":0,"cacheScope":"private",)" + meta + "}}"},
      {R"({"id":1,"result": { } })", R"({"id":1,"result": {"resultType":"complete","ttlMs":0,"cacheScope":"private",)" + meta + " } }"},
      {R"({"result":{"ttlMs":5,"tools":[]},"id":1})", R"({"result":{"resultType":"complete","cacheScope":"private",)" + meta + R"(,"ttlMs":5,"tools":[]},"id":1})"},
      {R"({"id":1,"result":{"resultType":"complete","ttlMs":0,"cacheScope":"public","_meta":{}}})",
       R"({"id":1,"result":{"resultType":"complete","ttlMs":0,"cacheScope":"public","_meta":{)" + info + "}}}"},
      {R"({"id":1,"result":{"_meta":{"a":1},"resultType":"complete","ttlMs":0,"cacheScope":"public"}})",
       R"({"id":1,"result":{"_meta":{)" + info + R"(,"a":1},"resultType":"complete","ttlMs":0,"cacheScope":"public"}})"},
      {R"({"id":1,"result":{"_meta":{"io.modelcontextprotocol/serverInfo":{}},"resultType":"x","ttlMs":0,"cacheScope":"y"}})",
       R"({"id":1,"result":{"_meta":{"io.modelcontextprotocol/serverInfo":{}},"resultType":"x","ttlMs":0,"cacheScope":"y"}})"},
      {R"({"id":1,"result":[1]})", R"({"id":1,"result":[1]})"},
      {R"({"id":1,"x":"\"result\":{","error":{"code":1}})", R"({"id":1,"x":"\"result\":{","error":{"code":1}})"},
  };
  for (const auto& row : rows) {
    std::string reply = row.first;
    CompleteModernResult(reply, "tools/list");
    EXPECT_EQ(reply, row.second);
  }
  std::string call = R"({"id":2,"result":{"content":[]}})";
  CompleteModernResult(call, "tools/call");
  EXPECT_EQ(call, R"({"id":2,"result":{"resultType":"complete",)" + meta + R"(,"content":[]}})");
  // The revision's code for a resource not found; nothing else changes.
  for (const auto& row : std::vector<std::pair<std::string, std::string>>{
           {R"({"id":3,"error":{"code":-32002,"message":"x"}})", R"({"id":3,"error":{"code":-32602,"message":"x"}})"},
           {R"({"id":3,"error":{"message":"-32002","code": -320020}})", R"({"id":3,"error":{"message":"-32002","code": -320020}})"},
           {R"({"id":3,"result":{"code":-32002}})", R"({"id":3,"result":{"code":-32002}})"}}) {
    std::string reply = row.first;
    CompleteModernError(reply);
    EXPECT_EQ(reply, row.second);
  }
}
