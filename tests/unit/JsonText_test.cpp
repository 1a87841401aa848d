#include "common/JsonText.h"

#include "common/Text.h"

#include "tests/unit/BridgeTest.h"

using JsonTextTest = BridgeTest;

TEST_F(JsonTextTest, RawValueTakesTopLevelMembersOnly) {
  const std::string line = R"({"jsonrpc":"2.0","id":7,"method":"tools/list"})";
  EXPECT_EQ(JsonRawValue(line, "id"), "7");
  EXPECT_EQ(JsonRawValue(line, "method"), "\"tools/list\"");
  EXPECT_EQ(JsonRawValue(line, "params"), "");
  // The order a TypeScript client writes: params, with an "id" of its own, before the id.
  const std::string call =
      R"({"method":"tools/call","params":{"name":"x","arguments":{"id":99,"method":"m"}},"jsonrpc":"2.0","id":4})";
  EXPECT_EQ(JsonRawValue(call, "id"), "4");
  EXPECT_EQ(JsonRawValue(call, "method"), "\"tools/call\"");
  EXPECT_EQ(JsonRawValue(R"({"method":"id","id":7})", "id"), "7");
  EXPECT_EQ(JsonRawValue(R"({"params":{"id":1}})", "id"), "");
  EXPECT_EQ(JsonRawValue(R"({"a":"x\"id\":3","id":5})", "id"), "5");
  EXPECT_EQ(JsonRawValue(R"({"a":["{\"id\":1}",{"id":2}],"id":"z"})", "id"), "\"z\"");
  EXPECT_EQ(JsonRawValue(R"({"id":1,"id":2})", "id"), "1");
}

TEST_F(JsonTextTest, NamesCountByTheirDecodedValue) {
  EXPECT_EQ(JsonRawValue(R"({"\u0069d":5,"method":"x"})", "id"), "5");
  EXPECT_EQ(JsonRawValue(R"({"\u0069\u0044":5,"i\/d":6,"\i":7})", "id"), "");
  EXPECT_EQ(JsonRawValue(R"({"m\u0065thod":"a","method":"b"})", "method"), "\"a\"");
  EXPECT_EQ(JsonStringValue(R"("tools\/list")"), "tools/list");
  EXPECT_EQ(JsonStringValue(R"("\u0069nitialize")"), "initialize");
  EXPECT_EQ(JsonStringValue(R"("\"\\\b\f\n\r\t\u00e9\u0142")"), "\"\\\b\f\n\r\t\xc3\xa9\xc5\x82");
  EXPECT_EQ(JsonStringValue(R"("\ud83d\ude00 \ud83d")"), "\xf0\x9f\x98\x80 \xef\xbf\xbd");
  EXPECT_EQ(JsonStringValue(R"("a\x")"), "");
  EXPECT_EQ(JsonStringValue(R"("a\u00")"), "");
  EXPECT_EQ(JsonStringValue("5"), "");
  EXPECT_EQ(JsonStringValue(R"("open)"), "");
  EXPECT_TRUE(IsJsonString(R"("")"));
  EXPECT_FALSE(IsJsonString("\"a\tb\""));
  EXPECT_FALSE(IsJsonString(R"("a"b")"));
}

TEST_F(JsonTextTest, RawValueKeepsTheTextOfTheValue) {
  EXPECT_EQ(JsonRawValue(R"({"id" : "a\"b","x":1})", "id"), R"("a\"b")");
  EXPECT_EQ(JsonRawValue(R"({"id":{"a":1,"b":[2,"]"]}})", "id"), R"({"a":1,"b":[2,"]"]})");
  EXPECT_EQ(JsonRawValue(R"({"id":[1,2]})", "id"), "[1,2]");
  EXPECT_EQ(JsonRawValue("{\"id\":{\r\"a\":1},\"x\":2}", "id"), R"({ "a":1})");
  EXPECT_EQ(JsonRawValue(R"({"id":{"a":1,"b":2)", "id"), R"({"a":1)");  // not closed: cut as ever
  EXPECT_EQ(JsonRawValue(R"({"id":null,"error":{}})", "id"), "null");
  EXPECT_EQ(JsonRawValue(R"({"id":"open)", "id"), "\"open");
  EXPECT_EQ(JsonRawValue("{\"id\":\t12\n}", "id"), "12");
}

