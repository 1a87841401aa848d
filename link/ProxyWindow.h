#pragma once
// The bridge's hidden window that receives the CRM application's handshake
// answers. It belongs to the loop's thread, which answers its messages at once.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Platform.h"

// 0 when it cannot be created; LastError then tells why.
WindowHandle CreateProxyWindow();
bool ProxyWindowProc(std::uintptr_t tag, const char* data, std::size_t size);

// The answer that arrived since the last ListenForHandshakeReply; answers that
// come while nothing listens are dropped.
bool HandshakeReplyArrived();
const std::string& HandshakeReply();
void ListenForHandshakeReply();
void StopListeningForHandshakeReply();

// The window was asked to close (WM_CLOSE, or the end of the session).
bool ProxyWindowCloseRequested();

// Forgets the answer, the listening and a close request, as at process start.
void ResetProxyWindow();
