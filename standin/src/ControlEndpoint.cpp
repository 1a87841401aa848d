#include "ControlEndpoint.h"

#include <cstdlib>
#include <map>

#include "Handshake.h"
#include "Json.h"
#include "Log.h"
#include "State.h"
#include "TextCodec.h"

namespace {

typedef std::map<std::string, std::string> TQuery;

TQuery ParseQuery(const std::string& query) {
  TQuery values;
  size_t pos = 0;
  while (pos <= query.size() && !query.empty()) {
    size_t amp = query.find('&', pos);
    if (amp == std::string::npos) amp = query.size();
    std::string pair = query.substr(pos, amp - pos);
    size_t eq = pair.find('=');
    if (!pair.empty()) {
      values[UrlDecode(pair.substr(0, eq))] = eq == std::string::npos ? std::string() : UrlDecode(pair.substr(eq + 1));
    }
    pos = amp + 1;
  }
  return values;
}

bool ReadUnsigned(const std::string& text, unsigned& value) {
  char* end = nullptr;
  unsigned long n = std::strtoul(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0') return false;
  value = static_cast<unsigned>(n);
  return true;
}

// "1"/"0" (also "on"/"off", "true"/"false").
bool ReadSwitch(const std::string& text, bool& value) {
  if (text == "1" || text == "on" || text == "true") value = true;
  else if (text == "0" || text == "off" || text == "false") value = false;
  else return false;
  return true;
}

std::string Bool(bool b) { return b ? "true" : "false"; }

std::string StateJson() {
  StateLock lock;
  const TStandInState& s = g_state;
  return "{\"ok\":true,\"handshake\":" + JsonQuote(HandshakeModeName(s.Mode)) +
         ",\"delay\":" + std::to_string(s.DelayMs) + ",\"question\":" + Bool(s.QuestionOpen) +
         ",\"status\":" + (s.StatusForced ? JsonQuote(s.ForcedStatus) : std::string("null")) +
         ",\"message\":" + JsonQuote(AnsiToUtf8(s.Message)) + ",\"key\":" +
         (s.KeyGiven ? JsonQuote(AnsiToUtf8(s.Key)) : std::string("null")) + ",\"keyline\":" + Bool(s.KeyLine) +
         ",\"empty\":" + Bool(s.EmptyAnswer) + ",\"port\":" + std::to_string(s.McpPort) +
         ",\"token\":" + JsonQuote(s.Token) + ",\"endpoint\":" + Bool(s.EndpointOn) +
         ",\"listening\":" + Bool(s.Listening) + ",\"slow\":" + std::to_string(s.SlowMs) +
         ",\"toolslistError\":" + Bool(s.ToolsListError) + ",\"testTools\":" + Bool(s.TestTools) +
         ",\"break\":" + JsonQuote(BreakStepName(s.Break)) + ",\"breakCount\":" + std::to_string(s.BreakCount) +
         ",\"quoteToken\":" + JsonQuote(s.QuoteToken) + "}";
}

std::string Error(const std::string& message) { return "{\"ok\":false,\"error\":" + JsonQuote(message) + "}"; }

// /set: handshake behaviour. Every parameter is optional.
std::string DoSet(const TQuery& q) {
  StateLock lock;
  TStandInState& s = g_state;
  auto has = [&](const char* name) { return q.find(name) != q.end(); };
  HandshakeMode mode = s.Mode;
  if (has("handshake") && !HandshakeModeFromName(q.at("handshake"), mode)) return Error("unknown handshake mode");
  unsigned delay = s.DelayMs;
  if (has("delay") && !ReadUnsigned(q.at("delay"), delay)) return Error("delay needs a number");
  bool keyLine = s.KeyLine, empty = s.EmptyAnswer;
  if (has("keyline") && !ReadSwitch(q.at("keyline"), keyLine)) return Error("keyline needs 0 or 1");
  if (has("empty") && !ReadSwitch(q.at("empty"), empty)) return Error("empty needs 0 or 1");
  // A delay alone means: answer with that delay.
  if (has("delay") && !has("handshake")) mode = HandshakeMode::Delay;
  if (has("handshake") || has("delay")) {
    s.Mode = mode;
    s.DelayMs = delay;
    s.RequestsSinceModeSet = 0;
  }
  s.KeyLine = keyLine;
  s.EmptyAnswer = empty;
  if (has("status")) {
    s.StatusForced = !q.at("status").empty();
    s.ForcedStatus = q.at("status");
  }
  if (has("message")) s.Message = Utf8ToAnsi(q.at("message"));
  if (has("key")) {
    s.KeyGiven = !q.at("key").empty();
    s.Key = Utf8ToAnsi(q.at("key"));
  }
  return StateJson();
}

// /announce?port=N: the handshake names port N instead of the own endpoint; 0 returns to it.
// N may lie beyond 65535, as a faulty CRM application might name it.
std::string DoAnnounce(const TQuery& q) {
  unsigned port = 0;
  auto found = q.find("port");
  if (found == q.end() || !ReadUnsigned(found->second, port) || port > 2147483647u) return Error("port needs a number");
  StateLock lock;
  g_state.AnnouncedPort = static_cast<int>(port);
  return "{\"ok\":true,\"announced\":" + std::to_string(port) + "}";
}

std::string DoRecord() {
  StateLock lock;
  std::string out = "{\"now\":" + std::to_string(MsSinceStart()) + ",\"handshakes\":[";
  for (size_t i = 0; i < g_state.HandshakeRecord.size(); ++i) out += (i ? "," : "") + g_state.HandshakeRecord[i];
  out += "],\"requests\":[";
  for (size_t i = 0; i < g_state.RequestRecord.size(); ++i) out += (i ? "," : "") + g_state.RequestRecord[i];
  return out + "]}";
}

}  // namespace

void ControlEndpoint::Handle(const THttpRequest& request, THttpResponse& response) {
  TQuery q = ParseQuery(request.Query);
  const std::string& path = request.Path;
  response.Close = true;
  std::string body;
  LogLine("control: %s", request.Target.c_str());

  if (path == "/set") {
    body = DoSet(q);
  } else if (path == "/state") {
    body = StateJson();
  } else if (path == "/rotate-token") {
    std::string token = q["token"].empty() ? NewToken() : q["token"];
    {
      StateLock lock;
      IssueToken(token);
    }
    body = "{\"ok\":true,\"token\":" + JsonQuote(token) + "}";
  } else if (path == "/endpoint" || path == "/toolslist-error" || path == "/test-tools") {
    bool on = false;
    if (!ReadSwitch(q["on"], on)) {
      body = Error("on needs 0 or 1");
    } else {
      StateLock lock;
      if (path == "/endpoint") {
        // Switching the endpoint back on may issue a new token, as the real application does.
        if (on && !g_state.EndpointOn && q["rotate"] == "1") IssueToken(NewToken());
        g_state.EndpointOn = on;
      } else if (path == "/toolslist-error") {
        g_state.ToolsListError = on;
      } else {
        g_state.TestTools = on;
      }
      body = StateJson();
    }
  } else if (path == "/listen") {
    bool on = false;
    std::string error;
    if (!ReadSwitch(q["on"], on)) {
      body = Error("on needs 0 or 1");
    } else {
      // Held throughout so that two commands cannot start or stop the listener at once.
      StateLock lock;
      if (on && !mcp_.Start(g_state.McpPort, error)) {
        body = Error(error);
      } else {
        if (!on) mcp_.Stop();
        g_state.Listening = on;
        body = StateJson();
      }
    }
  } else if (path == "/break") {
    BreakStep step;
    unsigned count = 1;
    if (!BreakStepFromName(q["step"], step)) {
      body = Error("step must be accept, headers, body, status, midbody or none");
    } else if (q.count("count") && !ReadUnsigned(q["count"], count)) {
      body = Error("count needs a number");
    } else {
      StateLock lock;
      g_state.Break = count > 0 ? step : BreakStep::None;
      g_state.BreakCount = step == BreakStep::None ? 0 : static_cast<int>(count);
      g_state.BreakAbortive = q["reset"] != "0";
      body = StateJson();
    }
  } else if (path == "/slow") {
    unsigned ms = 0;
    if (!ReadUnsigned(q["ms"], ms)) {
      body = Error("ms needs a number");
    } else {
      StateLock lock;
      g_state.SlowMs = ms;
      body = StateJson();
    }
  } else if (path == "/lose") {
    unsigned every = 0;
    if (!ReadUnsigned(q["every"], every)) {
      body = Error("every needs a number");
    } else {
      StateLock lock;
      g_state.LoseEvery = every;
      g_state.LoseCounter = 0;
      body = "{\"ok\":true,\"loseEvery\":" + std::to_string(every) + "}";
    }
  } else if (path == "/quote-token") {
    const std::string as = q["as"];
    if (as != "html" && as != "json" && as != "off") {
      body = Error("as must be html, json or off");
    } else {
      StateLock lock;
      g_state.QuoteToken = as == "off" ? std::string() : as;
      body = StateJson();
    }
  } else if (path == "/answer") {
    bool open;
    {
      StateLock lock;
      open = g_state.QuestionOpen;
    }
    if (open) {
      // The question runs on the window's thread; the answer is its to give.
      PostMessageA(mainWindow_, kAnswerQuestionMessage, 0, 0);
      body = "{\"ok\":true}";
    } else {
      body = Error("no consent question is open");
    }
  } else if (path == "/announce") {
    body = DoAnnounce(q);
  } else if (path == "/record") {
    body = DoRecord();
  } else if (path == "/reset-record") {
    StateLock lock;
    g_state.HandshakeRecord.clear();
    g_state.RequestRecord.clear();
    body = "{\"ok\":true}";
  } else if (path == "/quit") {
    HWND window = mainWindow_;
    // Only after the answer left, so the caller sees it before the process ends.
    response.AfterSent = [window]() { PostMessageA(window, WM_CLOSE, 0, 0); };
    body = "{\"ok\":true}";
  } else {
    response.Status = 404;
    body = Error("unknown command " + path);
  }
  response.Body = body;
}
