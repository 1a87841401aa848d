#pragma once
// The bridge's hidden window that receives the CRM application's handshake
// answers. Its messages are pumped only while a handshake waits.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Platform.h"

// Creates the window and stores it in LinkState.ProxyWindow.
bool CreateProxyWindow();
bool ProxyWindowProc(std::uintptr_t tag, const char* data, std::size_t size);

// The answer that arrived since the last ClearHandshakeReply.
bool HandshakeReplyArrived();
const std::string& HandshakeReply();
void ClearHandshakeReply();

// Pumps the thread's messages until an answer arrives or the limit passes.
void WaitForHandshakeReply(std::uint32_t limitMilliseconds);
