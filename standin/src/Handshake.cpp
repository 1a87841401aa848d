#include "Handshake.h"

#include <cstdlib>
#include <map>
#include <vector>

#include "Json.h"
#include "Log.h"
#include "State.h"
#include "TextCodec.h"

namespace {

// Another server may stand in for the endpoint: the bridge then links to it.
int HandshakePort(const TStandInState& s) { return s.AnnouncedPort != 0 ? s.AnnouncedPort : s.McpPort; }

UINT g_tag = 0;

struct TPendingAnswer {
  HWND Proxy;
  std::string Key;
};

// Delayed answers by timer id; only the main thread touches it.
std::map<UINT_PTR, TPendingAnswer> g_pending;
UINT_PTR g_nextTimerId = 100;

// The consent question on the screen, main thread only: how many requests wait
// in it (it opens with the first, the others join it) and when the user answers.
int g_questionWaiters = 0;
ULONGLONG g_questionAnswerAt = 0;

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(line);
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

void SendAnswer(HWND mainWindow, HWND proxy, const std::string& requestKey) {
  std::string answer = BuildHandshakeAnswer(requestKey);
  COPYDATASTRUCT cds;
  cds.dwData = HandshakeTag();
  cds.cbData = static_cast<DWORD>(answer.size() + 1);  // the zero byte travels too
  cds.lpData = const_cast<char*>(answer.c_str());
  DWORD_PTR result = 0;
  LRESULT sent = SendMessageTimeoutA(proxy, WM_COPYDATA, reinterpret_cast<WPARAM>(mainWindow),
                                     reinterpret_cast<LPARAM>(&cds), SMTO_ABORTIFHUNG, 10000, &result);
  std::string shown = answer;
  for (char& c : shown) {
    if (c == '\r') c = '|';
    if (c == '\n') c = ' ';
  }
  if (sent != 0) {
    LogLine("handshake answer sent to %llu: %s", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(proxy)),
            shown.c_str());
  } else {
    LogLine("handshake answer to %llu NOT delivered (error %lu)",
            static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(proxy)), GetLastError());
  }
}

void SetQuestionOpen(bool open) {
  StateLock lock;
  g_state.QuestionOpen = open;
}

// Asks the user from within the handling of the request, as an application
// with a modal dialog does: the thread's messages are pumped meanwhile, so a
// request that comes now is handled inside this one and joins the question.
// False when the application closes before the user answered.
bool AskUser(unsigned answerAfterMs) {
  if (g_questionWaiters++ == 0) {
    g_questionAnswerAt = GetTickCount64() + answerAfterMs;
    SetQuestionOpen(true);
    LogLine("consent question open; the user answers in %u ms", answerAfterMs);
  }
  bool answered = true;
  while (answered) {
    ULONGLONG now = GetTickCount64();
    if (now >= g_questionAnswerAt) break;
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(g_questionAnswerAt - now), QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
    MSG msg;
    while (answered && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(msg.wParam));  // for the loop that owns the thread
        answered = false;
      } else {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
      }
    }
  }
  if (--g_questionWaiters == 0) {
    SetQuestionOpen(false);
    LogLine(answered ? "consent question answered" : "consent question closed unanswered: the application ends");
  }
  return answered;
}

}  // namespace

UINT HandshakeTag() {
  if (g_tag == 0) g_tag = RegisterWindowMessageA("OrvinMCPMsg");
  return g_tag;
}

bool ParseHandshakeRequest(const std::string& text, THandshakeRequest& request) {
  request = THandshakeRequest();
  request.Text = text;
  std::vector<std::string> lines = SplitLines(text);
  if (lines.size() > 0) request.Version = lines[0];
  if (lines.size() > 1) request.ProxyText = lines[1];
  if (lines.size() > 2) request.Background = lines[2];
  if (lines.size() > 3 && lines[3].compare(0, 4, "MCP=") == 0) request.Key = lines[3].substr(4);
  char* end = nullptr;
  unsigned long long handle = std::strtoull(request.ProxyText.c_str(), &end, 10);
  if (request.ProxyText.empty() || *end != '\0' || handle == 0) return false;
  request.Proxy = reinterpret_cast<HWND>(static_cast<UINT_PTR>(handle));
  return true;
}

