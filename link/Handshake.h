#pragma once
// Asking one CRM window for port and token over window messages, as steps of
// the event loop: each send runs on a worker, and the answer reaches the proxy
// window, which the loop's thread pumps.

#include <cstdint>
#include <string>

#include "link/HandshakeRecords.h"

enum class HandshakeStep { Sending, SendFinished, WaitingForAnswer, ListeningLate, Done };

struct THandshake {
  WindowHandle Window = 0;
  WindowHandle ProxyWindow = 0;
  bool Background = false;
  std::string Key;             // UTF-8, as the command line gives it
  bool MayListenLate = false;  // no other window waits to be asked
  HandshakeStep Step = HandshakeStep::Done;
  int Sends = 0;
  std::uint32_t WaitStart = 0;   // of the current wait for the answer
  std::uint32_t FirstTaken = 0;  // when the window took the first request
  bool SendOk = false;           // of the last send
  std::uint32_t SendError = 0;
  bool WindowGone = false;
  // Once Done: the answer, whatever it says, or why none came.
  bool Answered = false;
  TMCPIPCOdpowiedz Reply;
  std::string Message;
};

// Sends the first request; `onSent` runs on the loop's thread when a send has finished.
void StartHandshake(THandshake& handshake, void (*onSent)());
// Takes the next step when a send has finished, an answer has come or a wait
// has passed. `mayAskAgain` false: no new request goes out, the handshake ends instead.
void ContinueHandshake(THandshake& handshake, bool mayAskAgain, void (*onSent)());
// Milliseconds until the handshake needs a look without any event; kNoWake when it waits for one.
constexpr std::uint32_t kNoWake = 0xFFFFFFFF;
std::uint32_t HandshakeWakeIn(const THandshake& handshake);
