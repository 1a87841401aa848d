#include "McpMessages.h"

#include <windows.h>

#include <cstdlib>

#include "CrmTools.h"

namespace {

const char* const kDefaultProtocol = "2025-06-18";

// Test tools: each produces one kind of reply that the bridge must cope with.
const char* const kTestToolsJson =
    "{\"name\":\"test_multiline\",\"description\":\"Test: odpowiedź JSON rozłożona na wiele wierszy (CR LF).\","
    "\"inputSchema\":{\"type\":\"object\",\"properties\":{}}},"
    "{\"name\":\"test_error_null_id\",\"description\":\"Test: błąd JSON-RPC z \\\"id\\\":null przed \\\"error\\\".\","
    "\"inputSchema\":{\"type\":\"object\",\"properties\":{}}},"
    "{\"name\":\"test_http500\",\"description\":\"Test: HTTP 500 z błędem JSON-RPC w treści.\","
    "\"inputSchema\":{\"type\":\"object\",\"properties\":{}}},"
    "{\"name\":\"test_large\",\"description\":\"Test: odpowiedź o rozmiarze podanym w megabajtach.\","
    "\"inputSchema\":{\"type\":\"object\",\"properties\":{\"mb\":{\"type\":\"number\"}},\"required\":[\"mb\"]}},"
    "{\"name\":\"test_echo\",\"description\":\"Test: zwraca surowy JSON argumentów jako tekst.\","
    "\"inputSchema\":{\"type\":\"object\"}},"
    "{\"name\":\"test_blank\",\"description\":\"Test: HTTP 200 z pustą (białą) treścią.\","
    "\"inputSchema\":{\"type\":\"object\",\"properties\":{}}},"
    "{\"name\":\"test_sleep\",\"description\":\"Test: odpowiada po podanej liczbie milisekund.\","
    "\"inputSchema\":{\"type\":\"object\",\"properties\":{\"ms\":{\"type\":\"number\"}},\"required\":[\"ms\"]}}";

bool IsTestTool(const std::string& name) {
  return name == "test_multiline" || name == "test_error_null_id" || name == "test_http500" ||
         name == "test_large" || name == "test_echo" || name == "test_blank" || name == "test_sleep";
}

// A number given as a JSON number or as a string, kept within [0, most].
double NumberArgument(const TJsonValue& arguments, const char* name, double fallback, double most) {
  const TJsonValue* v = arguments.Find(name);
  double n = v != nullptr ? std::atof(v->Type == JsonType::String ? v->Text.c_str() : v->Raw.c_str()) : fallback;
  return n < 0 ? 0 : n > most ? most : n;
}

std::string ErrorBody(const std::string& id, int code, const std::string& message) {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + (id.empty() ? std::string("null") : id) + ",\"error\":{\"code\":" +
         std::to_string(code) + ",\"message\":" + JsonQuote(message) + "}}";
}

std::string ResultBody(const std::string& id, const std::string& result) {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"result\":" + result + "}";
}

std::string TextResult(const std::string& text, bool isError) {
  return "{\"content\":[{\"type\":\"text\",\"text\":" + JsonQuote(text) + "}],\"isError\":" +
         (isError ? "true" : "false") + "}";
}

TMcpReply Reply(int status, const std::string& body) {
  TMcpReply r;
  r.HttpStatus = status;
  r.Body = body;
  return r;
}

TMcpReply CallTestTool(const std::string& id, const std::string& name, const TJsonValue& arguments) {
  if (name == "test_multiline") {
    return Reply(200,
                 "{\r\n  \"jsonrpc\": \"2.0\",\r\n  \"id\": " + id +
                     ",\r\n  \"result\": {\r\n    \"content\": [\r\n      {\r\n        \"type\": \"text\",\r\n"
                     "        \"text\": \"Odpowiedź\\r\\nw wielu\\r\\nwierszach\"\r\n      }\r\n    ]\r\n  }\r\n}\r\n");
  }
  if (name == "test_error_null_id") {
    return Reply(200, "{\"jsonrpc\":\"2.0\",\"id\":null,\"error\":{\"code\":-32000,\"message\":"
                      "\"Błąd testowy bez identyfikatora żądania.\"}}");
  }
  if (name == "test_http500") {
    return Reply(500, ErrorBody(id, -32603, "Wewnętrzny błąd Orvina (test)."));
  }
  if (name == "test_blank") {
    return Reply(200, "\r\n");
  }
  if (name == "test_echo") {
    return Reply(200, ResultBody(id, TextResult(arguments.Raw.empty() ? "{}" : arguments.Raw, false)));
  }
  if (name == "test_sleep") {
    // Holds only this request's connection thread, as a long operation in the CRM would.
    DWORD ms = static_cast<DWORD>(NumberArgument(arguments, "ms", 0, 600000));
    Sleep(ms);
    return Reply(200, ResultBody(id, TextResult("Odczekano " + std::to_string(ms) + " ms.", false)));
  }
  // test_large
  size_t size = static_cast<size_t>(NumberArgument(arguments, "mb", 1, 1024) * 1048576.0);
  static const char kPattern[] = "Orvin CRM test_large 0123456789 abcdefghijklmnopqrstuvwxyz ";
  std::string text;
  text.reserve(size);
  while (text.size() < size) text.append(kPattern, sizeof kPattern - 1);
  text.resize(size);
  return Reply(200, ResultBody(id, TextResult(text, false)));
}

TMcpReply CallTool(const TMcpMessage& m, const TMcpSwitches& switches) {
  const TJsonValue* params = m.Root.Find("params");
  const TJsonValue* nameValue = params != nullptr ? params->Find("name") : nullptr;
  if (nameValue == nullptr || nameValue->Type != JsonType::String) {
    return Reply(200, ErrorBody(m.Id, -32602, "Brak nazwy narzędzia (params.name)."));
  }
  const std::string& name = nameValue->Text;
  TJsonValue noArguments;
  noArguments.Type = JsonType::Object;
  const TJsonValue* arguments = params->Find("arguments");
  if (arguments == nullptr) arguments = &noArguments;
  if (switches.TestTools && IsTestTool(name)) return CallTestTool(m.Id, name, *arguments);
  if (!IsCrmTool(name)) return Reply(200, ErrorBody(m.Id, -32602, "Nieznane narzędzie: " + name));
  bool isError = false;
  std::string text = CallCrmTool(name, *arguments, isError);
  return Reply(200, ResultBody(m.Id, TextResult(text, isError)));
}

std::string InitializeResult(const TMcpMessage& m) {
  std::string protocol = JsonQuote(kDefaultProtocol);
  const TJsonValue* params = m.Root.Find("params");
  const TJsonValue* version = params != nullptr ? params->Find("protocolVersion") : nullptr;
  if (version != nullptr && version->Type == JsonType::String) protocol = version->Raw;
  return "{\"protocolVersion\":" + protocol +
         ",\"capabilities\":{\"tools\":{\"listChanged\":true}},\"serverInfo\":{\"name\":\"orvin-standin\","
         "\"version\":\"1.0\"}}";
}

}  // namespace

