#include "State.h"

#include <ctime>

#include "Json.h"
#include "RecordFile.h"

TStandInState g_state;

namespace {
CRITICAL_SECTION g_stateLock;
LARGE_INTEGER g_startCount, g_countsPerSecond;  // set before any other thread runs
}

void InitStateLock() { InitializeCriticalSection(&g_stateLock); }

StateLock::StateLock() { EnterCriticalSection(&g_stateLock); }
StateLock::~StateLock() { LeaveCriticalSection(&g_stateLock); }

void StartClock() {
  QueryPerformanceFrequency(&g_countsPerSecond);
  QueryPerformanceCounter(&g_startCount);
}

unsigned long long MsSinceStart() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<unsigned long long>(now.QuadPart - g_startCount.QuadPart) * 1000ULL /
         static_cast<unsigned long long>(g_countsPerSecond.QuadPart);
}

std::string NewToken() {
  // msvcrt keeps rand's state per thread, so the generator is our own, under the lock.
  static unsigned long long seed = 0;
  StateLock lock;
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  seed ^= static_cast<unsigned long long>(std::time(nullptr)) ^
          (static_cast<unsigned long long>(GetCurrentProcessId()) << 32) ^
          static_cast<unsigned long long>(counter.QuadPart);
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (int i = 0; i < 2; ++i) {
    // splitmix64
    seed += 0x9E3779B97F4A7C15ULL;
    unsigned long long z = seed;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    for (int j = 0; j < 16; ++j) token += kHex[(z >> (j * 4)) & 15];
  }
  return token;
}

void IssueToken(const std::string& token) {
  g_state.Token = token;
  AppendRecordLine("{\"token\":" + JsonQuote(token) + ",\"at\":" + std::to_string(MsSinceStart()) + "}");
}

const char* HandshakeModeName(HandshakeMode mode) {
  switch (mode) {
    case HandshakeMode::Now: return "now";
    case HandshakeMode::Delay: return "delay";
    case HandshakeMode::Second: return "second";
    case HandshakeMode::Never: return "never";
    case HandshakeMode::Consent: return "consent";
  }
  return "?";
}

bool HandshakeModeFromName(const std::string& name, HandshakeMode& mode) {
  if (name == "now") mode = HandshakeMode::Now;
  else if (name == "delay") mode = HandshakeMode::Delay;
  else if (name == "second") mode = HandshakeMode::Second;
  else if (name == "never") mode = HandshakeMode::Never;
  else if (name == "consent") mode = HandshakeMode::Consent;
  else return false;
  return true;
}

const char* BreakStepName(BreakStep step) {
  switch (step) {
    case BreakStep::None: return "none";
    case BreakStep::Accept: return "accept";
    case BreakStep::Headers: return "headers";
    case BreakStep::Body: return "body";
    case BreakStep::Status: return "status";
    case BreakStep::MidBody: return "midbody";
  }
  return "?";
}

bool BreakStepFromName(const std::string& name, BreakStep& step) {
  if (name == "none") step = BreakStep::None;
  else if (name == "accept") step = BreakStep::Accept;
  else if (name == "headers") step = BreakStep::Headers;
  else if (name == "body") step = BreakStep::Body;
  else if (name == "status") step = BreakStep::Status;
  else if (name == "midbody") step = BreakStep::MidBody;
  else return false;
  return true;
}