std::string BuildHandshakeAnswer(const std::string& requestKey) {
  StateLock lock;
  const TStandInState& s = g_state;
  if (s.EmptyAnswer) return std::string();
  // A keyed instance refuses a request for another key, like the real one;
  // an explicit status overrides everything.
  std::string status = "OK";
  std::string message = s.Message;
  if (s.StatusForced) {
    status = s.ForcedStatus;
  } else if (s.KeyGiven && requestKey != s.Key) {
    status = "OTHER";
    if (message.empty()) message = Utf8ToAnsi("Ta instancja Orvina ma inny klucz MCP.");
  }
  bool ok = status == "OK";
  std::string answer = status + "\r\n" + std::to_string(ok ? HandshakePort(s) : 0) + "\r\n" + (ok ? s.Token : "") +
                       "\r\n" + message;
  if (s.KeyLine) answer += "\r\nMCP=" + s.Key;
  return answer;
}

void HandleHandshakeRequest(HWND mainWindow, const COPYDATASTRUCT& data) {
  std::string text;
  if (data.lpData != nullptr && data.cbData > 0) {
    const char* bytes = static_cast<const char*>(data.lpData);
    size_t n = 0;
    while (n < data.cbData && bytes[n] != '\0') ++n;
    text.assign(bytes, n);
  }
  THandshakeRequest request;
  bool valid = ParseHandshakeRequest(text, request);

  HandshakeMode mode;
  unsigned delayMs;
  bool answerThisOne = true;
  {
    StateLock lock;
    mode = g_state.Mode;
    delayMs = g_state.DelayMs;
    ++g_state.RequestsSinceModeSet;
    if (mode == HandshakeMode::Second) answerThisOne = g_state.RequestsSinceModeSet % 2 == 0;
    g_state.HandshakeRecord.push_back(
        "{\"background\":" + JsonQuote(AnsiToUtf8(request.Background)) + ",\"key\":" +
        JsonQuote(AnsiToUtf8(request.Key)) + ",\"proxy\":" + JsonQuote(request.ProxyText) +
        ",\"version\":" + JsonQuote(request.Version) + ",\"text\":" + JsonQuote(AnsiToUtf8(text)) +
        ",\"mode\":" + JsonQuote(HandshakeModeName(mode)) + ",\"at\":" + std::to_string(MsSinceStart()) + "}");
  }
  LogLine("handshake request: proxy=%s background=%s key='%s' mode=%s", request.ProxyText.c_str(),
          request.Background.c_str(), request.Key.c_str(), HandshakeModeName(mode));
  if (!valid) {
    LogLine("handshake request without a proxy window; not answered");
    return;
  }
  if (mode == HandshakeMode::Never || !answerThisOne) {
    LogLine("handshake request left unanswered");
    return;
  }
  if (mode == HandshakeMode::Delay) {
    // As if the user were asked first: the answer leaves after WM_COPYDATA returned.
    UINT_PTR id = g_nextTimerId++;
    g_pending[id] = TPendingAnswer{request.Proxy, request.Key};
    SetTimer(mainWindow, id, delayMs, nullptr);
    LogLine("handshake answer due in %u ms", delayMs);
    return;
  }
  if (mode == HandshakeMode::Consent && !AskUser(delayMs)) return;
  SendAnswer(mainWindow, request.Proxy, request.Key);
}

void AnswerOpenQuestion() {
  if (g_questionWaiters > 0) g_questionAnswerAt = GetTickCount64();
}

void OnHandshakeTimer(HWND mainWindow, UINT_PTR timerId) {
  auto it = g_pending.find(timerId);
  if (it == g_pending.end()) return;
  KillTimer(mainWindow, timerId);
  TPendingAnswer pending = it->second;
  g_pending.erase(it);
  SendAnswer(mainWindow, pending.Proxy, pending.Key);
}
