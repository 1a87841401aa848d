#include "core/IdleWork.h"

#include "common/Log.h"
#include "common/Text.h"
#include "core/LinkState.h"

namespace {
constexpr std::uint32_t kNoticeRepeatDelay = 3000;
constexpr std::int32_t kNoticeRepeatLimit = 5;
constexpr std::uint32_t kIdleAttemptInterval = 3000;

std::uint32_t Left(std::uint32_t since, std::uint32_t interval, std::uint32_t now) {
  const std::uint32_t passed = TicksSince(since, now);
  return passed >= interval ? 0 : interval - passed;
}
}  // namespace

void ScheduleListChangedRetry(const std::string& prefix) {
  if (LinkState.NoticeRetryCount >= kNoticeRepeatLimit) {
    Log(prefix + " Limit " + ToDecimal(static_cast<int>(kNoticeRepeatLimit)) + " ponowień "
        "wyczerpany - nie ponawiam powiadomienia o zmianie listy narzędzi.");
    return;
  }
  ++LinkState.NoticeRetryCount;
  LinkState.NoticeRetryTick = StoredTick(Os().TickCount());
  Log(prefix + " Ponowię powiadomienie o zmianie listy narzędzi za " + ToDecimal(kNoticeRepeatDelay / 1000) +
      " s (próba " + ToDecimal(static_cast<int>(LinkState.NoticeRetryCount)) + " z " +
      ToDecimal(static_cast<int>(kNoticeRepeatLimit)) + ").");
}

IdleStep IdleStepDue(bool attemptRunning) {
  const std::uint32_t now = Os().TickCount();
  if (LinkState.Connected) {
    return LinkState.NoticeRetryTick != 0 && Left(LinkState.NoticeRetryTick, kNoticeRepeatDelay, now) == 0
               ? IdleStep::RepeatNotice
               : IdleStep::Nothing;
  }
  if (LinkState.Refused || attemptRunning || EndpointOffVerdictLeft() > 0) return IdleStep::Nothing;
  if (LinkState.LastIdleAttemptTick != 0 && Left(LinkState.LastIdleAttemptTick, kIdleAttemptInterval, now) > 0) {
    return IdleStep::Nothing;
  }
  return IdleStep::Attempt;
}

std::uint32_t IdleWorkWakeIn(bool attemptRunning) {
  const std::uint32_t now = Os().TickCount();
  if (LinkState.Connected) {
    return LinkState.NoticeRetryTick != 0 ? Left(LinkState.NoticeRetryTick, kNoticeRepeatDelay, now) : kNoIdleWork;
  }
  // A running attempt wakes the loop when it ends.
  if (LinkState.Refused || attemptRunning) return kNoIdleWork;
  if (const std::uint32_t verdict = EndpointOffVerdictLeft()) return verdict;
  return LinkState.LastIdleAttemptTick == 0 ? 0 : Left(LinkState.LastIdleAttemptTick, kIdleAttemptInterval, now);
}
