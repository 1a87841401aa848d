// CrmStandIn: takes the place of the Orvin CRM desktop application in tests
// and demos. A hidden main window answers the port-and-token handshake; an
// HTTP listener serves /mcp; a second listener takes control commands.

#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "ControlEndpoint.h"
#include "Handshake.h"
#include "HttpServer.h"
#include "Log.h"
#include "McpEndpoint.h"
#include "Options.h"
#include "RecordFile.h"
#include "State.h"
#include "TextCodec.h"

namespace {

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COPYDATA: {
      const COPYDATASTRUCT* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
      if (data != nullptr && HandshakeTag() != 0 && data->dwData == HandshakeTag()) {
        HandleHandshakeRequest(window, *data);
        return 1;
      }
      break;
    }
    case WM_TIMER:
      OnHandshakeTimer(window, wParam);
      return 0;
    case kAnswerQuestionMessage:
      AnswerOpenQuestion();
      return 0;
    case WM_CLOSE:
      LogLine("main window closing");
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

HWND CreateMainWindow(const TStandInOptions& options) {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = MainWindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = options.ClassName.c_str();
  if (RegisterClassA(&wc) == 0) return nullptr;
  // Never shown: the bridge finds it by class and caption, and Wine may have no display.
  return CreateWindowExA(0, options.ClassName.c_str(), options.Caption.c_str(), WS_OVERLAPPEDWINDOW, 0, 0, 400,
                         300, nullptr, nullptr, wc.hInstance, nullptr);
}

void ApplyOptions(const TStandInOptions& o) {
  StateLock lock;
  TStandInState& s = g_state;
  IssueToken(o.Token.empty() ? NewToken() : o.Token);
  s.KeyGiven = o.KeyGiven;
  s.Key = o.Key;
  s.KeyLine = !o.NoKeyLine;
  s.StatusForced = o.StatusGiven;
  s.ForcedStatus = o.Status;
  s.Message = o.Message;
  s.EmptyAnswer = o.EmptyAnswer;
  s.TestTools = o.TestTools;
  s.EndpointOn = !o.EndpointOff;
  if (o.DelayMs >= 0) {
    s.DelayMs = static_cast<unsigned>(o.DelayMs);
    s.Mode = HandshakeMode::Delay;
  }
  if (!o.Handshake.empty()) HandshakeModeFromName(o.Handshake, s.Mode);
}

}  // namespace

int main(int argc, char** argv) {
  StartClock();
  InitLog();
  InitStateLock();
  TStandInOptions options;
  std::string error;
  if (!ParseOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "CrmStandIn: %s\n%s", error.c_str(), kUsageText);
    return 2;
  }
  if (!options.RecordFile.empty() && !OpenRecordFile(options.RecordFile, error)) {
    std::fprintf(stderr, "CrmStandIn: %s\n", error.c_str());
    return 2;
  }
  ApplyOptions(options);

  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
    LogLine("WSAStartup failed");
    return 3;
  }
  if (HandshakeTag() == 0) {
    LogLine("RegisterWindowMessageA(OrvinMCPMsg) failed (%lu)", GetLastError());
    return 3;
  }
  HWND window = CreateMainWindow(options);
  if (window == nullptr) {
    LogLine("cannot create the main window (%lu)", GetLastError());
    return 3;
  }

  McpEndpoint mcpHandler;
  HttpListener mcp(mcpHandler);
  if (!mcp.Start(options.Port, error)) {
    LogLine("MCP listener: %s", error.c_str());
    return 4;
  }
  {
    StateLock lock;
    g_state.McpPort = mcp.Port();
    g_state.Listening = true;
  }
  ControlEndpoint controlHandler(mcp, window);
  HttpListener control(controlHandler);
  if (!control.Start(options.ControlPort, error)) {
    LogLine("control listener: %s", error.c_str());
    mcp.Stop();
    return 4;
  }

  LogLine("window class '%s' caption '%s' (hwnd %llu), MCP on 127.0.0.1:%d, control on 127.0.0.1:%d",
          options.ClassName.c_str(), AnsiToUtf8(options.Caption).c_str(),
          static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)), mcp.Port(), control.Port());
  std::printf("READY port=%d control=%d pid=%lu\n", mcp.Port(), control.Port(),
              static_cast<unsigned long>(GetCurrentProcessId()));
  std::fflush(stdout);

  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }

  control.Stop();
  {
    StateLock lock;
    mcp.Stop();
  }
  WSACleanup();
  LogLine("stopped");
  return 0;
}
