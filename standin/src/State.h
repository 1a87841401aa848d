#pragma once
// Everything the window thread and the HTTP threads share, behind one lock.
// Handshake texts (Message, Key) are ANSI, like the window messages that carry them.

#include <windows.h>

#include <string>
#include <vector>

enum class HandshakeMode { Now, Delay, Second, Never, Consent };

// Where the next MCP requests break their connection (control command /break).
enum class BreakStep { None, Accept, Headers, Body, Status, MidBody };

struct TStandInState {
  // Handshake behaviour.
  HandshakeMode Mode = HandshakeMode::Now;
  unsigned DelayMs = 2000;  // also how long the user of mode Consent takes to answer
  bool QuestionOpen = false;  // a consent question is on the screen (mode Consent)
  unsigned RequestsSinceModeSet = 0;  // for HandshakeMode::Second
  bool StatusForced = false;
  std::string ForcedStatus;
  std::string Message;
  bool KeyGiven = false;
  std::string Key;
  bool KeyLine = true;
  bool EmptyAnswer = false;

  // MCP endpoint.
  std::string Token;
  int McpPort = 0;
  int AnnouncedPort = 0;  // the port the handshake names; 0: McpPort (/announce)
  bool EndpointOn = true;
  bool Listening = false;
  unsigned SlowMs = 0;
  bool ToolsListError = false;
  bool TestTools = false;
  BreakStep Break = BreakStep::None;
  int BreakCount = 0;
  bool BreakAbortive = true;  // reset (RST) rather than an orderly close
  std::string QuoteToken;     // "html" or "json": answers quote the bearer tokens (/quote-token); empty: off
  unsigned LoseEvery = 0;     // every Nth tools/call is never answered (/lose); 0: off
  unsigned LoseCounter = 0;

  // Record of what arrived, each entry one JSON object.
  std::vector<std::string> HandshakeRecord;
  std::vector<std::string> RequestRecord;
  unsigned long long RecordSeq = 0;  // numbers the requests in the record file
};

extern TStandInState g_state;

void InitStateLock();

// Holds the state lock for its lifetime.
class StateLock {
 public:
  StateLock();
  ~StateLock();
  StateLock(const StateLock&) = delete;
  StateLock& operator=(const StateLock&) = delete;
};

std::string NewToken();

// Makes the token current and notes it in the record file; under the lock.
void IssueToken(const std::string& token);

// Milliseconds since the process started, for the record's arrival times.
void StartClock();
unsigned long long MsSinceStart();

const char* HandshakeModeName(HandshakeMode mode);
bool HandshakeModeFromName(const std::string& name, HandshakeMode& mode);
const char* BreakStepName(BreakStep step);
bool BreakStepFromName(const std::string& name, BreakStep& step);
