#include "link/ProxyWindow.h"

#include "link/HandshakeRecords.h"

namespace {
const char kProxyClassName[] = "OrvinMCPProxyWnd";

struct HandshakeInbox {
  std::string Reply;
  bool Arrived = false;
};

HandshakeInbox Inbox;
}  // namespace

WindowHandle CreateProxyWindow() {
  const WindowHandle window = Os().CreateHiddenWindow(kProxyClassName, &ProxyWindowProc);
  // A bridge started as administrator still hears a CRM application that is not;
  // older systems have no such filter, and nothing stops the answers there.
  if (window != 0) Os().AllowCopyDataFromLowerRights(window);
  return window;
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