TEST_F(JsonTextTest, LinesThatAreNoObjectHaveNoMembers) {
  EXPECT_EQ(JsonRawValue(R"(["id",1])", "id"), "");
  EXPECT_EQ(JsonRawValue(R"(x "id":1)", "id"), "");
  EXPECT_EQ(JsonRawValue("", "id"), "");
  EXPECT_EQ(JsonRawValue(R"({"id")", "id"), "");
}

TEST_F(JsonTextTest, ParamsMembersAreFoundInTheTopLevelParams) {
  const std::string line =
      R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"arguments":{"name":"inner"},"name":"klienci"}})";
  EXPECT_EQ(JsonParamsValue(line, "name"), "\"klienci\"");
  EXPECT_EQ(JsonParamsValue(R"({"name":"top","params":{}})", "name"), "");
}

TEST_F(JsonTextTest, MemberValueIsTheWholeNestedValue) {
  EXPECT_EQ(JsonMemberValue(R"({"result":{"tools":[{"a":"}"}]},"id":3})", "result"), R"({"tools":[{"a":"}"}]})");
  EXPECT_EQ(JsonMemberValue(R"({"result":{"tools":[)", "result"), "");
}

TEST_F(JsonTextTest, SingleJsonObjectIsValidJson) {
  for (const std::string& valid :
       {std::string(R"({"a":"}{"})"), std::string(" \t\r\n{\"a\":1}\r\n "), std::string("{}"),
        std::string(R"({"a":[],"b":{},"c":[true,false,null,-0,1.5e+3,2E-1,10],"d":"\"\\\/\b\f\n\r\t\u00E9\ud83d"})"),
        std::string("{ \"a\" : [ 1 , { \"b\" : \"\xc5\x82\" } ] }")}) {
    EXPECT_TRUE(IsSingleJsonObject(valid)) << valid;
  }
  for (const std::string& invalid :
       {std::string(""), std::string("  "), std::string("[]"), std::string(R"("a")"), std::string(R"({"a":1},"b":2})"),
        std::string(R"({"a":1}{})"), std::string(R"({"tools"})"), std::string(R"({"tools":[1 2 3]})"),
        std::string(R"({"a":1,})"), std::string(R"({"a":[1,]})"), std::string(R"({,"a":1})"), std::string(R"({"a":01})"),
        std::string(R"({"a":1.})"), std::string(R"({"a":.5})"), std::string(R"({"a":1e})"), std::string(R"({"a":-})"),
        std::string(R"({"a":+1})"), std::string(R"({"a":tru})"), std::string(R"({"a":True})"), std::string(R"({"a":"\x"})"),
        std::string(R"({"a":"\u12G4"})"), std::string("{\"a\":\"\t\"}"), std::string(std::string("{\"a\":\"\0\"}", 8)),
        std::string(R"({"a":"open})"), std::string(R"({"a":[}])"), std::string(R"({"a":{]})"), std::string(R"({a:1})"),
        std::string(R"({'a':1})"), std::string("{\"a\":1}\f"), std::string("{\"a\":\v1}"), std::string(R"({"a" 1})")}) {
    EXPECT_FALSE(IsSingleJsonObject(invalid)) << invalid;
  }
  // Deeper than any call stack, and each half alone is no object.
  const std::string deep = "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
  EXPECT_TRUE(IsSingleJsonObject(deep));
  EXPECT_FALSE(IsSingleJsonObject(deep.substr(0, deep.size() - 1)));
  EXPECT_FALSE(IsSingleJsonObject("{\"a\":" + std::string(100000, '[') + std::string(99999, ']') + "}"));
}

