#include "core/AbandonedCalls.h"

#include "tests/unit/BridgeTest.h"

using AbandonedCallsTest = BridgeTest;

TEST_F(AbandonedCallsTest, AtMost32AnswersAnd64MegabytesAreKeptTheOldestGoingFirst) {
  const auto call = [](int k) {
    TRequestPass pass;
    pass.Id = std::to_string(k);
    pass.Method = "tools/call";
    pass.Line = R"({"id":)" + pass.Id + R"(,"method":"tools/call","params":{"name":"t","arguments":{"k":)" + pass.Id + "}}}";
    return pass;
  };
  const auto abandon = [&call](int k, const std::string& answer, bool fromCrm = true) {
    CallAbandoned(call(k));
    EXPECT_TRUE(AbandonedCallEnded(call(k), answer, fromCrm, 1000).empty());
  };
  const auto kept = [&call](int k) { return TakeRetry(call(k), 2000).Verdict == TRetryVerdict::Answer; };
  for (int k = 0; k < 33; ++k) abandon(k, "a");
  EXPECT_FALSE(kept(0));
  EXPECT_TRUE(kept(1));
  EXPECT_FALSE(kept(1));  // one retry only
  const std::string big(20 << 20, 'x');
  for (int k = 100; k < 104; ++k) abandon(k, big);  // the fourth pushes out the first
  EXPECT_FALSE(kept(100));
  EXPECT_TRUE(kept(101));
  abandon(200, std::string(64 << 20, 'x'));  // too large on its own: the others stay
  abandon(300, "MOGŁO", false);               // no whole answer, but it may have run: the error is kept
  abandon(301, "", false);                    // it cannot have run: nothing to keep
  EXPECT_FALSE(kept(200));
  EXPECT_TRUE(kept(300));
  EXPECT_FALSE(kept(301));
  EXPECT_TRUE(kept(102));
  EXPECT_TRUE(kept(103));
}
