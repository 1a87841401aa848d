#include "link/ProxyWindow.h"

#include "common/Log.h"
#include "link/HandshakeRecords.h"

namespace {
const char kProxyClassName[] = "OrvinMCPProxyWnd";

struct HandshakeInbox {
  bool Listening = false;  // a handshake waits for an answer
  std::string Reply;
  bool Arrived = false;
  bool CloseRequested = false;
};

HandshakeInbox Inbox;

// Windows may end the process as soon as the end of the session is answered:
// the log's last line must be out by then.
constexpr std::uint32_t kSessionEndLogWait = 1000;

void OnClose(bool sessionEnds) {
  Inbox.CloseRequested = true;
  if (!sessionEnds) return;
  Log("Sesja Windows się kończy (wylogowanie albo zamknięcie systemu) - kończę pracę.");
  FinishLog(kSessionEndLogWait);
}
}  // namespace

WindowHandle CreateProxyWindow() {
  const WindowHandle window = Os().CreateHiddenWindow(kProxyClassName, &ProxyWindowProc, &OnClose);
  // Windows keeps messages of a program with lower rights from an elevated one:
  // a bridge started as administrator must still hear a CRM application that is
  // not. Only then: the filter lets any such program send the window an answer.
  if (window != 0 && Os().RunsElevated()) Os().AllowCopyDataFromLowerRights(window);
  return window;
}

bool ProxyWindowProc(std::uintptr_t tag, const char* data, std::size_t size) {
  if (tag != HandshakeMessageId()) return false;
  // Only an answer to a request of ours counts; a port and token from anywhere else would be taken for a link.
  if (!Inbox.Listening) return true;
  // Up to the zero byte the CRM application sends, and never past the block it delivered.
  Inbox.Reply = data == nullptr ? std::string() : std::string(data, size);
  const std::size_t zero = Inbox.Reply.find('\0');
  if (zero != std::string::npos) Inbox.Reply.resize(zero);
  Inbox.Arrived = true;
  return true;
}

bool HandshakeReplyArrived() { return Inbox.Arrived; }
const std::string& HandshakeReply() { return Inbox.Reply; }

void ListenForHandshakeReply() {
  Inbox.Listening = true;
  Inbox.Reply.clear();
  Inbox.Arrived = false;
}

void StopListeningForHandshakeReply() {
  Inbox.Listening = false;
  Inbox.Reply.clear();
  Inbox.Arrived = false;
}

bool ProxyWindowCloseRequested() { return Inbox.CloseRequested; }

void ResetProxyWindow() { Inbox = HandshakeInbox(); }
