#include "link/ProxyWindow.h"

#include "core/LinkState.h"
#include "link/HandshakeRecords.h"

namespace {
const char kProxyClassName[] = "OrvinMCPProxyWnd";
constexpr std::uint32_t kPumpPause = 10;

struct HandshakeInbox {
  std::string Reply;
  bool Arrived = false;
};

HandshakeInbox Inbox;
}  // namespace

bool CreateProxyWindow() {
  LinkState.ProxyWindow = Os().CreateHiddenWindow(kProxyClassName, &ProxyWindowProc);
  if (LinkState.ProxyWindow == 0) return false;
  // A bridge started as administrator still hears a CRM application that is not;
  // older systems have no such filter, and nothing stops the answers there.
  Os().AllowCopyDataFromLowerRights(LinkState.ProxyWindow);
  return true;
}

bool ProxyWindowProc(std::uintptr_t tag, const char* data, std::size_t size) {
  if (tag != HandshakeMessageId()) return false;
  // Up to the zero byte the CRM application sends, and never past the block it delivered.
  Inbox.Reply = data == nullptr ? std::string() : std::string(data, size);
  const std::size_t zero = Inbox.Reply.find('\0');
  if (zero != std::string::npos) Inbox.Reply.resize(zero);
  Inbox.Arrived = true;
  return true;
}

bool HandshakeReplyArrived() { return Inbox.Arrived; }
const std::string& HandshakeReply() { return Inbox.Reply; }

void ClearHandshakeReply() { Inbox = HandshakeInbox(); }

void WaitForHandshakeReply(std::uint32_t limitMilliseconds) {
  const std::uint32_t start = Os().TickCount();
  while (!Inbox.Arrived && TicksSince(start, Os().TickCount()) < limitMilliseconds) {
    while (!Inbox.Arrived && Os().PumpOneMessage()) {
    }
    if (!Inbox.Arrived) Os().Sleep(kPumpPause);
  }
}
