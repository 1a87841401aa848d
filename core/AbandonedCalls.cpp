#include "core/AbandonedCalls.h"

#include <algorithm>
#include <deque>

#include "common/JsonText.h"
#include "common/Log.h"
#include "common/Text.h"

namespace {
constexpr std::uint32_t kKeptFor = 10 * 60 * 1000;
constexpr std::size_t kMostKept = 32;
constexpr std::size_t kMostKeptBytes = 64 * 1024 * 1024;

struct TRunning {
  std::string Id;  // raw JSON, of the abandoned call
  std::string Key;
  std::uint32_t FirstSent = 0;
  std::vector<TRequestPass> Retries;
};

struct TKept {
  std::string Key;
  std::string Answer;
  bool FromCrm = false;  // else the "may have run" error: a retry must not run it a second time
  std::uint32_t FirstSent = 0;
  std::uint32_t KeptAt = 0;
};

struct TAbandonedState {
  std::vector<TRunning> Running;
  std::deque<TKept> Kept;  // oldest first
  std::size_t KeptBytes = 0;
};

TAbandonedState State;

// The tool's name and arguments as one canonical text; empty when they are no
// valid JSON, and then the call is like no other.
std::string CallKey(const std::string& line) {
  std::string name;
  std::string arguments;
  const std::string rawArguments = JsonParamsValue(line, "arguments");
  if (!CanonicalJson(JsonParamsValue(line, "name"), name)) return std::string();
  if (!rawArguments.empty() && !CanonicalJson(rawArguments, arguments)) return std::string();
  return name + "\n" + arguments;
}

std::size_t KeptSize(const TKept& kept) { return kept.Key.size() + kept.Answer.size(); }

void DropOldest() {
  State.KeptBytes -= KeptSize(State.Kept.front());
  State.Kept.pop_front();
}

void Keep(const TRequestPass& call, TKept kept) {
  const std::size_t size = KeptSize(kept);
  if (size > kMostKeptBytes) {
    Log(call.Description + " | anulowane przez klienta - odpowiedź Orvina jest zbyt duża, by ją zachować (" +
        ToDecimal(static_cast<std::uint64_t>(kept.Answer.size())) + " B)");
    return;
  }
  while (!State.Kept.empty() && (State.Kept.size() >= kMostKept || State.KeptBytes + size > kMostKeptBytes)) {
    DropOldest();
  }
  State.KeptBytes += size;
  const bool fromCrm = kept.FromCrm;
  State.Kept.push_back(std::move(kept));
  Log(call.Description + (fromCrm ? " | anulowane przez klienta - odpowiedź Orvina zachowuję"
                                  : " | anulowane przez klienta i mogło zostać wykonane - ten błąd zachowuję") +
      " na 10 min, gdyby klient ponowił to wywołanie");
}
}  // namespace

void CallAbandoned(const TRequestPass& call) {
  const bool known = std::any_of(State.Running.begin(), State.Running.end(),
                                 [&call](const TRunning& running) { return running.Id == call.Id; });
  if (known) return;
  TRunning running;
  running.Id = call.Id;
  running.Key = CallKey(call.Line);
  running.FirstSent = call.Start;
  if (!running.Key.empty()) State.Running.push_back(std::move(running));
}

TRetry TakeRetry(const TRequestPass& call, std::uint32_t now) {
  TRetry retry;
  ForgetOldAnswers(now);
  if (State.Running.empty() && State.Kept.empty()) return retry;
  const std::string key = CallKey(call.Line);
  if (key.empty()) return retry;
  const auto kept = std::find_if(State.Kept.begin(), State.Kept.end(), [&key](const TKept& k) { return k.Key == key; });
  if (kept != State.Kept.end()) {
    retry.Verdict = TRetryVerdict::Answer;
    retry.Answer = std::move(kept->Answer);
    retry.FromCrm = kept->FromCrm;
    retry.FirstSent = kept->FirstSent;
    State.KeptBytes -= KeptSize(*kept);
    State.Kept.erase(kept);
    return retry;
  }
  const auto running = std::find_if(State.Running.begin(), State.Running.end(),
                                    [&key](const TRunning& r) { return r.Key == key; });
  if (running == State.Running.end()) return retry;
  retry.Verdict = TRetryVerdict::Waits;
  retry.FirstSent = running->FirstSent;
  running->Retries.push_back(call);
  return retry;
}

std::vector<TRequestPass> AbandonedCallEnded(const TRequestPass& call, const std::string& answer, bool fromCrm,
                                             std::uint32_t now) {
  const auto running = std::find_if(State.Running.begin(), State.Running.end(),
                                    [&call](const TRunning& r) { return r.Id == call.Id; });
  if (running == State.Running.end()) return {};
  TRunning ended = std::move(*running);
  State.Running.erase(running);
  // An empty answer: it cannot have run, and a retry may go out itself.
  if (ended.Retries.empty() && !answer.empty()) {
    ForgetOldAnswers(now);
    Keep(call, TKept{std::move(ended.Key), answer, fromCrm, ended.FirstSent, now});
  }
  return std::move(ended.Retries);
}

std::string ForgetRetry(const std::string& id) {
  for (TRunning& running : State.Running) {
    const auto retry = std::find_if(running.Retries.begin(), running.Retries.end(),
                                    [&id](const TRequestPass& pass) { return pass.Id == id; });
    if (retry != running.Retries.end()) {
      const std::string description = retry->Description;
      running.Retries.erase(retry);
      return description;
    }
  }
  return std::string();
}

bool RetriesWaiting() {
  return std::any_of(State.Running.begin(), State.Running.end(),
                     [](const TRunning& running) { return !running.Retries.empty(); });
}

void ForgetOldAnswers(std::uint32_t now) {
  while (!State.Kept.empty() && now - State.Kept.front().KeptAt >= kKeptFor) DropOldest();
}

void ResetAbandonedCalls() { State = TAbandonedState(); }
