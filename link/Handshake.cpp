#include "link/Handshake.h"

#include <algorithm>
#include <memory>

#include "common/Text.h"
#include "common/Log.h"
#include "link/ProxyWindow.h"
#include "link/WindowDiscovery.h"

namespace {
// The CRM application may ask its user for consent while it takes the message.
constexpr std::uint32_t kSendTimeout = 120000;
constexpr std::uint32_t kReplyWait = 5000;
// A window that took the request may still answer once its user has: that answer
// is waited for instead of asking again and again.
constexpr std::uint32_t kLateAnswerWait = 120000;
// While it waits for an answer, the handshake looks this often whether the window
// still exists: a user who closes the CRM application during its consent
// question must not keep the bridge waiting for an answer that cannot come.
constexpr std::uint32_t kWindowCheckInterval = 500;

const char kWindowClosed[] = "Orvin został zamknięty, zanim odpowiedział na żądanie.";

struct TSendResult {
  bool Ok = false;
  std::uint32_t Error = 0;
  bool WindowGone = false;
};

std::string ArrivedWord(const char* yes, const char* no) { return HandshakeReplyArrived() ? yes : no; }

void QueueSend(THandshake& handshake, void (*onSent)()) {
  handshake.Step = HandshakeStep::Sending;
  ++handshake.Sends;
  const std::string request = BuildHandshakeRequest(handshake.ProxyWindow, handshake.Background, handshake.Key);
  const std::uint32_t tag = HandshakeMessageId();
  const WindowHandle window = handshake.Window;
  const WindowHandle proxyWindow = handshake.ProxyWindow;
  auto result = std::make_shared<TSendResult>();
  Os().QueueWork(
      [result, window, proxyWindow, tag, request] {
        result->Ok = SendHandshakeRequest(window, proxyWindow, tag, request, kSendTimeout);
        if (!result->Ok) {
          result->Error = Os().LastError();
          result->WindowGone = window != 0 && !Os().WindowExists(window);
        }
      },
      [&handshake, result, onSent] {
        handshake.SendOk = result->Ok;
        handshake.SendError = result->Error;
        handshake.WindowGone = result->WindowGone;
        handshake.Step = HandshakeStep::SendFinished;
        onSent();
      });
}

void Finish(THandshake& handshake) {
  handshake.Step = HandshakeStep::Done;
  handshake.Answered = HandshakeReplyArrived();
  if (handshake.Answered) handshake.Reply = ParseHandshakeReply(HandshakeReply());
  StopListeningForHandshakeReply();
}

void EndWith(THandshake& handshake, const std::string& message) {
  handshake.Message = message;
  Finish(handshake);
}

// A window that is gone cannot answer any more.
bool EndedByClosedWindow(THandshake& handshake) {
  if (HandshakeReplyArrived() || Os().WindowExists(handshake.Window)) return false;
  handshake.WindowGone = true;
  Log(kWindowClosed);
  EndWith(handshake, kWindowClosed);
  return true;
}

std::string SendFailureText(const THandshake& handshake) {
  // A window that closed while it took the request is Orvin closing, whatever the error says.
  if (handshake.WindowGone) return kWindowClosed;
  // Windows keeps messages of a program with lower rights from one started as administrator.
  if (handshake.Window != 0 && HandshakeMessageId() != 0 && handshake.SendError == kAccessDenied) {
    return "Windows nie dopuścił żądania do Orvina: " + DifferentRightsText();
  }
  return "Orvin nie odpowiedział na żądanie w wyznaczonym czasie.";
}

void EndWithoutAnswer(THandshake& handshake, bool mayAskAgain) {
  handshake.Message = "Orvin przyjął żądanie, ale nie odesłał odpowiedzi (okno proxy: " +
                      ToDecimal(static_cast<std::uint64_t>(handshake.ProxyWindow)) + ", dwie próby).";
  if (handshake.MayListenLate && mayAskAgain) {
    handshake.Step = HandshakeStep::ListeningLate;
    Log("Czekam do 2 min na spóźnioną odpowiedź Orvina - nie wysyłam mu nowych żądań.");
  } else {
    Finish(handshake);
  }
}
}  // namespace

