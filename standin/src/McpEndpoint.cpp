#include "McpEndpoint.h"

#include "Json.h"
#include "Log.h"
#include "McpMessages.h"
#include "RecordFile.h"
#include "State.h"

#include <cstdio>

namespace {

// Takes one planned break if it applies to this point of the exchange.
bool TakeBreak(bool atAccept, TBreakPlan& plan) {
  StateLock lock;
  TStandInState& s = g_state;
  if (s.BreakCount <= 0 || s.Break == BreakStep::None) return false;
  if ((s.Break == BreakStep::Accept) != atAccept) return false;
  plan.Step = s.Break;
  plan.Abortive = s.BreakAbortive;
  if (--s.BreakCount == 0) s.Break = BreakStep::None;
  return true;
}

std::string RecordEntry(const THttpRequest& request, const TMcpMessage& message) {
  std::string headers;
  for (const auto& h : request.Headers) {
    if (!headers.empty()) headers += ",";
    headers += JsonQuote(h.first) + ":" + JsonQuote(h.second);
  }
  return "{\"method\":" + JsonQuote(message.Method) + ",\"id\":" + (message.Id.empty() ? "null" : message.Id) +
         ",\"target\":" + JsonQuote(request.Target) + ",\"headers\":{" + headers + "},\"body\":" +
         JsonQuote(request.Body) + ",\"at\":" + std::to_string(MsSinceStart()) + "}";
}

// The characters of a base64 token that URLs and JSON writers encode, each
// written by `format` from its code.
std::string Encoded(const std::string& text, const char* format) {
  std::string out;
  for (char c : text) {
    if (c != '/' && c != '+' && c != '=') {
      out += c;
      continue;
    }
    char code[8];
    std::snprintf(code, sizeof code, format, static_cast<unsigned>(c));
    out += code;
  }
  return out;
}

// A careless server's answer that quotes the request's Authorization header and
// the token current when it answers, which may be newer (/quote-token).
void QuoteTokens(const std::string& as, const std::string& authorization, const std::string& id,
                 THttpResponse& response) {
  std::string token;
  {
    StateLock lock;
    token = g_state.Token;
  }
  if (as == "html") {
    response.Status = 500;
    response.ContentType = "text/html; charset=utf-8";
    response.Body = "<html><p>Błąd: " + Encoded(authorization, "%%%02X") + " " + Encoded(token, "%%%02x") +
                    "</p></html>";
    return;
  }
  std::string slashes;
  for (char c : token) slashes += c == '/' ? std::string("\\/") : std::string(1, c);
  response.Status = 200;
  response.Body = "{\"jsonrpc\":\"2.0\",\"id\":" + (id.empty() ? std::string("null") : id) +
                  ",\"error\":{\"code\":-32603,\"message\":\"Odmowa dla " + authorization + " (" +
                  Encoded(authorization, "\\u%04x") + "), token: " + token + " " + slashes + " " +
                  Encoded(token, "\\u%04X") + "\"}}";
}

// For checking a harness: every Nth tools/call gets no answer at all.
bool LoseThisOne() {
  StateLock lock;
  return g_state.LoseEvery > 0 && ++g_state.LoseCounter % g_state.LoseEvery == 0;
}

}  // namespace

bool McpEndpoint::BreakAtAccept(bool& abortive) {
  TBreakPlan plan;
  if (!TakeBreak(true, plan)) return false;
  abortive = plan.Abortive;
  return true;
}

TBreakPlan McpEndpoint::PlanBreak(const THttpRequest& request) {
  (void)request;
  TBreakPlan plan;
  TakeBreak(false, plan);
  return plan;
}

void McpEndpoint::Handle(const THttpRequest& request, THttpResponse& response) {
  TMcpMessage message = ReadMcpMessage(request.Body);
  unsigned slowMs;
  unsigned long long seq;
  {
    StateLock lock;
    g_state.RequestRecord.push_back(RecordEntry(request, message));
    seq = ++g_state.RecordSeq;
    AppendRecordLine("{\"seq\":" + std::to_string(seq) + "," + g_state.RequestRecord.back().substr(1));
    slowMs = g_state.SlowMs;
  }
  if (slowMs > 0) Sleep(slowMs);

  bool handled = false;
  bool endpointOn, testTools, toolsListError;
  std::string token, quote;
  {
    StateLock lock;
    endpointOn = g_state.EndpointOn;
    testTools = g_state.TestTools;
    toolsListError = g_state.ToolsListError;
    token = g_state.Token;
    quote = g_state.QuoteToken;
  }
  if (!endpointOn || request.Path != "/mcp") {
    response.Status = 404;
    response.Body = "{\"error\":\"MCP endpoint is switched off or unknown\"}";
  } else if (request.Method != "POST") {
    response.Status = 405;
    response.Body = "{\"error\":\"POST only\"}";
    response.ExtraHeaders.push_back("Allow: POST");
  } else {
    const std::string* auth = request.Header("Authorization");
    if (auth == nullptr || *auth != "Bearer " + token) {
      response.Status = 401;
      response.Body = "{\"error\":\"invalid token\"}";
      response.ExtraHeaders.push_back("WWW-Authenticate: Bearer");
    } else {
      if (message.Method == "tools/call" && LoseThisOne()) {
        LogLine("mcp: id=%s is never answered (/lose)", message.Id.c_str());
        Sleep(INFINITE);
      }
      handled = true;
      TMcpSwitches switches;
      switches.TestTools = testTools;
      switches.ToolsListError = toolsListError;
      TMcpReply reply = AnswerMcpMessage(message, switches);
      response.Status = reply.HttpStatus;
      response.Body = reply.Body;
      if (!quote.empty()) QuoteTokens(quote, *auth, message.Id, response);
    }
  }
  {
    StateLock lock;
    AppendRecordLine("{\"seq\":" + std::to_string(seq) + ",\"status\":" + std::to_string(response.Status) +
                     ",\"handled\":" + (handled ? "true" : "false") + "}");
  }
  LogLine("mcp: %s %s method=%s id=%s -> %d (%lu bytes)", request.Method.c_str(), request.Target.c_str(),
          message.Method.c_str(), message.Id.empty() ? "-" : message.Id.c_str(), response.Status,
          static_cast<unsigned long>(response.Body.size()));
}
