#include "core/IdleWork.h"

#include "common/Encodings.h"
#include "common/Text.h"
#include "core/Forwarding.h"
#include "core/LinkAttempts.h"
#include "core/LinkState.h"
#include "common/Log.h"
#include "core/StdStreams.h"
#include "mcp/LocalMessages.h"

namespace {
constexpr std::uint32_t kNoticeRepeatDelay = 3000;
constexpr std::int32_t kNoticeRepeatLimit = 5;
constexpr std::uint32_t kIdleAttemptInterval = 3000;

void SendListChangedNotice() { WriteClientLine(MakeListChangedNotice()); }
}  // namespace

void NotifyListChangedIfPlaceholder() {
  LinkState.Connected = true;
  LinkState.Refused = false;
  if (!LinkState.PlaceholderListSent) return;
  LinkState.PlaceholderListSent = false;
  LinkState.NoticeRetryTick = 0;  // the notice goes out now
  Log("Klient ma zastępczą listę narzędzi - wysyłam powiadomienie o zmianie.");
  SendListChangedNotice();
}

void AnnounceLink() {
  Log("Połączono z Orvinem na porcie " + ToDecimal(static_cast<int>(LinkState.Port)) + ".");
  NotifyListChangedIfPlaceholder();
}

void ScheduleListChangedRetry(const std::string& prefix) {
  if (LinkState.NoticeRetryCount >= kNoticeRepeatLimit) {
    Log(prefix + " Limit " + ToDecimal(static_cast<int>(kNoticeRepeatLimit)) + " ponowień "
        "wyczerpany - nie ponawiam powiadomienia o zmianie listy narzędzi.");
    return;
  }
  ++LinkState.NoticeRetryCount;
  const std::uint32_t now = Os().TickCount();
  LinkState.NoticeRetryTick = now == 0 ? 1 : now;
  Log(prefix + " Ponowię powiadomienie o zmianie listy narzędzi za " + ToDecimal(kNoticeRepeatDelay / 1000) +
      " s (próba " + ToDecimal(static_cast<int>(LinkState.NoticeRetryCount)) + " z " +
      ToDecimal(static_cast<int>(kNoticeRepeatLimit)) + ").");
}

void DoIdleWork() {
  const std::uint32_t now = Os().TickCount();
  if (LinkState.Connected && LinkState.NoticeRetryTick != 0 &&
      TicksSince(LinkState.NoticeRetryTick, now) >= kNoticeRepeatDelay) {
    LinkState.NoticeRetryTick = 0;
    LinkState.PlaceholderListSent = false;
    Log("Ponawiam powiadomienie o zmianie listy narzędzi.");
    SendListChangedNotice();
    return;
  }
  if (LinkState.Connected || LinkState.Refused || LinkAttemptRunning() || EndpointOffVerdictLeft() > 0) return;
  if (LinkState.LastIdleAttemptTick != 0 && TicksSince(LinkState.LastIdleAttemptTick, now) < kIdleAttemptInterval) {
    return;
  }
  StartLinkAttempt(AttemptKind::Idle);
}

std::uint32_t IdleWorkWakeIn() {
  const std::uint32_t now = Os().TickCount();
  auto left = [now](std::uint32_t since, std::uint32_t interval) {
    const std::uint32_t passed = TicksSince(since, now);
    return passed >= interval ? 0 : interval - passed;
  };
  if (LinkState.Connected) {
    return LinkState.NoticeRetryTick != 0 ? left(LinkState.NoticeRetryTick, kNoticeRepeatDelay) : kNoIdleWork;
  }
  // A running attempt wakes the loop when it ends.
  if (LinkState.Refused || LinkAttemptRunning()) return kNoIdleWork;
  if (const std::uint32_t verdict = EndpointOffVerdictLeft()) return verdict;
  return LinkState.LastIdleAttemptTick == 0 ? 0 : left(LinkState.LastIdleAttemptTick, kIdleAttemptInterval);
}
