#include "core/RequestLoop.h"

#include "common/HiddenToken.h"
#include "common/Log.h"
#include "common/Text.h"
#include "core/AbandonedCalls.h"
#include "core/CommandLine.h"
#include "core/Forwarding.h"
#include "core/IdleWork.h"
#include "core/LinkAttempts.h"
#include "core/LinkState.h"
#include "core/ProgressNotices.h"
#include "core/StdStreams.h"
#include "core/Subscriptions.h"
#include "link/Connect.h"
#include "link/ProxyWindow.h"
#include "common/JsonText.h"
#include "mcp/LocalMessages.h"
#include "mcp/ModernEra.h"
#include "mcp/ToolListCache.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <utility>

namespace {
constexpr std::size_t kMostInFlight = 16;
// What the bridge answers itself anyway waits only this long for a running attempt:
// a consent question must not hold the client's start-up.
constexpr std::uint32_t kQuickAnswerWait = 50;
// Clients give up after 5 to 60 s.
constexpr std::uint32_t kLongestLinkWait = 10000;
// After the end of input, what went to the CRM application gets this long to be answered.
constexpr std::uint32_t kEndGrace = 5000;
// What still waits for a link then gets only this long: a CRM application that
// does not ask its user answers within milliseconds, and one that does may keep
// its question open for minutes.
constexpr std::uint32_t kEndLinkWait = 300;
// Then the client gets this long to take the last answers.
constexpr std::uint32_t kOutputGrace = 2000;
constexpr std::uint32_t kLongestSleep = 3000;
constexpr std::size_t kLoggedNoJsonBytes = 80;

const char kNoAnswerYet[] =
    "Orvin jeszcze nie odpowiedział na prośbę o połączenie - być może pyta użytkownika o zgodę. Odpowiedz na "
    "pytanie w Orvinie; połączę się, gdy tylko na to pozwoli.";

struct TLoopState {
  std::deque<TRequestPass> Waiting;  // in arrival order, repeats first
  bool ClientSpoke = false;          // a message other than server/discover came
  bool ModernClient = false;         // it spoke revision 2026-07-28: notices go to its subscriptions
  bool ModernClientLogged = false;
  int ListsBeingRead = 0;            // local tool-list answers that wait for a worker's read
  bool InputEnded = false;
  std::uint32_t InputEndTick = 0;
  bool Done = false;
};

TLoopState Loop;

// The client holds a list the bridge made; it learns of the real one through the
// notice. A client of revision 2026-07-28 gets it on each subscription that asked for it.
void NotifyListChanged(const std::string& why) {
  NoticeSent();
  Log(why);
  if (!Loop.ModernClient) {
    WriteClientLine(MakeListChangedNotice());
    return;
  }
  NotifySubscribers();
}

// Every answer to a request goes through here, shaped for the client's revision.
// None (a repeat that waits for a new link) leaves its progress notices going.
void Answer(const TRequestPass& pass, std::string line) {
  if (line.empty()) return;
  StopProgress(pass.Id);
  if (pass.Modern) {
    CompleteModernResult(line, pass.Method);
    CompleteModernError(line);
  }
  WriteClientLine(std::move(line));
}

// A retry of a call the client abandoned gets that call's answer under its own id.
void AnswerRetry(const TRequestPass& retry, std::string line, bool fromCrm, std::uint32_t firstSent) {
  PutRequestId(line, retry.Id);
  Answer(retry, std::move(line));
  Log(retry.Description + " | to samo wywołanie, które klient anulował - nie wysyłam go drugi raz, " +
      (fromCrm ? "przekazuję odpowiedź Orvina na pierwsze" : "pierwsze skończyło się bez odpowiedzi") +
      " (klient czekał łącznie " + ToDecimal(Os().TickCount() - firstSent) + " ms)");
}

const char kOwnListHeld[] = "Klient ma zastępczą listę narzędzi - wysyłam powiadomienie o zmianie.";

// The client now holds a list the bridge made; a link that came up while the
// file was read must still tell it of the real one, after the list.
void AnswerWithToolList(const TRequestPass& pass, const std::string& message, const std::string& path,
                        const TCacheFile& file) {
  std::string source;
  Answer(pass, ToolListReply(JudgeCacheFile(path, file), pass.Id, source));
  OwnListSent();
  Log(pass.Description + " | " + source + " | " + message);
  if (LinkState.Connected) NotifyListChanged(kOwnListHeld);
}

void AnswerLocally(const TRequestPass& pass, const std::string& message) {
  const std::string lead = pass.Description + " | ";
  if (pass.Id.empty()) {
    Log(lead + "notyfikacja, brak połączenia | " + message);
  } else if (pass.Method == "initialize") {
    Answer(pass, MakeInitializeReply(pass.Line, pass.Id));
    Log(lead + "odpowiedź własna, brak Orvina | " + message);
  } else if (pass.Method == "ping") {
    Answer(pass, MakePingReply(pass.Id));
    Log(lead + "odpowiedź własna, brak Orvina | " + message);
  } else if (pass.Method == "tools/list") {
    const std::string path = GetToolListCacheFile();
    const TCacheFile file = ReadCacheFile(path, false);
    if (!file.Busy) {
      AnswerWithToolList(pass, message, path, file);
      return;
    }
    // Another bridge replaces the file just now: a worker waits for it, not the loop.
    auto read = std::make_shared<TCacheFile>();
    ++Loop.ListsBeingRead;
    Os().QueueWork([read, path] { *read = ReadCacheFile(path, true); },
                   [pass, message, path, read] {
                     --Loop.ListsBeingRead;
                     AnswerWithToolList(pass, message, path, *read);
                   });
  } else if (pass.Method == "tools/call") {
    Answer(pass, MakeNotConnectedResult(pass.Id, message));
    Log(lead + "odmowa wykonania, brak Orvina | " + message);
  } else {
    Answer(pass, MakeErrorReply(pass.Id, message));
    Log(lead + "błąd -32000 | " + message);
  }
}

bool IsConnectShortCut(const TRequestPass& pass) {
  return pass.Method == "tools/call" && !pass.Id.empty() &&
         JsonStringValue(JsonParamsValue(pass.Line, "name")) == "orvin_connect";
}

// The client holds a list the bridge made; it learns of the real one through the notice.
void AnswerConnectShortCut(const TRequestPass& pass) {
  Answer(pass, MakeConnectedResult(pass.Id));
  NotifyListChanged(pass.Description + " | klient ma starą listę - odpowiedź własna i "
                    "ponowne powiadomienie o zmianie listy narzędzi");
}

// What the bridge answers exactly as well without a link.
bool AnsweredAlikeWithoutLink(const TRequestPass& pass) {
  return !pass.Id.empty() && (pass.Method == "initialize" || pass.Method == "ping" || pass.Method == "tools/list");
}

// A cancellation of a request that has not gone out yet: neither is ever sent,
// and MCP asks no answer for a cancelled request.
bool CancelWaitingRequest(const TRequestPass& cancel) {
  if (cancel.Method != "notifications/cancelled" || !cancel.Id.empty()) return false;
  const std::string requestId = JsonParamsValue(cancel.Line, "requestId");
  if (requestId.empty()) return false;
  const auto named = std::find_if(Loop.Waiting.begin(), Loop.Waiting.end(),
                                  [&requestId](const TRequestPass& pass) { return pass.Id == requestId; });
  if (named == Loop.Waiting.end()) return false;
  Log(named->Description + " | anulowane przez klienta, zanim trafiło do Orvina - nie wysyłam go");
  Loop.Waiting.erase(named);
  return true;
}

void AnswerAllWaiting(const std::string& message) {
  std::deque<TRequestPass> waiting;
  waiting.swap(Loop.Waiting);
  for (const TRequestPass& pass : waiting) AnswerLocally(pass, message);
}

// Lines that wait for a link get their local answer once they have waited long enough.
void AnswerThoseWaitedLongEnough(std::uint32_t now) {
  for (auto it = Loop.Waiting.begin(); it != Loop.Waiting.end();) {
    if (it->LinkWaitEnd == 0) {
      const std::uint32_t end = now + (AnsweredAlikeWithoutLink(*it) ? kQuickAnswerWait : kLongestLinkWait);
      it->LinkWaitEnd = end == 0 ? 1 : end;
    }
    if (static_cast<std::int32_t>(now - it->LinkWaitEnd) >= 0) {
      const TRequestPass pass = std::move(*it);
      it = Loop.Waiting.erase(it);
      AnswerLocally(pass, kNoAnswerYet);
    } else {
      ++it;
    }
  }
}

void Advance();
void StartAttempt(AttemptKind kind);

// A request whose link was lost before it could run waits for the new one, ahead of newer lines.
void WaitForLinkAgain(TRequestPass pass) {
  const auto firstNew = std::find_if(Loop.Waiting.begin(), Loop.Waiting.end(),
                                     [](const TRequestPass& waiting) { return !waiting.Repeat; });
  pass.LinkWaitEnd = 0;
  Loop.Waiting.insert(firstNew, std::move(pass));
}

// A cancelled call ended: the retries that waited for it get what it would have
// had. One that cannot have run left nothing: its retries go out themselves.
void SettleAbandonedCall(const TExchangeResult& result) {
  for (TRequestPass& retry : AbandonedCallEnded(result.Pass, result.Answer, result.FromCrm, Os().TickCount())) {
    if (result.Answer.empty()) {
      Loop.Waiting.push_back(std::move(retry));
    } else {
      AnswerRetry(retry, result.Answer, result.FromCrm, result.Pass.Start);
    }
  }
}

void OnExchangeFinished(TExchangeResult result) {
  if (result.CrmListArrived) CrmListArrived();
  // Planned before the answer goes out, so that its log line comes first.
  if (!result.NoticeRetry.empty()) {
    OwnListSent();
    ScheduleListChangedRetry(result.NoticeRetry);
  }
  if (result.Cancelled) {
    SettleAbandonedCall(result);
  } else {
    Answer(result.Pass, std::move(result.Answer));
  }
  switch (result.Link) {
    case LinkVerdict::Stands: break;
    case LinkVerdict::Lost:
      // One reconnect for all the requests the link lost.
      if (LinkLost(result.Generation)) {
        Log("Utrata łączności: " + result.LostBecause + " Łączę się ponownie.");
        StartAttempt(AttemptKind::Reconnect);
      }
      break;
    case LinkVerdict::Down: LinkLost(result.Generation); break;
    case LinkVerdict::EndpointOff: EndpointOff(result.Generation); break;
  }
  if (result.Repeat) WaitForLinkAgain(std::move(result.Pass));
}

void SendExchange(TRequestPass pass) {
  if (!pass.Repeat && !Loop.InputEnded) WatchProgress(pass, Os().TickCount());
  StartExchange(std::move(pass), LinkState, &OnExchangeFinished);
}

void OnAttemptEnded(const TAttemptResult& result) {
  if (result.Outcome.Ok) {
    LinkUp(result.Outcome.Port, result.Outcome.Token, result.Outcome.ProcessId);
    RememberToken(result.Outcome.Token);  // the log hides it from now on, and after it changed too
    Log(result.Announcement);
    if (LinkState.PlaceholderListSent) NotifyListChanged(kOwnListHeld);
  }
  if (!result.Note.empty()) Log(result.Note);
  if (result.Refused) KeepRefusal(*result.Refused);
  if (result.Outcome.WindowClosed) LookAgainAtOnce();
  if (!result.FailureForWaiting.empty()) AnswerAllWaiting(result.FailureForWaiting);
  Advance();
}

void StartAttempt(AttemptKind kind) {
  if (LinkAttemptRunning()) return;
  // Any attempt counts: the next one in the background comes 3 s after it.
  AttemptStarted();
  StartLinkAttempt(kind, LinkState.ProxyWindow, &OnAttemptEnded);
}

void SendWhatMayGo() {
  while (!Loop.Waiting.empty() && LinkState.Connected && ExchangesInFlight() < kMostInFlight && !OthersHeldBack()) {
    TRequestPass pass = std::move(Loop.Waiting.front());
    Loop.Waiting.pop_front();
    pass.LinkWaitEnd = 0;
    if (IsConnectShortCut(pass)) {
      AnswerConnectShortCut(pass);
    } else {
      SendExchange(std::move(pass));
    }
  }
}

// Brings every waiting line one step on: to a link, to the CRM application or to its local answer.
void Advance() {
  if (LinkState.Connected) {
    SendWhatMayGo();
    return;
  }
  if (Loop.Waiting.empty()) return;
  if (Loop.InputEnded && TicksSince(Loop.InputEndTick, Os().TickCount()) >= kEndLinkWait) {
    AnswerAllWaiting("Klient zamknął strumień, więc nie łączę się już z Orvinem.");
    return;
  }
  if (EndpointOffVerdictLeft() > 0) {
    AnswerAllWaiting(EndpointOffText());
    return;
  }
  StartAttempt(AttemptKind::ForRequests);
  // Finding windows is quick; only asking one can take as long as its user does.
  if (ConnectAttemptAsking()) AnswerThoseWaitedLongEnough(Os().TickCount());
}

// What the bridge answers itself for a client of revision 2026-07-28, whatever
// the link: the probe, and a revision it does not speak. True when the line is done.
bool TakenByModernEra(TRequestPass& pass) {
  const std::string revision = ModernRevision(pass.Line);
  pass.Modern = !revision.empty();
  if (pass.Modern && !Loop.ModernClientLogged) {
    Loop.ModernClientLogged = true;
    Log("Klient MCP w wersji protokołu " + DescribeModernClient(pass.Line, revision) + ".");
  }
  if (pass.Method == "server/discover") {
    // Often from a process that is gone a moment later: no attempt for it, and never forwarded.
    if (!pass.Id.empty()) WriteClientLine(MakeDiscoverReply(pass.Id));
    Log(pass.Description + " | odpowiedź własna");
    return true;
  }
  if (!pass.Modern) return false;
  if (!SpeaksRevision(revision)) {
    if (pass.Id.empty()) {
      Log(pass.Description + " | notyfikacja w nieobsługiwanej wersji protokołu " + ShownRevision(revision) +
          " - pomijam");
    } else {
      WriteClientLine(MakeUnsupportedRevisionReply(pass.Id, revision));
      Log(pass.Description + " | błąd -32022: nieobsługiwana wersja protokołu " + ShownRevision(revision));
    }
    return true;
  }
  Loop.ModernClient = true;
  return false;
}

// A tool call identical to one the client abandoned never goes out while that
// one may still run or its answer is kept.
bool TakenAsRetry(const TRequestPass& pass) {
  if (pass.Method != "tools/call" || pass.Id.empty()) return false;
  const std::uint32_t now = Os().TickCount();
  TRetry retry = TakeRetry(pass, now);
  switch (retry.Verdict) {
    case TRetryVerdict::NoRetry: return false;
    case TRetryVerdict::Answer: AnswerRetry(pass, std::move(retry.Answer), retry.FromCrm, retry.FirstSent); return true;
    case TRetryVerdict::Waits: WatchProgress(pass, now); return true;
  }
  return false;
}

void OnInputEnded() {
  if (Loop.InputEnded) return;
  Loop.InputEnded = true;
  Loop.InputEndTick = Os().TickCount();
  EndAllSubscriptions("klient zamknął strumień");
  StopAllProgress();
  StopAskingForLinks();
  Advance();
}

// A link attempt may still wait for a window that asks its user: nothing waits for it now.
bool NothingLeft() { return Loop.Waiting.empty() && ExchangesInFlight() == 0 && Loop.ListsBeingRead == 0; }
// Once the input has ended, an exchange the client cancelled has nobody left to
// take its answer, not even a retry: the bridge does not wait for it.
bool NothingAwaited() {
  return Loop.Waiting.empty() && ExchangesAwaited() == 0 && !RetriesWaiting() && Loop.ListsBeingRead == 0;
}

void CheckTheEnd() {
  if (!Loop.InputEnded || Loop.Done) return;
  if (NothingLeft()) {
    Loop.Done = true;
  } else if (NothingAwaited()) {
    LogUnfinishedExchanges();
    Loop.Done = true;
  } else if (TicksSince(Loop.InputEndTick, Os().TickCount()) >= kEndGrace) {
    LogUnfinishedExchanges();
    for (const TRequestPass& pass : Loop.Waiting) {
      Log(pass.Description + " | nie wysłane - klient zamknął strumień");
    }
    Loop.Waiting.clear();
    Loop.Done = true;
  }
}

std::uint32_t NextWake() {
  const std::uint32_t now = Os().TickCount();
  std::uint32_t wake = std::min({kLongestSleep, ConnectAttemptWakeIn(), ProgressWakeIn(now)});
  for (const TRequestPass& pass : Loop.Waiting) {
    if (pass.LinkWaitEnd != 0) {
      const std::int32_t left = static_cast<std::int32_t>(pass.LinkWaitEnd - now);
      wake = std::min(wake, left > 0 ? static_cast<std::uint32_t>(left) : 0u);
    }
  }
  if (Loop.InputEnded) {
    const std::uint32_t passed = TicksSince(Loop.InputEndTick, now);
    const std::uint32_t limit = Loop.Waiting.empty() || LinkState.Connected ? kEndGrace : kEndLinkWait;
    wake = std::min(wake, passed >= limit ? 0 : limit - passed);
  } else if (Loop.ClientSpoke && Loop.Waiting.empty()) {
    wake = std::min(wake, IdleWorkWakeIn(LinkAttemptRunning()));
  }
  return wake;
}

void AfterWake() {
  if (ProxyWindowCloseRequested()) {
    EndInput("Poproszono o zamknięcie OrvinMCP - nie przyjmuję nowych żądań i kończę pracę.");
  }
  ContinueConnectAttempt();
  Advance();
  SendDueProgress(Os().TickCount());
  ForgetOldAnswers(Os().TickCount());
  // Idle work runs while the client is silent, and never before its first message.
  if (Loop.ClientSpoke && !Loop.InputEnded && Loop.Waiting.empty()) DoIdleWork();
  CheckTheEnd();
}
}  // namespace

