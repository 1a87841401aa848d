#include "link/HandshakeRecords.h"

#include <cstdlib>
#include <vector>

#include "common/Encodings.h"
#include "common/Text.h"

namespace {
const char kTagName[] = "OrvinMCPMsg";

std::uint32_t HandshakeTag = 0;

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string current;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(current);
      current.clear();
      i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
    } else {
      current += c;
      ++i;
    }
  }
  if (!current.empty()) lines.push_back(current);
  return lines;
}

// A whole decimal integer with an optional sign; false otherwise or out of range.
bool ParseWholeInteger(const std::string& text, std::int32_t& value) {
  std::size_t i = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
  if (i >= text.size() || text.size() - i > 10) return false;
  for (std::size_t k = i; k < text.size(); ++k) {
    if (text[k] < '0' || text[k] > '9') return false;
  }
  const long long parsed = std::strtoll(text.c_str(), nullptr, 10);
  if (parsed < INT32_MIN || parsed > INT32_MAX) return false;
  value = static_cast<std::int32_t>(parsed);
  return true;
}
}  // namespace

void ResetHandshakeTag() { HandshakeTag = 0; }

std::uint32_t HandshakeMessageId() {
  if (HandshakeTag == 0) HandshakeTag = Os().RegisterWindowMessage(kTagName);
  return HandshakeTag;
}

// The CRM application reads and writes its handshake texts in the ANSI code page.
std::string BuildHandshakeRequest(WindowHandle proxyWindow, bool background, const std::string& key) {
  return "1\r\n" + ToDecimal(static_cast<std::uint64_t>(proxyWindow)) + "\r\n" + (background ? "1" : "0") +
         "\r\nMCP=" + Utf8ToAnsi(key);
}

bool SendHandshakeRequest(WindowHandle target, WindowHandle proxyWindow, std::uint32_t tag, const std::string& text,
                          std::uint32_t timeoutMilliseconds) {
  if (target == 0 || tag == 0) return false;
  // The terminating zero byte travels with the text; the sender's window in wParam, as WM_COPYDATA has it.
  return Os().SendCopyData(target, proxyWindow, tag, text.c_str(), static_cast<std::uint32_t>(text.size() + 1),
                           timeoutMilliseconds);
}

bool ParseKeyLine(const std::string& line, std::string& key) {
  key.clear();
  if (line.compare(0, 4, "MCP=") != 0) return false;
  key = Trim(line.substr(4));
  return true;
}

TMCPIPCOdpowiedz ParseHandshakeReply(const std::string& ansi) {
  TMCPIPCOdpowiedz reply;
  const std::vector<std::string> lines = SplitLines(AnsiToUtf8(ansi));
  if (lines.empty()) {
    reply.Status = "ERROR";
    reply.Message = "Pusta odpowiedź z Orvina.";
    return reply;
  }
  reply.Status = Trim(lines[0]);
  if (lines.size() > 1) ParseWholeInteger(Trim(lines[1]), reply.Port);
  if (lines.size() > 2) reply.Token = Trim(lines[2]);
  if (lines.size() > 3) reply.Message = Trim(lines[3]);
  if (lines.size() > 4) reply.KeySupported = ParseKeyLine(lines[4], reply.Key);
  return reply;
}
