#include "link/Handshake.h"

#include "common/AICommon.h"
#include "common/AICommonUtf8.h"
#include "core/LinkState.h"
#include "core/Log.h"
#include "link/ProxyWindow.h"
#include "link/WindowDiscovery.h"

namespace {
// The CRM application may ask its user for consent while it takes the message.
constexpr std::uint32_t kSendTimeout = 120000;
constexpr std::uint32_t kReplyWait = 5000;

std::string ArrivedWord(const char* yes, const char* no) { return HandshakeReplyArrived() ? yes : no; }
}  // namespace

bool RequestPortAndToken(WindowHandle window, bool background, TMCPIPCOdpowiedz& reply, std::string& message) {
  message.clear();
  // A thread that has not looked at its queue for 5 s counts as hung, and the CRM
  // application may send its answer with SMTO_ABORTIFHUNG: after a long forward,
  // look now. What this delivers is a late answer to an earlier request: dropped.
  while (Os().PumpOneMessage()) {
  }
  ClearHandshakeReply();
  const std::string request = BuildHandshakeRequest(LinkState.ProxyWindow, background);
  const std::uint32_t tag = HandshakeMessageId();
  if (!SendHandshakeRequest(window, tag, request, kSendTimeout)) {
    // Windows keeps messages of a program with lower rights from one started as administrator.
    const bool stoppedByRights = window != 0 && tag != 0 && Os().LastError() == kAccessDenied;
    message = stoppedByRights ? "Windows nie dopuścił żądania do Orvina: " + DifferentRightsText()
                              : "Orvin nie odpowiedział na żądanie w wyznaczonym czasie.";
    return false;
  }
  Log("Żądanie dostarczone, odpowiedź w trakcie wysyłki: " + ArrivedWord("tak", "nie") + ".");
  if (!HandshakeReplyArrived()) {
    WaitForHandshakeReply(kReplyWait);
    Log("Po dopompowaniu komunikatów odpowiedź: " + ArrivedWord("jest", "nadal jej brak") + ".");
  }
  if (!HandshakeReplyArrived()) {
    Log("Ponawiam żądanie o port i token.");
    ClearHandshakeReply();
    const std::string again = BuildHandshakeRequest(LinkState.ProxyWindow, background);
    if (SendHandshakeRequest(window, HandshakeMessageId(), again, kSendTimeout) && !HandshakeReplyArrived()) {
      WaitForHandshakeReply(kReplyWait);
    }
    Log("Po ponowieniu odpowiedź: " + ArrivedWord("jest", "nadal jej brak") + ".");
  }
  if (!HandshakeReplyArrived()) {
    message = "Orvin przyjął żądanie, ale nie odesłał odpowiedzi (okno proxy: " +
              ToDecimal(static_cast<std::uint64_t>(LinkState.ProxyWindow)) + ", dwie próby).";
    return false;
  }
  reply = ParseHandshakeReply(HandshakeReply());
  return true;
}