void StartHandshake(THandshake& handshake, void (*onSent)()) {
  // An answer that arrives between handshakes belongs to none of them.
  ListenForHandshakeReply();
  handshake.Sends = 0;
  handshake.Answered = false;
  handshake.WindowGone = false;
  handshake.Message.clear();
  QueueSend(handshake, onSent);
}

void ContinueHandshake(THandshake& handshake, bool mayAskAgain, void (*onSent)()) {
  const std::uint32_t now = Os().TickCount();
  switch (handshake.Step) {
    case HandshakeStep::Sending:
    case HandshakeStep::Done:
      return;
    case HandshakeStep::SendFinished:
      if (handshake.Sends == 1) {
        if (!handshake.SendOk) {
          EndWith(handshake, SendFailureText(handshake));
          return;
        }
        handshake.FirstTaken = now;
        Log("Żądanie dostarczone, odpowiedź w trakcie wysyłki: " + ArrivedWord("tak", "nie") + ".");
      }
      if (HandshakeReplyArrived()) {
        if (handshake.Sends == 2) Log("Po ponowieniu odpowiedź: jest.");
        Finish(handshake);
        return;
      }
      if (handshake.Sends == 2 && !handshake.SendOk) {  // not reported on its own
        Log("Po ponowieniu odpowiedź: nadal jej brak.");
        EndWithoutAnswer(handshake, mayAskAgain);
        return;
      }
      handshake.Step = HandshakeStep::WaitingForAnswer;
      handshake.WaitStart = now;
      return;
    case HandshakeStep::WaitingForAnswer:
      if (EndedByClosedWindow(handshake)) return;
      if (!HandshakeReplyArrived() && now - handshake.WaitStart < kReplyWait) return;
      if (handshake.Sends == 1) {
        Log("Po dopompowaniu komunikatów odpowiedź: " + ArrivedWord("jest", "nadal jej brak") + ".");
        if (HandshakeReplyArrived()) {
          Finish(handshake);
        } else if (!mayAskAgain) {
          EndWithoutAnswer(handshake, false);
        } else {
          Log("Ponawiam żądanie o port i token.");
          ListenForHandshakeReply();
          QueueSend(handshake, onSent);
        }
        return;
      }
      Log("Po ponowieniu odpowiedź: " + ArrivedWord("jest", "nadal jej brak") + ".");
      if (HandshakeReplyArrived()) {
        Finish(handshake);
      } else {
        EndWithoutAnswer(handshake, mayAskAgain);
      }
      return;
    case HandshakeStep::ListeningLate:
      if (HandshakeReplyArrived()) {
        Log("Spóźniona odpowiedź Orvina nadeszła.");
        Finish(handshake);
      } else if (!EndedByClosedWindow(handshake) && (!mayAskAgain || now - handshake.FirstTaken >= kLateAnswerWait)) {
        Finish(handshake);
      }
      return;
  }
}

std::uint32_t HandshakeWakeIn(const THandshake& handshake) {
  const std::uint32_t now = Os().TickCount();
  auto left = [now](std::uint32_t start, std::uint32_t limit) {
    const std::uint32_t passed = now - start;
    return passed >= limit ? 0 : limit - passed;
  };
  switch (handshake.Step) {
    case HandshakeStep::WaitingForAnswer: return std::min(kWindowCheckInterval, left(handshake.WaitStart, kReplyWait));
    case HandshakeStep::ListeningLate: return std::min(kWindowCheckInterval, left(handshake.FirstTaken, kLateAnswerWait));
    case HandshakeStep::SendFinished: return 0;
    default: return kNoWake;
  }
}
