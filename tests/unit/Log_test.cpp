#include "common/Log.h"

#include "common/Encodings.h"
#include "common/HiddenToken.h"
#include "tests/unit/BridgeTest.h"

using LogTest = BridgeTest;

TEST_F(LogTest, LineFormatOnAPipe) {
  Log("Połączono\r\nz\n");  // one line per event, whatever a text from outside holds
  EXPECT_EQ(Fake.ErrorOutput, "[09:05:03.007] [OrvinMCP:812] Po\xc5\x82\xc4\x85" "czono\\r\\nz\\n\r\n");
}

TEST_F(LogTest, EveryTokenOfTheRunIsHiddenInEveryForm) {
  RememberToken("Zz/1");  // an earlier link's
  RememberToken("Ab/+9=");
  RememberToken("nCd123/+=");
  const std::pair<std::string, std::string> rows[] = {
      {R"(x Ab/+9= "Ab\/\u002b9\u003D" "\u0041b/\u002B\u0039=")", R"(x *** "***" "***")"},
      {"Ab%2F%2B9%3D Ab%2f%2b9%3d Ab\\/%2B9\\u003d Zz%2f1 Zz\\u002F1", "*** *** *** *** ***"},
      {"Ab/+8 nCd123/", "Ab/+8 ***"},  // broken off in the middle
      {R"(x nCd123\/\u00)", "x ***"},    // in the middle of an escape
      {"x nCd123%2", "x ***"},          // in the middle of a percent-encoding
      {"x Ab/+9 nCd12", "x Ab/+9 nCd12"},  // too little of a token to matter
      {R"(Ab\u002C9 b\/ Ab%2C+9= Zz%2G1)", R"(Ab\u002C9 b\/ Ab%2C+9= Zz%2G1)"},
  };
  for (const auto& row : rows) EXPECT_EQ(HideTokensInFragment(row.first), row.second) << row.first;
  Log("Zz/1 nCd123%2");  // a whole line hides whole tokens only
  EXPECT_EQ(Fake.LogLines(), std::vector<std::string>{"*** nCd123%2"});
  // An excerpt hides a long enough beginning of a token at its end, cut there or not.
  EXPECT_EQ(LogExcerpt("id: nCd123/+ xyz", 12), "id: ***");
  EXPECT_EQ(LogExcerpt("id: nCd123/+"), "id: ***");
  EXPECT_EQ(LogExcerpt("Content-Type: application/json; inne id: n"), "Content-Type: application/json; inne id: n");
}

// A late answer may quote a token issued after the last handshake: its shape gives it away.
TEST_F(LogTest, AWordShapedLikeTheRunsTokensIsHiddenToo) {
  RememberToken("3bU/jUJaSXh+Lt3l04Yk5I6dNJ6JRmC=");
  const std::pair<std::string, std::string> rows[] = {
      {"token: Qx9+Lm2/aB7cD8eF0gH1iJ2kL3mN4o5= x", "token: *** x"},
      {R"("Qx9+Lm2\/aB7cD8eF0gH1iJ2kL3mN4o5\u003D")", R"("***")"},
      {"Qx9%2BLm2%2faB7cD8eF0gH1iJ2kL3mN4o5%3D", "***"},
      {"ApplicationConfigurationManager1 z", "*** z"},  // the price: a word just like a token
      {"Application/ConfigurationManager", "Application/ConfigurationManager"},  // no digit, as every token has
      {"Qx9+Lm2/aB7cD8eF0gH1iJ2kL3mN4o5=A", "Qx9+Lm2/aB7cD8eF0gH1iJ2kL3mN4o5=A"},  // one character longer
  };
  for (const auto& row : rows) EXPECT_EQ(HideTokens(row.first), row.second) << row.first;
}

TEST_F(LogTest, EmptyTextAndMidnight) {
  Fake.Time = LocalTime{0, 0, 0, 0};
  Log("");
  EXPECT_EQ(Fake.ErrorOutput, "[00:00:00.000] [OrvinMCP:812] \r\n");
}

TEST_F(LogTest, TimeSeparatorOfTheRegionalSettings) {
  Fake.Separator = '.';
  Fake.Time = LocalTime{23, 59, 58, 999};
  Log("x");
  EXPECT_EQ(Fake.ErrorOutput, "[23.59.58.999] [OrvinMCP:812] x\r\n");
}

TEST_F(LogTest, ConsoleGetsItsCodePageAndLosesOnlyWhatItLacks) {
  Fake.ErrorFileType = FileType::Char;
  Fake.ConsoleCodePage = 437;  // no ł, but ó
  Log("ółx");
  EXPECT_EQ(Fake.ErrorOutput, "[09:05:03.007] [OrvinMCP:812] \xa2x\r\n");
  Fake.ConsoleCodePage = 852;  // asked anew for every line
  Log("ł");
  EXPECT_EQ(Fake.ErrorOutput.substr(Fake.ErrorOutput.size() - 3), "\x88\r\n");
}

TEST_F(LogTest, MissingErrorStream) {
  Fake.ErrorHandleValue = kNullHandle;
  Log("dropped");
  Fake.ErrorHandleValue = 102;
  Log("asked again");
  EXPECT_EQ(Fake.LogLines(), std::vector<std::string>{"asked again"});

  ResetLogState();
  Fake.ErrorOutput.clear();
  Fake.ErrorHandleValue = kInvalidHandle;
  Log("never");
  Fake.ErrorHandleValue = 102;
  Log("still never");
  EXPECT_EQ(Fake.ErrorOutput, "");
}

TEST_F(LogTest, FormatTiming) {
  EXPECT_EQ(FormatTiming(153, 212, 987), "t=153ms, rq=212B, rp=987B");
  EXPECT_EQ(FormatTiming(0, 0, 0), "t=0ms, rq=0B, rp=0B");
  EXPECT_EQ(FormatTiming(0x80000000u, -1, 5), "t=2147483648ms, rq=-1B, rp=5B");
}

TEST_F(LogTest, APipeThatCannotTakeALineNowLosesItAndLaterSaysHowMany) {
  Fake.ErrorWriterFull = true;
  Log("a");
  Log("b");
  Fake.ErrorWriterFull = false;
  Log("c");
  Log("d");
  EXPECT_EQ(Fake.LogLines(), (std::vector<std::string>{
                                 "Liczba pominiętych wierszy dziennika: 2 - odbiorca nie odczytywał strumienia błędów.",
                                 "c", "d"}));
  FinishLog();
  EXPECT_EQ(Fake.FinishWritesCalls, 1);
}
