#include "core/CommandLine.h"

#include "common/Text.h"
#include "tests/unit/BridgeTest.h"

using CommandLineTest = BridgeTest;

TEST_F(CommandLineTest, FolderEndsInExactlyOneBackslash) {
  SetArgs({"-dir", "C:\\CRM\\\\\\"});
  EXPECT_EQ(GetCrmFolder(), "C:\\CRM\\");
  SetArgs({"C:/Apps/Crm/"});
  EXPECT_EQ(GetCrmFolder(), "C:\\Apps\\Crm\\");
  SetArgs({"  D:\\Orvin  "});
  EXPECT_EQ(GetCrmFolder(), "D:\\Orvin\\");
}

TEST_F(CommandLineTest, OptionsIgnoreLetterCaseAndTheFirstWins) {
  SetArgs({"-DIR", "C:\\a", "-Dir", "C:\\b"});
  EXPECT_EQ(GetCrmFolder(), "C:\\a\\");
  SetArgs({"--dir", "C:\\a"});
  EXPECT_EQ(FindOption("dir"), "");
  SetArgs({"/dir", "C:\\a"});
  EXPECT_EQ(FindOption("dir"), "");
}

TEST_F(CommandLineTest, MissingValuesFallBackToTheBridgesOwnFolder) {
  SetArgs({"-dir"});
  EXPECT_EQ(GetCrmFolder(), "C:\\Bridge\\");
  SetArgs({});
  EXPECT_EQ(GetCrmFolder(), "C:\\Bridge\\");
  SetArgs({"   ", "C:\\second"});
  EXPECT_EQ(GetCrmFolder(), "C:\\Bridge\\");
  SetArgs({"-mcp", "k", "C:\\third"});
  EXPECT_EQ(GetCrmFolder(), "C:\\Bridge\\");
  // Slashes alone: the fallback is decided before they are removed.
  SetArgs({"-dir", "/"});
  EXPECT_EQ(GetCrmFolder(), "");
}

TEST_F(CommandLineTest, AValueIsTakenWhateverItLooksLike) {
  SetArgs({"-dir", "-mcp", "k1"});
  EXPECT_EQ(GetCrmFolder(), "-mcp\\");
  EXPECT_EQ(GetMcpKey(), "k1");
}

TEST_F(CommandLineTest, KeyIsTrimmedAndDescribed) {
  SetArgs({"-mcp", "  k1 "});
  EXPECT_EQ(GetMcpKey(), "k1");
  EXPECT_EQ(DescribeKey(GetMcpKey()), "\"k1\"");
  for (const char* none : {"   ", "${user_config.mcp_key}"}) {
    SetArgs({"-mcp", none});
    EXPECT_EQ(GetMcpKey(), "") << none;
  }
  EXPECT_EQ(DescribeKey(""), "(bez klucza)");
}

TEST_F(CommandLineTest, ArgumentsAreReadAfreshAtEveryCall) {
  SetArgs({"-dir", "C:\\one"});
  EXPECT_EQ(GetCrmFolder(), "C:\\one\\");
  SetArgs({"-dir", "C:\\two"});
  EXPECT_EQ(GetCrmFolder(), "C:\\two\\");
}