// JSONC: comments stand for whitespace and a comma may close a list, each on its own; plain JSON names the first fault.
TEST_F(JsonTextTest, CheckOfJsonWithComments) {
  const TJsonSyntax plain, jsonc{true, true}, comments{true, false};
  const std::tuple<std::string, TJsonSyntax, TJsonFault, std::size_t> rows[] = {
      {"// x\n{\"a\": [1, /* ] */ 2,], \"b\": {},}", jsonc, TJsonFault::None, 0},
      {"// x\n{\"a\": [1, /* ] */ 2,]}", plain, TJsonFault::Comment, 0},
      {"// x\n{\"a\": [1, /* ] */ 2,]}", comments, TJsonFault::TrailingComma, 24},
      {"{\"a\": [1,]}", plain, TJsonFault::TrailingComma, 8},
      {"{\"a\": [1,]} // x", TJsonSyntax{false, true}, TJsonFault::Comment, 12},
      {"{} /* open", jsonc, TJsonFault::Invalid, 3},
      {"{\"a\": 1 / 2}", jsonc, TJsonFault::Invalid, 8},
      {"{\"a\":[,]}", jsonc, TJsonFault::Invalid, 6},
      {" [{}]", jsonc, TJsonFault::NotObject, 1}};
  for (const auto& [text, syntax, fault, at] : rows) {
    const TJsonCheck check = CheckJsonObject(text, 0, syntax);
    EXPECT_TRUE(check.Fault == fault && check.At == at) << text << " at " << check.At;
  }
}

