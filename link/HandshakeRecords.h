#pragma once
// The handshake with one CRM window as records and texts: the registered tag,
// the request text and its sending, the parsed answer.

#include <cstdint>
#include <string>

#include "platform/Platform.h"

// The parsed handshake answer.
struct TMCPIPCOdpowiedz {
  std::string Status;
  std::int32_t Port = 0;
  std::string Token;
  std::string Message;
  std::string Key;
  bool KeySupported = false;
};

std::uint32_t HandshakeMessageId();
// `key` is the MCP key as the command line gives it, trimmed (UTF-8).
std::string BuildHandshakeRequest(WindowHandle proxyWindow, bool background, const std::string& key);
bool SendHandshakeRequest(WindowHandle target, WindowHandle proxyWindow, std::uint32_t tag, const std::string& text,
                          std::uint32_t timeoutMilliseconds);
// The answer comes in the ANSI code page; its fields are the bridge's UTF-8 text.
TMCPIPCOdpowiedz ParseHandshakeReply(const std::string& ansi);
bool ParseKeyLine(const std::string& line, std::string& key);

// Forgets the registered tag, as at process start.
void ResetHandshakeTag();
