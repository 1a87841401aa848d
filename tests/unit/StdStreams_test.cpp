#include "core/StdStreams.h"

#include "link/Handshake.h"
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

TEST_F(StdStreamsTest, LongLinesAreCollectedWholeAndTheirMemoryGoesBack) {
  std::string longLine, longLast;
  for (int i = 0; i < 400000; ++i) longLine += std::to_string(i % 10007) + ",";  // about 2.3 MB
  longLast = "{" + longLine.substr(0, 3500000) + "\r";
  Fake.AddInput("first\n" + longLine.substr(0, 1000000));
  Fake.AddInput(longLine.substr(1000000) + "\r\nshort\n" + longLast.substr(0, 1500000), 1200);
  Fake.AddInput(longLast.substr(1500000), 1300);
  std::string line;
  std::vector<std::string> lines;
  while (ReadClientLine(line)) lines.push_back(line);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "first");
  EXPECT_TRUE(lines[1] == longLine);
  EXPECT_EQ(lines[2], "short");
  EXPECT_TRUE(lines[3] == longLast);  // unterminated: its carriage return stays
  EXPECT_LT(line.capacity(), 65536u);  // the last call let go of the long line
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

TEST_F(StdStreamsTest, ASilentPipeIsWatchedAndIdleWorkKeepsItsRhythm) {
  Fake.AddInput("late\n", 1000 + 520);
  std::string line;
  ASSERT_TRUE(ReadClientLine(line));
  EXPECT_EQ(line, "late");
  EXPECT_EQ(Fake.Tick, 1520u);  // at once, not at the next 50 ms step
  EXPECT_EQ(Fake.InputWaits, 11);
  EXPECT_EQ(Fake.EnumCalls, 1);  // the idle search of 1000; the next is due at 4000
  EXPECT_EQ(Fake.SleepCalls, 0);
}

TEST_F(StdStreamsTest, WithoutAWatchOnThePipeTheLoopSleeps) {
  Fake.InputWatchStarts = false;
  Fake.AddInput("late\n", 1000 + 520);
  std::string line;
  ASSERT_TRUE(ReadClientLine(line));
  EXPECT_EQ(line, "late");
  EXPECT_EQ(Fake.SleepCalls, 11);
  EXPECT_EQ(Fake.Tick, 1550u);
}

TEST_F(StdStreamsTest, AWatchThatWakesForNothingDoesNotSpin) {
  Fake.InputWatchWakesForNothing = true;
  Fake.AddInput("late\n", 1000 + 520);
  std::string line;
  ASSERT_TRUE(ReadClientLine(line));
  EXPECT_EQ(Fake.SleepCalls, 11);  // each empty wake-up is followed by the usual pause
}

TEST_F(StdStreamsTest, WindowMessagesAreAnsweredWhileWaitingAndALateAnswerIsStillDiscarded) {
  ASSERT_TRUE(CreateProxyWindow());
  Fake.AnswerLater("OK\r\n1\r\nlate", 20);
  Fake.AddInput("a\n", 1000 + 70);
  std::string line;
  ASSERT_TRUE(ReadClientLine(line));
  EXPECT_EQ(Fake.MessagesDispatchedWhileWaiting, 1);
  EXPECT_TRUE(HandshakeReplyArrived());
  Fake.AddCrmWindow("C:\\Crm\\o.exe").OnCopyData = [](const std::string&) { return true; };
  TMCPIPCOdpowiedz reply;
  std::string message;
  EXPECT_FALSE(RequestPortAndToken(Fake.Windows.front().Handle, false, reply, message));
  EXPECT_EQ(Fake.LogLines().back(), "Po ponowieniu odpowiedź: nadal jej brak.");
}

TEST_F(StdStreamsTest, InputFromAFileIsReadWithoutPolling) {
  Fake.InputIsPipe = false;
  Fake.AddInput("a\n", 5000);
  std::string line;
  ASSERT_TRUE(ReadClientLine(line));
  EXPECT_EQ(line, "a");
  EXPECT_EQ(Fake.SleepCalls, 0);
  EXPECT_EQ(Fake.InputWaits, 0);
  EXPECT_EQ(Fake.EnumCalls, 0);  // no idle work, so no background search
}

TEST_F(StdStreamsTest, WriteAddsOneLineFeed) {
  WriteClientLine("{\"x\":1}");
  WriteClientLine("");
  EXPECT_EQ(Fake.Output, "{\"x\":1}\n");
}
