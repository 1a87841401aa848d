#pragma once
// Obtaining a link: find the CRM windows of the configured folder, ask them in
// turn, choose the first instance that fits the MCP key. One attempt at a time,
// as steps of the event loop: discovery and every send run on workers.

#include <cstdint>
#include <string>

#include "platform/Platform.h"

struct TConnectSettings {
  std::string Folder;  // GetCrmFolder
  std::string Key;     // GetMcpKey
  WindowHandle ProxyWindow = 0;
  bool Background = false;  // tells the CRM application that no client request waits
};

// Ok with the port and token of the new link; otherwise one Polish sentence that
// says what is wrong, and `Refused` when the chosen instance said no.
struct TConnectOutcome {
  bool Ok = false;
  std::uint16_t Port = 0;
  std::string Token;
  std::uint32_t ProcessId = 0;  // of the window that gave them: only it may listen on the port
  std::string Message;
  bool Refused = false;
  bool WindowClosed = false;  // the window asked last closed before it answered: another may stand in its place
};

using ConnectFinished = void (*)(const TConnectOutcome& outcome);

// Starts an attempt unless one runs; `onFinished` runs on the loop's thread when it ends.
void StartConnectAttempt(const TConnectSettings& settings, ConnectFinished onFinished);
bool ConnectAttemptRunning();
// Past the search for windows: a window is being asked, and its user may be too.
bool ConnectAttemptAsking();
// Takes the attempt's next step where one is due; the loop calls it after every wake-up.
void ContinueConnectAttempt();
// Milliseconds until the attempt needs a look without any event (0xFFFFFFFF: none).
std::uint32_t ConnectAttemptWakeIn();
// From now on no window is asked twice and no late answer is waited for: the
// client is gone, and its last lines get what the windows say at once.
void StopAskingForLinks();

// Forgets the attempt, as at process start.
void ResetConnectAttempt();
