#pragma once
// The CRM side of the port-and-token handshake: a WM_COPYDATA tagged with the
// registered message "OrvinMCPMsg" asks for port and token; the answer goes
// back as a WM_COPYDATA with the same tag to the proxy window named in it.

#include <windows.h>

#include <string>

struct THandshakeRequest {
  std::string Text;        // the whole request text up to its zero byte
  std::string Version;     // line 1
  std::string ProxyText;   // line 2 as sent
  HWND Proxy = nullptr;    // line 2 as a handle, null when not a number
  std::string Background;  // line 3
  std::string Key;         // line 4 after "MCP="
};

// Registers the tag once; 0 when registration failed.
UINT HandshakeTag();

// Splits the request text into its lines; false when it has no proxy handle.
bool ParseHandshakeRequest(const std::string& text, THandshakeRequest& request);

// The answer this instance gives now to a request carrying that key (ANSI text,
// without the zero byte; empty when the stand-in is told to answer emptily).
std::string BuildHandshakeAnswer(const std::string& requestKey);

// Called by the main window for a tagged WM_COPYDATA: records the request and
// answers it now, later, or not at all, as the handshake mode says.
void HandleHandshakeRequest(HWND mainWindow, const COPYDATASTRUCT& data);

// WM_TIMER of the main window: sends a delayed answer that is due.
void OnHandshakeTimer(HWND mainWindow, UINT_PTR timerId);

// Posted to the main window (control command /answer): the user answers the
// open consent question now.
const UINT kAnswerQuestionMessage = WM_APP + 1;
void AnswerOpenQuestion();