void HandleClientLine(std::string line) {
  // Asked to close, the bridge takes nothing new.
  if (Loop.InputEnded) return;
  // A line may be many megabytes: it is moved, never copied.
  if (std::all_of(line.begin(), line.end(), [](unsigned char c) { return c <= 32; })) return;
  // Nothing in it can be read, not even whether it wants an answer: JSON-RPC's
  // answer then, whatever the link, and the CRM application never sees it.
  if (!IsSingleJsonValue(line)) {
    WriteClientLine(MakeParseErrorReply());
    Log("(bez metody) | błąd -32700, wiersz nie jest tekstem JSON: " + LogExcerpt(line, kLoggedNoJsonBytes));
    return;
  }
  TRequestPass pass;
  pass.Line = std::move(line);
  pass.Description = DescribeRequest(pass.Line);
  pass.Id = JsonRawValue(pass.Line, "id");
  pass.Method = JsonStringValue(JsonRawValue(pass.Line, "method"));

  if (TakenByModernEra(pass)) return;
  if (!Loop.ClientSpoke) {
    Loop.ClientSpoke = true;
    if (!LinkState.Connected) StartAttempt(AttemptKind::StartUp);
  }
  if (pass.Method == "subscriptions/listen") {
    Listen(pass);
    return;
  }
  if (pass.Method == "notifications/cancelled" && pass.Id.empty()) {
    const std::string requestId = JsonParamsValue(pass.Line, "requestId");
    if (EndSubscription(requestId, "anulowana przez klienta")) return;
    StopProgress(requestId);
    const std::string retry = ForgetRetry(requestId);
    if (!retry.empty()) {
      Log(retry + " | anulowane przez klienta, zanim trafiło do Orvina - nie wysyłam go");
      return;
    }
    const TRequestPass* cancelled = MarkCancelled(requestId);
    if (cancelled && cancelled->Method == "tools/call" && !cancelled->Id.empty()) CallAbandoned(*cancelled);
  }
  if (CancelWaitingRequest(pass)) return;
  if (TakenAsRetry(pass)) return;
  if (pass.Method == "notifications/cancelled" && pass.Id.empty() && LinkState.Connected) {
    SendExchange(std::move(pass));  // at once, even beside the request it names
    return;
  }
  Loop.Waiting.push_back(std::move(pass));
  Advance();
}

void DoIdleWork() {
  switch (IdleStepDue(LinkAttemptRunning())) {
    case IdleStep::Nothing: break;
    case IdleStep::RepeatNotice: NotifyListChanged("Ponawiam powiadomienie o zmianie listy narzędzi."); break;
    case IdleStep::Attempt: StartAttempt(AttemptKind::Idle); break;
  }
}

void RunLoopUntilSettled() {
  AfterWake();
  while (!NothingLeft() || LinkAttemptRunning()) {
    Os().RunLoopOnce(NextWake());
    AfterWake();
  }
}

void RunRequestLoop() {
  StartReadingClientInput(&HandleClientLine, &OnInputEnded);
  while (!Loop.Done) {
    Os().RunLoopOnce(NextWake());
    AfterWake();
  }
  FinishClientOutput(kOutputGrace);
}

void EndInput(const std::string& why) {
  if (Loop.InputEnded) return;
  Log(why);
  OnInputEnded();
}

void ResetRequestLoop() {
  Loop = TLoopState();
  ResetSubscriptions();
  ResetProgressNotices();
  ResetAbandonedCalls();
}
