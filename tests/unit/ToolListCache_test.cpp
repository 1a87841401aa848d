#include "mcp/ToolListCache.h"

#include "core/CommandLine.h"
#include "tests/unit/BridgeTest.h"

class ToolListCacheTest : public BridgeTest {
 protected:
  void SetUp() override {
    BridgeTest::SetUp();
    SetArgs({"-dir", "C:\\CRM"});
  }
  const std::string Path = "C:\\Temp\\OrvinMCP_C__CRM_narzedzia.json";
};

TEST_F(ToolListCacheTest, OneFilePerFolderAndKey) {
  EXPECT_EQ(ToolListCachePath(GetCrmFolder(), GetMcpKey()), Path);
  SetArgs({"-dir", "C:/CRM/"});  // slashes name the same file
  EXPECT_EQ(ToolListCachePath(GetCrmFolder(), GetMcpKey()), Path);
  SetArgs({"-dir", "C:\\CRM", "-mcp", "k1"});
  EXPECT_EQ(ToolListCachePath(GetCrmFolder(), GetMcpKey()), "C:\\Temp\\OrvinMCP_C__CRM_k1_narzedzia.json");
  SetArgs({"-dir", "C:\\CRM", "-mcp", "   "});
  EXPECT_EQ(ToolListCachePath(GetCrmFolder(), GetMcpKey()), Path);
  SetArgs({"-dir", "C:\\My CRM", "-mcp", "a:b"});
  EXPECT_EQ(ToolListCachePath(GetCrmFolder(), GetMcpKey()), "C:\\Temp\\OrvinMCP_C__My CRM_a_b_narzedzia.json");
}

TEST_F(ToolListCacheTest, StoresExactlyTheResultMember) {
  SaveToolList(Path, R"({"jsonrpc":"2.0","id":3,"result":{"tools":[]}})");
  EXPECT_EQ(Fake.Files.at(Path), R"({"tools":[]})");
  // The order a TypeScript server writes: the members behind the result are not part of the list.
  SaveToolList(Path, R"({"result":{"tools":[{"name":"a","description":"}\"x"}]},"jsonrpc":"2.0","id":3})");
  EXPECT_EQ(Fake.Files.at(Path), R"({"tools":[{"name":"a","description":"}\"x"}]})");
  EXPECT_EQ(Fake.Files.size(), 1u);  // the temporary file went into place
}

TEST_F(ToolListCacheTest, IncompleteListsLeaveTheFileAlone) {
  Fake.Files[Path] = R"({"tools":["old"]})";
  SaveToolList(Path, R"({"id":3,"result":{"tools":[]}} )");                      // ends in a blank
  SaveToolList(Path, R"({"id":3,"result":{"tools":[],"nextCursor":"2"}})");      // more pages follow
  SaveToolList(Path, R"({"id":3,"result":{"items":[]}})");                       // no tools
  SaveToolList(Path, R"({"id":3,"result":{"tools":[}})");                        // not balanced
  SaveToolList(Path, R"({"id":3,"result":{"tools":[1 2]}})");                    // no JSON
  SaveToolList(Path, R"({"id":3,"result":{"tools":"[]"}})");                     // no array
  SaveToolList(Path, R"({"id":3,"error":{"code":1},"x":{"result":{"tools":[]}}})");  // result not at the top
  EXPECT_EQ(Fake.Files.at(Path), R"({"tools":["old"]})");
  EXPECT_EQ(Fake.Files.size(), 1u);
  EXPECT_TRUE(Fake.LogLines().empty());
}

TEST_F(ToolListCacheTest, FailedReplacementIsLoggedAndCleanedUp) {
  Fake.Files[Path] = R"({"tools":["old"]})";
  Fake.FailMove = true;
  SaveToolList(Path, R"({"id":3,"result":{"tools":["new"]}})");
  Fake.RunLoopOnce(1000);  // error 5 may be another bridge: tried again on a worker
  EXPECT_EQ(Fake.Files.at(Path), R"({"tools":["old"]})");
  EXPECT_EQ(Fake.Files.size(), 1u);
  EXPECT_EQ(Fake.LogLines(), std::vector<std::string>{"Nie zapisałem listy narzędzi w pliku " + Path + " (kod 5)."});
}

TEST_F(ToolListCacheTest, ATemporaryFolderInAnotherAlphabetHoldsTheCache) {
  Fake.ActiveCodePage = 1252;  // holds none of these letters
  Fake.TempFolder = "C:\\Users\\Юлия\\Temp\\";
  const std::string path = GetToolListCacheFile();
  SaveToolList(path, R"({"id":3,"result":{"tools":[]}})");
  EXPECT_EQ(Fake.Files.at("C:\\Users\\Юлия\\Temp\\OrvinMCP_C__CRM_narzedzia.json"), R"({"tools":[]})");
  EXPECT_EQ(LoadToolList(path), R"({"tools":[]})");
}

