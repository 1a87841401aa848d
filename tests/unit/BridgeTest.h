#pragma once
// Every test starts from a fresh process: a new fake Windows and all module
// state as at start-up.

#include <gtest/gtest.h>

#include <string>

#include "core/LinkState.h"
#include "core/Log.h"
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

  // On Windows such a touch would wait behind the helper's pending read.
  void TearDown() override { EXPECT_EQ(Fake.InputTouchedWhileWatched, 0); }

  // Command line after the exe's own path.
  void SetArgs(std::initializer_list<std::string> args) {
    Fake.Args = {"C:\\Bridge\\OrvinMCP.exe"};
    Fake.Args.insert(Fake.Args.end(), args);
  }

  FakePlatform Fake;
};
