#include "core/StdStreams.h"

#include "tests/unit/BridgeTest.h"

using StdStreamsTest = BridgeTest;

namespace {
std::vector<std::string> Lines;
bool Ended = false;

// Every line the reader hands to the loop, until input ends.
std::vector<std::string> ReadAll() {
  Lines.clear();
  Ended = false;
  StartReadingClientInput([](std::string line) { Lines.push_back(std::move(line)); }, [] { Ended = true; });
  while (!Ended) Os().RunLoopOnce(60000);
  return Lines;
}
}  // namespace

TEST_F(StdStreamsTest, LineFeedEndsALineAndOneCarriageReturnBeforeItGoes) {
  Fake.AddInput("a\r\nb\n\n\r\r\nc\rd\n");
  EXPECT_EQ(ReadAll(), (std::vector<std::string>{"a", "b", "", "\r", "c\rd"}));
}

TEST_F(StdStreamsTest, AnUnterminatedLastLineIsReturnedAsItIs) {
  Fake.AddInput("x\ny\r");
  EXPECT_EQ(ReadAll(), (std::vector<std::string>{"x", "y\r"}));
}

TEST_F(StdStreamsTest, LinesSplitAcrossReads) {
  Fake.AddInput("{\"a\":");
  Fake.AddInput("1}\n{\"b\"", 1200);
  Fake.AddInput(":2}\n", 1400);
  EXPECT_EQ(ReadAll(), (std::vector<std::string>{"{\"a\":1}", "{\"b\":2}"}));
}

TEST_F(StdStreamsTest, LongLinesAreCollectedWholeAndTheirMemoryGoesBack) {
  std::string longLine, longLast;
  for (int i = 0; i < 400000; ++i) longLine += std::to_string(i % 10007) + ",";  // about 2.3 MB
  longLast = "{" + longLine.substr(0, 3500000) + "\r";
  Fake.AddInput("first\n" + longLine.substr(0, 1000000));
  Fake.AddInput(longLine.substr(1000000) + "\r\nshort\n" + longLast.substr(0, 1500000), 1200);
  Fake.AddInput(longLast.substr(1500000), 1300);
  const std::vector<std::string> lines = ReadAll();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "first");
  EXPECT_TRUE(lines[1] == longLine);
  EXPECT_EQ(lines[2], "short");
  EXPECT_TRUE(lines[3] == longLast);  // unterminated: its carriage return stays
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

TEST_F(StdStreamsTest, ALineIsHandedOnWhenItArrivesWithoutPolling) {
  Fake.AddInput("late\n", 1000 + 520);
  EXPECT_EQ(ReadAll(), std::vector<std::string>{"late"});
  EXPECT_EQ(Fake.Tick, 1520u);  // at once, not at the next step of a poll
  EXPECT_LE(Fake.LoopWaits, 3);
  EXPECT_EQ(Fake.SleepCalls, 0);
}

TEST_F(StdStreamsTest, WriteAddsOneLineFeed) {
  WriteClientLine("{\"x\":1}");
  WriteClientLine("");
  EXPECT_EQ(Fake.Output, "{\"x\":1}\n");
}