TMcpMessage ReadMcpMessage(const std::string& body) {
  TMcpMessage m;
  m.Parsed = ParseJson(body, m.Root, m.ParseError);
  if (!m.Parsed) return m;
  if (const TJsonValue* id = m.Root.Find("id")) m.Id = id->Raw;
  if (const TJsonValue* method = m.Root.Find("method")) {
    if (method->Type == JsonType::String) m.Method = method->Text;
  }
  return m;
}

TMcpReply AnswerMcpMessage(const TMcpMessage& m, const TMcpSwitches& switches) {
  if (!m.Parsed) return Reply(200, ErrorBody("", -32700, "Parse error: " + m.ParseError));
  if (m.Root.Type != JsonType::Object) return Reply(200, ErrorBody("", -32600, "Invalid Request"));
  // Like a CRM application whose list fails, this answers even a notification with the error.
  if (m.Method == "tools/list" && switches.ToolsListError) {
    return Reply(200, ErrorBody(m.Id, -32603, "Lista narzędzi jest chwilowo niedostępna."));
  }
  // Notifications, and the client's responses to requests, get no JSON-RPC answer.
  bool isResponse = m.Method.empty() && (m.Root.Find("result") != nullptr || m.Root.Find("error") != nullptr);
  if (m.Id.empty() || isResponse) return Reply(202, std::string());
  if (m.Method.empty()) return Reply(200, ErrorBody(m.Id, -32600, "Invalid Request: no method"));

  if (m.Method == "initialize") return Reply(200, ResultBody(m.Id, InitializeResult(m)));
  if (m.Method == "ping") return Reply(200, ResultBody(m.Id, "{}"));
  if (m.Method == "tools/list") {
    std::string tools = CrmToolsJson();
    if (switches.TestTools) tools += std::string(",") + kTestToolsJson;
    return Reply(200, ResultBody(m.Id, "{\"tools\":[" + tools + "]}"));
  }
  if (m.Method == "tools/call") return CallTool(m, switches);
  return Reply(200, ErrorBody(m.Id, -32601, "Method not found: " + m.Method));
}
