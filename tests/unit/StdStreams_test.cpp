#include "core/StdStreams.h"

#include "tests/unit/BridgeTest.h"

using StdStreamsTest = BridgeTest;

namespace {
std::vector<std::string> ReadAll() {
  std::vector<std::string> lines;
  std::string line;
  while (ReadClientLine(line)) lines.push_back(line);
  return lines;
}
}  // namespace

TEST_F(StdStreamsTest, LineFeedEndsALineAndOneCarriageReturnBeforeItGoes) {
  Fake.AddInput("a\r\nb\n\n\r\r\nc\rd\n");
  EXPECT_EQ(ReadAll(), (std::vector<std::string>{"a", "b", "", "\r", "c\rd"}));
}

TEST_F(StdStreamsTest, AnUnterminatedLastLineIsReturnedAsItIs) {
  Fake.AddInput("x\ny\r");
  EXPECT_EQ(ReadAll(), (std::vector<std::string>{"x", "y\r"}));
  std::string line = "stale";
  EXPECT_FALSE(ReadClientLine(line));
  EXPECT_EQ(line, "");
}

TEST_F(StdStreamsTest, LinesSplitAcrossReads) {
  Fake.AddInput("{\"a\":");
  Fake.AddInput("1}\n{\"b\"", 1200);
  Fake.AddInput(":2}\n", 1400);
  EXPECT_EQ(ReadAll(), (std::vector<std::string>{"{\"a\":1}", "{\"b\":2}"}));
}

TEST_F(StdStreamsTest, ALineLongerThanOneReadIsCollectedWhole) {
  const std::string longLine(100000, 'x');
  Fake.AddInput(longLine + "\nshort\n");
  EXPECT_EQ(ReadAll(), (std::vector<std::string>{longLine, "short"}));
}

TEST_F(StdStreamsTest, ManyLinesInOneBurstComeOutInOrder) {
  std::string burst;
  for (int i = 0; i < 20000; ++i) burst += std::to_string(i) + "\n";
  Fake.AddInput(burst);
  const std::vector<std::string> lines = ReadAll();
  ASSERT_EQ(lines.size(), 20000u);
  EXPECT_EQ(lines[0], "0");
  EXPECT_EQ(lines[12345], "12345");
  EXPECT_EQ(lines.back(), "19999");
}

TEST_F(StdStreamsTest, SilentPipeIsPolledEveryFiftyMilliseconds) {
  Fake.AddInput("late\n", 1000 + 500);
  std::string line;
  ASSERT_TRUE(ReadClientLine(line));
  EXPECT_EQ(line, "late");
  EXPECT_EQ(Fake.SleepCalls, 10);
  EXPECT_EQ(Fake.Tick, 1500u);
}

TEST_F(StdStreamsTest, InputFromAFileIsReadWithoutPolling) {
  Fake.InputIsPipe = false;
  Fake.AddInput("a\n", 5000);
  std::string line;
  ASSERT_TRUE(ReadClientLine(line));
  EXPECT_EQ(line, "a");
  EXPECT_EQ(Fake.SleepCalls, 0);
  EXPECT_EQ(Fake.EnumCalls, 0);  // no idle work, so no background search
}

TEST_F(StdStreamsTest, WriteAddsOneLineFeed) {
  WriteClientLine("{\"x\":1}");
  WriteClientLine("");
  EXPECT_EQ(Fake.Output, "{\"x\":1}\n");
}