TEST_F(JsonTextTest, Unquote) {
  EXPECT_EQ(JsonUnquote("\"\""), "");
  EXPECT_EQ(JsonUnquote("\""), "\"");
  EXPECT_EQ(JsonUnquote("abc"), "abc");
  EXPECT_EQ(JsonUnquote("\"abc"), "\"abc");
  EXPECT_EQ(JsonUnquote(R"("a\"b")"), R"(a\"b)");
}

TEST_F(JsonTextTest, DescribeRequest) {
  EXPECT_EQ(DescribeRequest(R"({"id":1})"), "(bez metody)");
  EXPECT_EQ(DescribeRequest(R"({"method":"","id":1})"), "(bez metody)");
  EXPECT_EQ(DescribeRequest(R"({"method":"tools/call","params":{}})"), "tools/call");
  EXPECT_EQ(DescribeRequest(R"({"method":"tools/call","params":{"name":"faktury_lista"}})"), "tools/call faktury_lista");
  EXPECT_EQ(DescribeRequest(R"({"method":"tools/list"})"), "tools/list");
  EXPECT_EQ(DescribeRequest(R"({"method":"tools\/call","params":{"n\u0061me":"x"}})"), "tools\\/call x");
  EXPECT_EQ(DescribeRequest("not json"), "(bez metody)");
}

TEST_F(JsonTextTest, EscapeWritesJsonStringEscapes) {
  const std::string plain(1000, 'a');
  EXPECT_EQ(JsonEscape(plain), plain);
  EXPECT_EQ(JsonEscape(plain + "\"" + plain), plain + "\\\"" + plain);
  EXPECT_EQ(JsonEscape(std::string("\x01\x1f", 2)), "\\u0001\\u001F");
  EXPECT_EQ(JsonEscape(std::string("\0", 1)), "\\u0000");
  EXPECT_EQ(JsonEscape("\b\t\n\f\r\\/"), "\\b\\t\\n\\f\\r\\\\/");
  EXPECT_EQ(JsonEscape("\x7f\xb3"), "\x7f\xb3");
  // Growth beyond the first guess keeps every byte.
  const std::string quotes(100, '"');
  EXPECT_EQ(JsonEscape(quotes).size(), 200u);
}

TEST_F(JsonTextTest, JsonEscapeTakesUtf8AsItIs) {
  EXPECT_EQ(JsonEscape("\xc5\x82\xc4\x85\"x"), "\xc5\x82\xc4\x85\\\"x");  // "łą" and an escaped quote
  EXPECT_EQ(JsonEscape(""), "");
}

TEST_F(JsonTextTest, ErrorReplies) {
  EXPECT_FALSE(IsErrorReply(R"({"jsonrpc":"2.0","id":1,"result":{"error":1}})"));
  EXPECT_TRUE(IsErrorReply(R"({"jsonrpc":"2.0","id":1,"error":{"code":-32601}})"));
  EXPECT_TRUE(IsErrorReply(R"({"data":{"result":1},"error" : {"code":1}})"));
  EXPECT_FALSE(IsErrorReply(R"({"jsonrpc":"2.0","id":1,"result":{}})"));
  EXPECT_FALSE(IsErrorReply(R"({"error" : 1})"));
  EXPECT_TRUE(IsJsonRpcResponse(R"({"result":null})") && IsJsonRpcResponse(R"({"\u0065rror":{}})"));
  EXPECT_FALSE(IsJsonRpcResponse(R"({"error":"MCP endpoint is off"})") || IsJsonRpcResponse(R"({"params":{"result":1}})"));
}

TEST_F(JsonTextTest, EveryReplyGetsTheRequestsIdWhateverItCarries) {
  const std::pair<std::string, std::string> rows[] = {
      {R"({"id":8650,"result":{}})", R"({"id":1650,"result":{}})"},
      {R"({"id":"1650","result":{"id":2}})", R"({"id":1650,"result":{"id":2}})"},
      {R"({"error":{}, "id" : null })", R"({"error":{}, "id" : 1650 })"},
      {R"( {"result":{"id":1}})", R"( {"id":1650,"result":{"id":1}})"},
      {"{ }", R"({"id":1650 })"},
      {R"({"result":{},"id":1650})", R"({"result":{},"id":1650})"},
  };
  for (const auto& row : rows) {
    std::string reply = row.first;
    EXPECT_EQ(PutRequestId(reply, "1650"), row.first != row.second) << row.first;
    EXPECT_EQ(reply, row.second);
  }
}

TEST_F(JsonTextTest, CanonicalFormsAreEqualExactlyForEqualValues) {
  const auto canonical = [](const std::string& text) {
    std::string out = "(invalid)";
    return CanonicalJson(text, out) ? out : std::string("(invalid)");
  };
  const std::vector<std::pair<std::string, std::string>> rows = {
      {" { \"b\" : [ 1 , {\"y\":2,\"x\":null} ] ,\r\n\"a\":true } ", R"({"a":true,"b":[1,{"x":null,"y":2}]})"},
      {R"({"\u0061":"\u00e9\/\"\n","a":1})", "{\"a\":\"\xc3\xa9/\\\"\\u000a\",\"a\":1}"},  // equal names keep their order
      {"[1.0,10e-1,0.1E1,100,1e2,-0,0.000,-0.0e5,12.3400,-5E-3]", "[1,1,1,1e2,1e2,0,0,0,1234e-2,-5e-3]"},
      {"[[],{},\"\"]", "[[],{},\"\"]"},
      {"[1e1234567890123456]", "(invalid)"},
      {R"({"a":1,})", "(invalid)"},
      {R"({"a":"\x"})", "(invalid)"},
      {"[1] 2", "(invalid)"},
      {"", "(invalid)"},
      {std::string(128, '[') + std::string(128, ']'), std::string(128, '[') + std::string(128, ']')},
      {std::string(129, '[') + std::string(129, ']'), "(invalid)"},
  };
  for (const auto& row : rows) EXPECT_EQ(canonical(row.first), row.second) << row.first;
  EXPECT_NE(canonical(R"({"a":"1"})"), canonical(R"({"a":1})"));
  EXPECT_NE(canonical("[1,2]"), canonical("[2,1]"));
}
