#include "core/IdleWork.h"

#include "core/RequestLoop.h"
#include "tests/unit/CrmDouble.h"

class IdleWorkTest : public CrmTest {
 protected:
  void Idle() {
    DoIdleWork();
    RunLoopUntilSettled();
  }
  const std::string Initialized = "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}\n";
};

namespace {
int CountLines(const std::vector<std::string>& lines, const std::string& prefix) {
  int count = 0;
  for (const std::string& line : lines) count += line.compare(0, prefix.size(), prefix) == 0;
  return count;
}
}  // namespace

TEST_F(IdleWorkTest, SilentClientWithoutCrmTriesEveryThreeSecondsOnceItHasSpoken) {
  Fake.AddInput(Initialized, 1000 + 500);
  Fake.AddInput("{\"id\":1,\"method\":\"ping\"}\n", 1000 + 10000);
  RunRequestLoop();
  // none before the first message; at 1500 the start-up attempt made for it, then 4500, 7500, 10500, and the ping's
  EXPECT_EQ(Fake.EnumCalls, 5);
  EXPECT_EQ(Fake.LogLines().size(), 3u);  // the start-up attempt, the notification and the ping
}

TEST_F(IdleWorkTest, LinkUpWhileTheClientHoldsThePlaceholder) {
  Send(R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})");
  Fake.Output.clear();
  Fake.At(2500, [this] { StartCrm(); });
  Fake.AddInput("{\"id\":3,\"method\":\"tools/list\"}\n", 8000);
  RunRequestLoop();
  EXPECT_EQ(Fake.Output, "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/tools/list_changed\"}\n"
                         "{\"jsonrpc\":\"2.0\",\"id\":3,\"result\":{}}\n");
  const std::vector<std::string> log = Fake.LogLines();
  EXPECT_EQ(log.at(log.size() - 3), "Połączono z Orvinem na porcie 8123.");
  EXPECT_EQ(log.at(log.size() - 2), "Klient ma zastępczą listę narzędzi - wysyłam powiadomienie o zmianie.");
  EXPECT_EQ(Fake.HandshakeRequests.at(0), "1\r\n2755260\r\n1\r\nMCP=");  // in the background
  EXPECT_FALSE(LinkState.PlaceholderListSent);
  EXPECT_EQ(Fake.HandshakeRequests.size(), 1u);  // no attempts once linked
}

TEST_F(IdleWorkTest, LinkUpWithoutAPlaceholderSendsNoNotice) {
  StartCrm();
  Idle();
  EXPECT_TRUE(LinkState.Connected);
  EXPECT_EQ(Fake.Output, "");
}

TEST_F(IdleWorkTest, RefusalStopsBackgroundAttemptsUntilARequestSucceeds) {
  Send(Initialized);
  Fake.At(2000, [this] { StartCrm("NOPERM\r\n0\r\n\r\nBrak zgody."); });
  Fake.AddInput("{\"id\":1,\"method\":\"ping\"}\n", 1000 + 10000);
  std::size_t beforeThePing = 0;
  Fake.At(1000 + 9999, [&] { beforeThePing = Fake.HandshakeRequests.size(); });
  RunRequestLoop();
  EXPECT_EQ(beforeThePing, 1u);  // the background attempt at 4000, refused
  EXPECT_EQ(CountLines(Fake.LogLines(), "Orvin odmówił: Brak zgody. Przestaję pytać w tle - spróbuję przy kolejnym żądaniu."), 1);
  EXPECT_EQ(Fake.HandshakeRequests.size(), 2u);  // a request always makes its own attempt
}

TEST_F(IdleWorkTest, DueNoticeRepeatIsSentWhileLinked) {
  StartCrm();
  Idle();
  ScheduleListChangedRetry("x.");
  EXPECT_EQ(Fake.LogLines().back(), "x. Ponowię powiadomienie o zmianie listy narzędzi za 3 s (próba 1 z 5).");
  Fake.Tick += 2999;
  Idle();
  EXPECT_EQ(Fake.Output, "");
  Fake.Tick += 1;
  Idle();
  EXPECT_EQ(Fake.Output, "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/tools/list_changed\"}\n");
  EXPECT_EQ(Fake.LogLines().back(), "Ponawiam powiadomienie o zmianie listy narzędzi.");
  EXPECT_EQ(LinkState.NoticeRetryTick, 0u);
}

TEST_F(IdleWorkTest, RepeatDueWhileTheLinkIsDownGivesWayToTheLinkUpNotice) {
  LinkState.PlaceholderListSent = true;
  ScheduleListChangedRetry("x.");
  Fake.Tick += 5000;
  StartCrm();
  Idle();
  EXPECT_EQ(Fake.Output, "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/tools/list_changed\"}\n");
  EXPECT_EQ(LinkState.NoticeRetryTick, 0u);
  Idle();
  EXPECT_EQ(OutputLines().size(), 1u);
}

TEST_F(IdleWorkTest, TickCounterWrapDoesNoHarm) {
  Fake.Tick = 0xFFFFFF00u;
  Idle();
  EXPECT_EQ(Fake.EnumCalls, 1);
  Fake.Tick += 3000;  // wraps past zero
  Idle();
  EXPECT_EQ(Fake.EnumCalls, 2);
}