// Another bridge holds the file for a moment: a worker waits for it, never the loop.
TEST_F(ToolListCacheTest, AnotherBridgeHoldingTheFileOnlyDelaysIt) {
  const std::uint32_t start = Fake.Tick;
  Fake.MoveConflicts = {5, 32, 5};  // a reader without delete sharing, then others during their opens
  SaveToolList(Path, R"({"id":3,"result":{"tools":["new"]}})");
  SaveToolList(Path, R"({"id":3,"result":{"tools":["newer"]}})");  // follows the one that waits
  EXPECT_EQ(Fake.Tick, start);
  Fake.RunLoopOnce(1000);
  Fake.RunLoopOnce(1000);
  EXPECT_EQ(Fake.Files.at(Path), R"({"tools":["newer"]})");
  EXPECT_EQ(Fake.Files.size(), 1u);
  Fake.ReadOpenConflicts[Path] = {32, 5};  // another bridge's replace
  EXPECT_TRUE(ReadCacheFile(Path, false).Busy);
  EXPECT_EQ(JudgeCacheFile(Path, ReadCacheFile(Path, true)), R"({"tools":["newer"]})");
  EXPECT_TRUE(Fake.LogLines().empty());

  Fake.MoveConflicts.assign(10, 5);
  const std::uint32_t before = Fake.Tick;
  SaveToolList(Path, R"({"id":3,"result":{"tools":["newest"]}})");
  Fake.RunLoopOnce(1000);
  EXPECT_LE(Fake.Tick - before, 250u);  // about a quarter of a second, then it counts as failed
  EXPECT_EQ(Fake.Files.size(), 1u);
  EXPECT_EQ(Fake.LogLines(), std::vector<std::string>{"Nie zapisałem listy narzędzi w pliku " + Path + " (kod 5)."});

  const int sleeps = Fake.SleepCalls;
  Fake.MoveConflicts = {3};  // no conflict with another bridge: not tried again
  SaveToolList(Path, R"({"id":3,"result":{"tools":["newest"]}})");
  EXPECT_EQ(Fake.SleepCalls, sleeps);
  EXPECT_EQ(Fake.LogLines().back(), "Nie zapisałem listy narzędzi w pliku " + Path + " (kod 3).");
}

TEST_F(ToolListCacheTest, UnwritableTemporaryFileIsLogged) {
  Fake.UnwritableFiles.insert(Path + ".812.tmp");
  SaveToolList(Path, R"({"id":3,"result":{"tools":[]}})");
  EXPECT_FALSE(Fake.Files.count(Path));
  EXPECT_EQ(Fake.LogLines(), std::vector<std::string>{"Nie zapisałem listy narzędzi w pliku " + Path +
                                                      ": Cannot create file " + Path + ".812.tmp"});
}

TEST_F(ToolListCacheTest, RepliesFromTheFileOrThePlaceholder) {
  std::string source;
  EXPECT_NE(MakeToolListReply(Path, "7", source).find("orvin_connect"), std::string::npos);
  EXPECT_EQ(source, "lista zastępcza (orvin_connect)");

  const std::string list = R"({"tools":[{"name":"klienci"}]})";
  Fake.Files[Path] = list;
  EXPECT_EQ(MakeToolListReply(Path, "7", source), R"({"jsonrpc":"2.0","id":7,"result":)" + list + "}");
  EXPECT_EQ(source, "lista z pliku (" + std::to_string(list.size()) + "B)");
}

TEST_F(ToolListCacheTest, UnusableFilesGiveThePlaceholderAndSayWhy) {
  const std::string skipped = "Pominąłem plik z listą narzędzi " + Path + ", bo ";
  const std::vector<std::pair<std::string, std::string>> files = {
      {"", "jest pusty."},
      {"{\n  \"tools\": []\n}", "ma więcej niż jeden wiersz."},  // edited by hand
      {"{\"tools\":[]}\r", "ma więcej niż jeden wiersz."},
      {"{\"tools\"}", "nie jest jednym poprawnym obiektem JSON."},
      {"{\"tools\":[1 2 3]}", "nie jest jednym poprawnym obiektem JSON."},
      {"{\"tools\":[]},\"jsonrpc\":\"2.0\",\"id\":3", "nie jest jednym poprawnym obiektem JSON."},
      {"{\"items\":[]}", "nie ma w nim tablicy \"tools\"."},
      {"{\"tools\":{}}", "nie ma w nim tablicy \"tools\"."},
      {"{\"x\":{\"tools\":[]}}", "nie ma w nim tablicy \"tools\"."},
  };
  for (const auto& file : files) {
    Fake.ErrorOutput.clear();
    Fake.Files[Path] = file.first;
    EXPECT_EQ(LoadToolList(Path), "") << file.first;
    EXPECT_EQ(Fake.LogLines(), std::vector<std::string>{skipped + file.second}) << file.first;
  }
  Fake.Files[Path] = " {\"tools\":[]} ";  // blanks around one line of JSON do no harm
  EXPECT_EQ(LoadToolList(Path), Fake.Files[Path]);
  Fake.ErrorOutput.clear();
  Fake.Files[Path] = "{\"tools\":[]}";
  Fake.UnreadableFiles.insert(Path);
  EXPECT_EQ(LoadToolList(Path), "");
  EXPECT_EQ(Fake.LogLines(), std::vector<std::string>{"Nie odczytałem listy narzędzi z pliku " + Path +
                                                      ": Stream read error"});
}
