#pragma once
// Every test starts from a fresh process: a new fake Windows and all module
// state as at start-up.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "core/CommandLine.h"
#include "link/Connect.h"

#include "core/LinkState.h"
#include "common/Log.h"
#include "core/StdStreams.h"
#include "link/HandshakeRecords.h"
#include "link/ProxyWindow.h"
#include "link/WindowDiscovery.h"
#include "tests/unit/FakePlatform.h"
#include "tests/unit/FreshProcess.h"

class BridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StartFreshProcess(Fake);
  }

  // Standard input is read by one worker read at a time, and by nothing else.
  // The loop never spins.
  void TearDown() override {
    EXPECT_EQ(Fake.InputTouchedWhileReading, 0);
    EXPECT_LT(Fake.MostWaitsAtOneTick, 100);
  }

  // One connection attempt from start to end, through the loop.
  TConnectOutcome RunAttempt(bool background) {
    static TConnectOutcome outcome;
    outcome = TConnectOutcome();
    StartConnectAttempt({GetCrmFolder(), GetMcpKey(), LinkState.ProxyWindow, background},
                        [](const TConnectOutcome& finished) { outcome = finished; });
    while (ConnectAttemptRunning()) {
      Fake.RunLoopOnce(std::min<std::uint32_t>(ConnectAttemptWakeIn(), 1000));
      ContinueConnectAttempt();
    }
    return outcome;
  }

  // Command line after the exe's own path.
  void SetArgs(std::initializer_list<std::string> args) {
    Fake.Args = {"C:\\Bridge\\OrvinMCP.exe"};
    Fake.Args.insert(Fake.Args.end(), args);
  }

  FakePlatform Fake;
};
