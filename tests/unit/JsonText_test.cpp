#include "mcp/JsonText.h"

#include "common/AICommon.h"

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
}

TEST_F(JsonTextTest, RawValueKeepsTheTextOfTheValue) {
  EXPECT_EQ(JsonRawValue(R"({"id" : "a\"b","x":1})", "id"), R"("a\"b")");
  EXPECT_EQ(JsonRawValue(R"({"id":{"a":1,"b":2}})", "id"), R"({"a":1)");
  EXPECT_EQ(JsonRawValue(R"({"id":[1,2]})", "id"), "[1");
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
  EXPECT_TRUE(IsSingleJsonObject(R"({"a":"}{"})"));
  EXPECT_TRUE(IsSingleJsonObject(" \r\n{\"a\":1}\r\n"));
  EXPECT_FALSE(IsSingleJsonObject(" \r\n"));
  EXPECT_FALSE(IsSingleJsonObject(R"({"a":1},"b":2})"));
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

TEST_F(JsonTextTest, JsonStringConvertsCodePage1250ToUtf8) {
  EXPECT_EQ(JsonString("\xb3\xb9\"x"), "\xc5\x82\xc4\x85\\\"x");  // "łą" and an escaped quote
  EXPECT_EQ(JsonString(""), "");
}

TEST_F(JsonTextTest, ErrorReplies) {
  EXPECT_FALSE(IsErrorReply(R"({"jsonrpc":"2.0","id":1,"result":{"error":1}})"));
  EXPECT_TRUE(IsErrorReply(R"({"jsonrpc":"2.0","id":1,"error":{"code":-32601}})"));
  EXPECT_FALSE(IsErrorReply(R"({"jsonrpc":"2.0","id":1,"result":{}})"));
  EXPECT_FALSE(IsErrorReply(R"({"error" : 1})"));
}

TEST_F(JsonTextTest, ErrorReplyWithNullIdGetsTheRequestsId) {
  const std::string reply = R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700}})";
  EXPECT_EQ(FixErrorReplyId(reply, "5"), R"({"jsonrpc":"2.0","id":5,"error":{"code":-32700}})");
  EXPECT_EQ(FixErrorReplyId(reply, "\"a\""), R"({"jsonrpc":"2.0","id":"a","error":{"code":-32700}})");
  EXPECT_EQ(FixErrorReplyId(reply, ""), reply);
  EXPECT_EQ(FixErrorReplyId(reply, "null"), reply);
  const std::string blank = R"({"jsonrpc":"2.0","id": null,"error":{"code":-32700}})";
  EXPECT_EQ(FixErrorReplyId(blank, "5"), blank);
  const std::string behind = R"({"error":{"code":-32700},"id":null,"x":1})";
  EXPECT_EQ(FixErrorReplyId(behind, "5"), behind);
}
