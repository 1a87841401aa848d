#include "core/IdleWork.h"

#include "tests/unit/CrmDouble.h"

using IdleWorkTest = CrmTest;

namespace {
int CountLines(const std::vector<std::string>& lines, const std::string& prefix) {
  int count = 0;
  for (const std::string& line : lines) count += line.compare(0, prefix.size(), prefix) == 0;
  return count;
}
}  // namespace

TEST_F(IdleWorkTest, SilentClientWithoutCrmTriesEveryThreeSeconds) {
  Fake.AddInput("{\"id\":1,\"method\":\"ping\"}\n", 1000 + 10000);
  std::string line;
  ASSERT_TRUE(ReadClientLine(line));
  EXPECT_EQ(Fake.EnumCalls, 4);  // at 1000, 4000, 7000 and 10000
  EXPECT_TRUE(Fake.LogLines().empty());
}

TEST_F(IdleWorkTest, LinkUpWhileTheClientHoldsThePlaceholder) {
  Send(R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})");
  Fake.Output.clear();
  Fake.At(2500, [this] { StartCrm(); });
  Fake.AddInput("{\"id\":3,\"method\":\"tools/list\"}\n", 8000);
  std::string line;
  ASSERT_TRUE(ReadClientLine(line));
  EXPECT_EQ(Fake.Output, "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/tools/list_changed\"}\n");
  const std::vector<std::string> log = Fake.LogLines();
  EXPECT_EQ(log.at(log.size() - 2), "Połączono z Orvinem na porcie 8123.");
  EXPECT_EQ(log.back(), "Klient ma zastępczą listę narzędzi - wysyłam powiadomienie o zmianie.");
  EXPECT_EQ(Fake.HandshakeRequests.at(0), "1\r\n2755260\r\n1\r\nMCP=");  // in the background
  EXPECT_FALSE(LinkState.PlaceholderListSent);
  EXPECT_EQ(Fake.HandshakeRequests.size(), 1u);  // no attempts once linked
}

TEST_F(IdleWorkTest, LinkUpWithoutAPlaceholderSendsNoNotice) {
  StartCrm();
  DoIdleWork();
  EXPECT_TRUE(LinkState.Connected);
  EXPECT_EQ(Fake.Output, "");
}

TEST_F(IdleWorkTest, RefusalStopsBackgroundAttemptsUntilARequestSucceeds) {
  StartCrm("NOPERM\r\n0\r\n\r\nBrak zgody.");
  Fake.AddInput("{\"id\":1,\"method\":\"ping\"}\n", 1000 + 10000);
  std::string line;
  ASSERT_TRUE(ReadClientLine(line));
  EXPECT_EQ(Fake.HandshakeRequests.size(), 1u);
  EXPECT_EQ(CountLines(Fake.LogLines(), "Orvin odmówił: "), 1);
  EXPECT_EQ(Fake.LogLines().back(),
            "Orvin odmówił: Brak zgody. Przestaję pytać w tle - spróbuję przy kolejnym żądaniu.");
  Send(line);  // a request always makes its own attempt
  EXPECT_EQ(Fake.HandshakeRequests.size(), 2u);
}

TEST_F(IdleWorkTest, DueNoticeRepeatIsSentWhileLinked) {
  StartCrm();
  DoIdleWork();
  ScheduleListChangedRetry("x.");
  EXPECT_EQ(Fake.LogLines().back(), "x. Ponowię powiadomienie o zmianie listy narzędzi za 3 s (próba 1 z 5).");
  Fake.Tick += 2999;
  DoIdleWork();
  EXPECT_EQ(Fake.Output, "");
  Fake.Tick += 1;
  DoIdleWork();
  EXPECT_EQ(Fake.Output, "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/tools/list_changed\"}\n");
  EXPECT_EQ(Fake.LogLines().back(), "Ponawiam powiadomienie o zmianie listy narzędzi.");
  EXPECT_EQ(LinkState.NoticeRetryTick, 0u);
}

TEST_F(IdleWorkTest, RepeatDueWhileTheLinkIsDownGivesWayToTheLinkUpNotice) {
  LinkState.PlaceholderListSent = true;
  ScheduleListChangedRetry("x.");
  Fake.Tick += 5000;
  StartCrm();
  DoIdleWork();
  EXPECT_EQ(Fake.Output, "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/tools/list_changed\"}\n");
  EXPECT_EQ(LinkState.NoticeRetryTick, 0u);
  DoIdleWork();
  EXPECT_EQ(OutputLines().size(), 1u);
}

TEST_F(IdleWorkTest, TickCounterWrapDoesNoHarm) {
  Fake.Tick = 0xFFFFFF00u;
  DoIdleWork();
  EXPECT_EQ(Fake.EnumCalls, 1);
  Fake.Tick += 3000;  // wraps past zero
  DoIdleWork();
  EXPECT_EQ(Fake.EnumCalls, 2);
}
