#include "common/Encodings.h"
#include "core/CommandLine.h"
#include "core/InstallCommand.h"
#include "core/Startup.h"
#include "install/Clients.h"
#include "install/InsideZip.h"
#include "tests/unit/BridgeTest.h"

namespace {
const char kCursor[] = "C:\\U\\.cursor\\mcp.json";
const char kCopy[] = "C:\\U\\.cursor\\mcp.json.orvinmcp-kopia";
const char kMadeRecord[] = "C:\\U\\.cursor\\mcp.json.orvinmcp-utworzony";
const char kTemporary[] = "C:\\U\\.cursor\\mcp.json.812.orvinmcp-nowy";
const char kOther[] = "{\"mcpServers\":{\"a\":{}}}";
const char kOurs[] = R"({"mcpServers":{"a":{},"orvin":{"command":"C:\\O\\OrvinMCP.exe","args":["-dir","C:\\O"]}}})";
const char kBomOther[] = "\xEF\xBB\xBF{\"mcpServers\":{\"a\":{}}}";
#define ORVIN_ENTRY R"("orvin":{"command":"C:\\O\\OrvinMCP.exe","args":["-dir","C:\\O"]})"
const char kMade[] = "{\r\n  \"mcpServers\": {\r\n    \"orvin\": {\r\n      \"command\": \"C:\\\\O\\\\OrvinMCP.exe\",\r\n"
                     "      \"args\": [\"-dir\", \"C:\\\\O\"]\r\n    }\r\n  }\r\n}\r\n";
}  // namespace

// Polish letters become their base letters, anything else outside A-Z a-z 0-9 _ . - a dash; the key is trimmed.
TEST(EntryNamesTest, EveryClientTakesTheName) {
  const std::tuple<const char*, const char*, const char*> rows[] = {
      {"", "orvin", ""}, {" \t ", "orvin", ""}, {"biuro_2.a-B", "orvin-biuro_2.a-B", "orvin-biuro_2.a-B"},
      {" Biuro Łódź ", "orvin-Biuro-Lodz", "orvin-Biuro Łódź"}, {"Zażółć GĘŚLĄ jaźń", "orvin-Zazolc-GESLA-jazn", nullptr},
      {"Müller/Ω €1\xF0\x9F\x98\x80", "orvin-M-ller----1-", nullptr}};
  for (const auto& [key, name, former] : rows) {
    EXPECT_TRUE(EntryNames(key).Name == name && EntryNames(key).Former == (former ? former : "orvin-" + std::string(key)));
  }
}

class InstallTest : public BridgeTest {
 protected:
  void Start(std::vector<std::string> args) {
    Fake = FakePlatform();
    BridgeTest::SetUp();
    Fake.Environment = {{"APPDATA", "C:\\U\\R"}, {"LOCALAPPDATA", "C:\\U\\L\\"}, {"USERPROFILE", "C:\\U"}};
    Fake.Folders = {"C:\\U\\.cursor"};
    Fake.Args = std::move(args);
  }
};

// A client counts when its folder exists; Claude Code only with its file; no client: exit code 1.
TEST_F(InstallTest, ClientsFoundByTheirFolders) {
  Start({"C:\\O\\OrvinMCP.exe", "-install"});
  Fake.Folders = {"C:\\U", "C:\\U\\L\\Packages\\Claude_pzs8sxrjxfjjc\\LocalCache\\Roaming\\Claude", "C:\\U\\.codeium",
                  "C:\\U\\R\\Code\\User", "C:\\U\\.codex"};
  Fake.Files["C:\\U\\.claude.json"] = "{}";
  std::string names;
  for (const TClient& client : FindClients()) names += client.Name + " " + client.File + "|";
  EXPECT_EQ(names, "Claude Desktop ze Sklepu Microsoft C:\\U\\L\\Packages\\Claude_pzs8sxrjxfjjc\\LocalCache\\Roaming\\Claude\\"
                   "claude_desktop_config.json|VS Code C:\\U\\R\\Code\\User\\mcp.json|Codex C:\\U\\.codex\\config.toml|"
                   "Claude Code C:\\U\\.claude.json|");
  // Codex and Claude Code where their variables say, the process's first; VS Code Insiders of its own.
  Fake.Environment["CODEX_HOME"] = "D:\\codex\\";
  Fake.UserEnvironment = {{"CODEX_HOME", "E:\\no"}, {"CLAUDE_CONFIG_DIR", "D:\\claude"}};
  Fake.Folders = {"C:\\U\\R\\Code - Insiders\\User", "C:\\U\\.codex", "D:\\codex"};
  Fake.Files = {{"D:\\claude\\.claude.json", "{}"}};
  names.clear();
  for (const TClient& client : FindClients()) names += client.Name + " " + client.File + "|";
  EXPECT_EQ(names, "VS Code Insiders C:\\U\\R\\Code - Insiders\\User\\mcp.json|Codex D:\\codex\\config.toml|"
                   "Claude Code D:\\claude\\.claude.json|");
  Fake.Environment.clear();
  Fake.UserEnvironment.clear();
  EXPECT_EQ(RunBridge(), 1);
  EXPECT_EQ(Fake.Output.rfind("Nie znalazłem na tym koncie Windows żadnego klienta MCP", 0), 0u);
}

enum TTrouble {
  kNone, kUnreadable, kNoTemporary, kNoCopy, kNoReplaceFile, kNoReplace, kChangedMeanwhile, kReadOnly, kHeldAWhile,
  kReplaceHeldAWhile, kHeldOpen, kGone, kGoneForGood, kAppeared, kOutOfMemory
};

struct TInstallRow {
  std::vector<std::string> Args;
  const char *Before, *Copy;  // Cursor's file and its copy; null: none
  TTrouble Trouble;
  int ExitCode;
  const char *After, *CopyAfter, *Done;  // Done: how Cursor's report line goes on
  bool Made = false;  // the record that the bridge made the file lies beside it, while the file does
};

// A copy first, never overwritten; a temporary file, flushed; one replace, a move where
// ReplaceFile fails; a file that cannot be read, understood or written is left alone.
TEST_F(InstallTest, EachFileChangedCarefullyOrLeftAlone) {
  const TInstallRow rows[] = {
      {{"-install"}, kOther, nullptr, kNone, 0, kOurs, kOther, "dodano wpis \"orvin\"."},
      {{"-install"}, kOurs, nullptr, kNone, 0, kOurs, nullptr, "wpis \"orvin\" już jest."},
      {{"-install", "-dir", "crm/", "-mcp", " k "}, kOther, nullptr, kNone, 0, R"({"mcpServers":{"a":{},"orvin-k":{"command":)"
       R"("C:\\O\\OrvinMCP.exe","args":["-dir","C:\\Work\\crm","-mcp","k"]}}})", kOther, "dodano wpis \"orvin-k\"."},
      {{"-install"}, kOther, "dawna", kNone, 0, kOurs, "dawna", "dodano wpis \"orvin\"."},
      {{"-install"}, kOther, nullptr, kNoReplaceFile, 0, kOurs, kOther, "dodano wpis \"orvin\"."},
      {{"-UNINSTALL"}, kOurs, nullptr, kNone, 0, kOther, kOurs, "usunięto wpis \"orvin\"."},
      {{"-uninstall"}, nullptr, nullptr, kNone, 0, nullptr, nullptr, "nie było wpisu \"orvin\"."},
      {{"-install"}, kOther, nullptr, kUnreadable, 4, kOther, nullptr, "Nie mogę odczytać pliku."},
      {{"-install"}, "{\"mcpServers\":1}", nullptr, kNone, 4, "{\"mcpServers\":1}", nullptr, "Element \"mcpServers\" nie"},
      {{"-install"}, kOther, nullptr, kNoTemporary, 4, kOther, kOther, "Nie mogę zapisać pliku tymczasowego C:\\U\\.cursor\\"},
      {{"-install"}, kOther, nullptr, kNoCopy, 4, kOther, nullptr, "Nie mogę zapisać kopii pliku C:\\U\\.cursor\\mcp.json."},
      {{"-install"}, kOther, nullptr, kNoReplace, 4, kOther, kOther, "Nie mogę zastąpić pliku nową treścią (kod 5)."},
      {{"-install"}, kOther, nullptr, kChangedMeanwhile, 4, "{}", kOther, "Plik zmienił się w trakcie zmiany"},
      {{"-install"}, kOther, nullptr, kReadOnly, 4, kOther, nullptr, "Ten plik jest tylko do odczytu, a OrvinMCP nie"},
      {{"-install"}, kOther, nullptr, kHeldAWhile, 0, kOurs, kOther, "dodano wpis \"orvin\"."},
      {{"-install"}, kOther, nullptr, kReplaceHeldAWhile, 0, kOurs, kOther, "dodano wpis \"orvin\"."},
      {{"-install"}, kOther, nullptr, kHeldOpen, 4, kOther, nullptr, "Ten plik ma otwarty inny program (Notatnik, "
       "Word), który nie pozwala go teraz zmienić; zamknij ten program i uruchom polecenie jeszcze raz."},
      {{"-install"}, kOther, nullptr, kGone, 4, kOther, kOther, "Nie mogę zastąpić pliku nową treścią (kod 1176)."},
      {{"-install"}, kOther, nullptr, kGoneForGood, 4, nullptr, kOther, "Nie mogę zastąpić pliku nową treścią (kod "
       "1176). Dawna treść pliku jest w C:\\U\\.cursor\\mcp.json.812.orvinmcp-stary."},
      {{"-install"}, nullptr, nullptr, kAppeared, 4, "{}", nullptr, "Plik zmienił się w trakcie zmiany"},
      {{"-install"}, kOther, nullptr, kOutOfMemory, 4, kOther, kOther, "Zabrakło pamięci, aby odczytać i zmienić"},
      // The entry's name, the user's members, and a byte order mark that Cursor cannot read.
      {{"-install", "-mcp", "Biuro Łódź"}, R"({"mcpServers":{"orvin-Biuro Łódź":{"command":"x","disabled":true}}})", nullptr,
       kNone, 0, R"({"mcpServers":{"orvin-Biuro-Lodz":{"command":"C:\\O\\OrvinMCP.exe","disabled":true,"args":["-dir",)"
       R"("C:\\O","-mcp","Biuro Łódź"]}}})", R"({"mcpServers":{"orvin-Biuro Łódź":{"command":"x","disabled":true}}})",
       "zaktualizowano wpis \"orvin-Biuro-Lodz\"."},
      {{"-install"}, kBomOther, nullptr, kNone, 0, kOurs, kBomOther,
       "dodano wpis \"orvin\". Z początku pliku usunięto znacznik BOM, przez który ten program i tak nie mógł odczytać pliku."},
      {{"-install"}, "\xEF\xBB\xBF{\"mcpServers\":{" ORVIN_ENTRY "}}", nullptr, kNone, 0, "{\"mcpServers\":{" ORVIN_ENTRY "}}",
       "\xEF\xBB\xBF{\"mcpServers\":{" ORVIN_ENTRY "}}", "wpis \"orvin\" już jest. Z początku pliku usunięto znacznik BOM"},
      // Uninstall gives back what was there: a copy that matches goes, the parent only where the install added it.
      {{"-uninstall"}, kOurs, kOther, kNone, 0, kOther, nullptr, "usunięto wpis \"orvin\"."},
      {{"-uninstall"}, kOurs, kBomOther, kNone, 0, kOther, nullptr, "usunięto wpis \"orvin\"."},
      {{"-uninstall"}, kOurs, R"({"mcpServers":{"a":{}},"x":1})", kNone, 0, kOther, R"({"mcpServers":{"a":{}},"x":1})",
       "usunięto wpis \"orvin\"."},
      {{"-uninstall"}, "{\"x\":1,\"mcpServers\":{" ORVIN_ENTRY "}}", "{\"x\":1}", kNone, 0, "{\"x\":1}", nullptr,
       "usunięto wpis"},
      {{"-uninstall"}, "{\"mcpServers\":{" ORVIN_ENTRY "}}", "{\"mcpServers\":{}}", kNone, 0, "{\"mcpServers\":{}}", nullptr,
       "usunięto wpis"},
      {{"-uninstall"}, "{\"mcpServers\":{" ORVIN_ENTRY "}}", "{ }\r\n", kNone, 0, "{ }\r\n", nullptr,
       "usunięto wpis"},
      {{"-install"}, nullptr, nullptr, kNone, 0, kMade, nullptr, "dodano wpis \"orvin\".", true},
      {{"-uninstall"}, kMade, nullptr, kNone, 0, nullptr, nullptr,
       "usunięto wpis \"orvin\". Usunięto też plik, który utworzył OrvinMCP.", true},
      {{"-uninstall"}, kMade, R"({"mcpServers":{"orvin":{}}})", kNone, 0, nullptr, nullptr, "usunięto wpis \"orvin\". Usunięto też",
       true},
      // A file that held only an entry the user wrote: the file and its copy stay, the entry goes.
      {{"-uninstall"}, R"({"mcpServers":{"orvin":{"command":"C:\\O\\OrvinMCP.exe","disabled":true,"args":["-dir","C:\\O"]}}})",
       R"({"mcpServers":{"orvin":{"command":"x","disabled":true}}})", kNone, 0, R"({"mcpServers":{}})",
       R"({"mcpServers":{"orvin":{"command":"x","disabled":true}}})", "usunięto wpis \"orvin\"."},
      {{"-uninstall", "-mcp", "Biuro Łódź"}, R"({"mcpServers":{"a":{},"orvin-Biuro Łódź":{},"orvin-Biuro-Lodz":{}}})",
       kOther, kNone, 0, kOther, nullptr, "usunięto wpis \"orvin-Biuro-Lodz\"."},
  };
  for (const TInstallRow& row : rows) {
    Start({"C:\\O\\OrvinMCP.exe"});
    Fake.Args.insert(Fake.Args.end(), row.Args.begin(), row.Args.end());
    std::map<std::string, std::string> before, after;
    for (auto [files, file, text] : {std::tuple(&before, kCursor, row.Before), std::tuple(&before, kCopy, row.Copy),
                                     std::tuple(&after, kCursor, row.After), std::tuple(&after, kCopy, row.CopyAfter)}) {
      if (text) (*files)[file] = text;
    }
    if (row.Made && row.Before) before[kMadeRecord] = "";
    if (row.Made && row.After) after[kMadeRecord] = "";
    Fake.Files = before;
    if (row.Trouble == kUnreadable) Fake.UnreadableFiles = {kCursor};
    if (row.Trouble == kNoTemporary || row.Trouble == kNoCopy) Fake.UnwritableFiles = {row.Trouble == kNoCopy ? kCopy : kTemporary};
    Fake.ReplaceError = row.Trouble == kNoReplaceFile || row.Trouble == kNoReplace ? 1 : 0;  // a file system without ReplaceFileW
    Fake.FailMove = row.Trouble == kNoReplace;
    if (row.Trouble == kChangedMeanwhile) {
      Fake.OnCreateFile = [this, opens = 0]() mutable {
        if (++opens == 3) Fake.Files[kCursor] = "{}";  // the client writes its file while ours is prepared
      };
    }
    if (row.Trouble == kReadOnly) Fake.ReadOnlyFiles = {kCursor};
    // A virus scan for 1.9 seconds (one that lets others read fails only the replace), or programs that keep it open.
    const std::map<TTrouble, FakePlatform::FakeHold> holds = {{kHeldAWhile, {32, Fake.Tick + 1900, {}, false}},
        {kReplaceHeldAWhile, {5, Fake.Tick + 1900, {}, true}}, {kHeldOpen, {33, ~0u, {u"Notatnik", u"Word"}, false}}};
    if (holds.count(row.Trouble)) Fake.HeldFiles[kCursor] = holds.at(row.Trouble);
    if (row.Trouble == kGone || row.Trouble == kGoneForGood) Fake.ReplaceError = 1176;
    Fake.FailMove = Fake.FailMove || row.Trouble == kGoneForGood;
    if (row.Trouble == kGoneForGood) after["C:\\U\\.cursor\\mcp.json.812.orvinmcp-stary"] = kOther;
    if (row.Trouble == kAppeared) Fake.OnMove = [this] { Fake.Files.emplace(kCursor, "{}"); };
    // Memory runs out at the second read of the file.
    if (row.Trouble == kOutOfMemory) Fake.OnCreateFile = [n = 0]() mutable { if (++n >= 5) throw std::bad_alloc(); };
    const std::uint32_t start = Fake.Tick;
    EXPECT_EQ(RunBridge(), row.ExitCode) << row.Done;
    if (row.Trouble == kHeldOpen) { EXPECT_EQ(Fake.Tick - start, 2000u); }  // about 2 seconds, then reported
    const std::string done = std::string(row.ExitCode == 0 ? "" : "pozostawiony bez zmian. ") + row.Done;
    EXPECT_NE(Fake.Output.find("Cursor: C:\\U\\.cursor\\mcp.json - " + done), std::string::npos) << Fake.Output;
    EXPECT_EQ(Fake.Files, after) << row.Done;  // and no temporary file left
    const bool replaced = row.Trouble != kNoReplaceFile && row.Before && row.ExitCode == 0 && row.After &&
                          std::string(row.Before) != row.After;
    EXPECT_EQ(Fake.Replaces, replaced ? 1 : 0) << row.Done;
    // The copy, when there was none, this run's old text and the temporary file.
    if (replaced) { EXPECT_EQ(Fake.Flushes, row.Copy ? 2 : 3); }
    if (row.Trouble == kChangedMeanwhile || row.Trouble == kGoneForGood || row.Trouble == kAppeared) continue;
    // Once more: nothing changes, and after a success nothing is even written.
    const int flushes = Fake.Flushes;
    EXPECT_EQ(RunBridge(), row.ExitCode);
    EXPECT_TRUE(Fake.Files == after && (row.ExitCode != 0 || Fake.Flushes == flushes)) << row.Done;
  }
}

TEST_F(InstallTest, ProgramsRunStraightFromAnArchive) {
  const std::pair<const char*, bool> rows[] = {
      {"C:\\Temp\\Temp1_OrvinMCP-1.0-win64.zip\\OrvinMCP.exe", true}, {"c:\\temp\\temp12_x.zip\\a\\OrvinMCP.exe", true},
      {"C:\\Temp\\7zO4A1B2C3D\\OrvinMCP.exe", true},                   {"C:\\Temp\\Rar$EXa1234.5678\\OrvinMCP.exe", true},
      {"C:\\Users\\Jan Ł\\Temp\\Rar$DIa0.1\\OrvinMCP.exe", true},      {"C:\\Temp\\Temp_x.zip\\OrvinMCP.exe", false},
      {"C:\\Temp\\TempA_x.zip\\OrvinMCP.exe", false},                  {"C:\\Temp\\Temp1_x.zip", false},
      {"C:\\Temp\\Orvin\\Temp1_x.zip\\OrvinMCP.exe", false},           {"C:\\Orvin\\Temp1_x.zip\\OrvinMCP.exe", false},
  };
  Start({rows[0].first, "-install"});
  Fake.Environment["TMP"] = "C:\\Users\\JANUA~1\\Temp\\";  // TEMP and TMP often hold short (8.3) names
  Fake.LongPaths[u"C:\\Users\\JANUA~1\\Temp"] = u"C:\\Users\\Jan Ł\\Temp";
  for (auto [exe, insideZip] : rows) EXPECT_EQ(RunsFromInsideZip(exe), insideZip) << exe;
  EXPECT_EQ(RunBridge(), 4);
  EXPECT_EQ(Fake.Output, UnpackZipFirstText() + "\r\n");
  EXPECT_TRUE(Fake.Files.empty());
  Fake.Args[1] = "-uninstall";  // taking an entry out harms nothing
  EXPECT_EQ(RunBridge(), 0);
}

TEST_F(InstallTest, TheCommandLine) {
  const std::tuple<std::vector<std::string>, bool, const char*> rows[] = {
      {{"-install"}, true, "C:\\O"},       {{"-dir", "C:\\Crm\\\\", "-Install"}, true, "C:\\Crm"},
      {{"-install", "-dir", "C:\\"}, true, "C:"}, {{"-dir", "-install"}, false, "C:\\Work\\-install"},
      {{"-mcp", "-uninstall"}, false, "C:\\O"}, {{"--install"}, false, "C:\\O"},
  };
  for (const auto& [args, given, folder] : rows) {
    Start({"C:\\O\\OrvinMCP.exe"});
    Fake.Args.insert(Fake.Args.end(), args.begin(), args.end());
    EXPECT_EQ(InstallCommandGiven(), given) << args[0];
    EXPECT_EQ(InstallationFor(false, GetCrmFolder(), GetMcpKey()).Folder, folder) << args[0];
  }
}

// The double click: whether Orvin runs, the clients, and T adds the bridge; from a zip, nothing of that.
TEST_F(InstallTest, TheConsoleOffersTheClients) {
  const char* offer = "Orvin CRM z katalogu C:\\O\\ teraz nie działa. Działają za to okna wyglądające jak Orvin z innych "
                      "katalogów: C:\\Inny\\.\r\n\r\nKlienci MCP na tym koncie Windows:\r\n  Cursor: C:\\U\\.cursor\\mcp.json"
                      "\r\n\r\nNaciśnij T, aby dodać OrvinMCP do tych programów, albo Enter, aby zakończyć.\r\n";
  const std::tuple<const char*, const char*, std::u16string, const char*, bool> rows[] = {
      {"C:\\O\\OrvinMCP.exe", "C:\\O\\", u"t", "Cursor: C:\\U\\.cursor\\mcp.json - dodano wpis \"orvin\".", true},
      {"C:\\O\\OrvinMCP.exe", "C:\\Inny\\", u"xT\r\r", offer, true},
      {"C:\\O\\OrvinMCP.exe", "C:\\Inny\\", u"x\r", offer, false},
      {"C:\\O\\OrvinMCP.exe", "C:\\O\\", u"\r", "Orvin CRM z katalogu C:\\O\\ działa teraz.\r\n", false},
      {"C:\\Temp\\Temp1_o.zip\\OrvinMCP.exe", "C:\\O\\", u"t\r", "stamtąd.\r\n\r\nNaciśnij Enter, aby zakończyć.\r\n", false},
  };
  for (const auto& [exe, crm, keys, shown, installed] : rows) {
    Start({exe});
    Fake.AddCrmWindow(std::string(crm) + "Orvin.exe");
    Fake.InputIsConsole = true;
    Fake.ErrorFileType = FileType::Char;
    Fake.ConsoleKeys.assign(keys.begin(), keys.end());
    EXPECT_EQ(RunBridge(), 2);
    const std::string screen = WideToUtf8(Fake.ErrorConsole);
    EXPECT_NE(screen.find(shown), std::string::npos) << screen;
    EXPECT_EQ(Fake.Files.count(kCursor), installed ? 1u : 0u) << screen;
    EXPECT_EQ(screen.find("Temp1_o"), std::string::npos);
    EXPECT_TRUE(Fake.HandshakeRequests.empty());
  }
}

// A link on the way is followed and stays; run as administrator, the bridge does not
// follow one in a folder that a user may change.
TEST_F(InstallTest, LinksOnThePath) {
  const AccessEntry userOnly{true, false, 0x1F01FF, "S-1-5-21-7-7-7-1001"}, adminsOnly{true, false, 0x1F01FF, "S-1-5-32-544"};
  const std::tuple<bool, AccessEntry, int> rows[] = {{false, userOnly, 0}, {true, userOnly, 4}, {true, adminsOnly, 0}};
  for (const auto& [elevated, profile, exitCode] : rows) {
    Start({"C:\\O\\OrvinMCP.exe", "-install"});
    Fake.Folders = {"C:\\U\\.cursor", "D:\\dot\\cursor"};
    Fake.Links = {{"C:\\U\\.cursor", "D:\\dot\\cursor"}};  // a junction to a folder of dotfiles
    Fake.Files = {{"D:\\dot\\cursor\\mcp.json", kOther}};
    Fake.Elevated = elevated;
    Fake.Security["C:\\U"] = {"S-1-5-32-544", false, {profile}};
    EXPECT_EQ(RunBridge(), exitCode);
    // The entry and the copy beside the file the link leads to; nothing in the link's place.
    const std::map<std::string, std::string> followed = {{"D:\\dot\\cursor\\mcp.json", kOurs},
        {"D:\\dot\\cursor\\mcp.json.orvinmcp-kopia", kOther}}, untouched = {{"D:\\dot\\cursor\\mcp.json", kOther}};
    EXPECT_EQ(Fake.Files, exitCode == 0 ? followed : untouched);
    EXPECT_EQ(Fake.Output.find("bez zmian. Na ścieżce pliku jest dowiązanie C:\\U\\.cursor w katalogu, który może "
                               "zmienić zwykły użytkownik") != std::string::npos, exitCode != 0);
  }
}

// A folder so deep that the copies' names pass MAX_PATH: reached by \\?\ names, shown without.
TEST_F(InstallTest, LongPaths) {
  const std::string deep = "D:\\OneDrive - Firma\\" + std::string(225, 'k'), copy = deep + "\\config.toml.orvinmcp-kopia";
  for (bool copyFails : {false, true}) {
    Start({"C:\\O\\OrvinMCP.exe", "-install"});
    Fake.Environment["CODEX_HOME"] = deep;
    Fake.Folders = {deep};
    Fake.Files = {{deep + "\\config.toml", ""}};
    Fake.UnwritableFiles = {copyFails ? copy : ""};
    EXPECT_EQ(RunBridge(), copyFails ? 4 : 0);
    const std::string shown = copyFails ? "Nie mogę zapisać kopii pliku " + copy + " (kod 5)." : "dodano wpis";
    EXPECT_TRUE(Fake.Files.count(copy) != copyFails && Fake.Output.find(shown) != std::string::npos) << Fake.Output;
  }
}

// A warning when others than administrators and the user may change the exe or replace it; the install goes on.
TEST_F(InstallTest, WhoMayReplaceTheExe) {
  const std::string self = "S-1-5-21-7-7-7-1001", other = "S-1-5-21-7-7-7-1002", admins = "S-1-5-32-544";
  const AccessEntry adminsAll{true, false, 0x1F01FF, admins}, usersRead{true, false, 0x1200A9, "S-1-5-32-545"},
      usersModify{true, false, 0x1301BF, "S-1-5-32-545"}, creatorOwner{true, true, 0x10000000, "S-1-3-0", true},
      everyoneAllLater{true, true, 0x1F01FF, "S-1-1-0"}, noAddingFiles{false, false, 0x2 | 0x10000, "S-1-1-0"},
      selfAll{true, false, 0x1F01FF, self}, ownerMayRead{true, false, 0x1200A9, "S-1-3-4"},
      otherAll{true, false, 0x1F01FF, other}, usersAppend{true, false, 0x120089 | 0x4, "S-1-5-32-545"},
      usersDeleteFolder{true, false, 0x10000, "S-1-5-32-545"}, usersWriteFilesLater{true, true, 0x40000000, "S-1-5-32-545", true};
  const ObjectSecurity safeFolder{admins, false, {adminsAll, usersRead, creatorOwner}};
  // The folder, the exe (no owner: not shown), and which warning: 0 none, 1 the folder's, 2 the file's.
  const std::tuple<ObjectSecurity, ObjectSecurity, int> rows[] = {
      {{"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", false, {adminsAll, usersRead, creatorOwner}}, {}, 0},
      {{admins, false, {adminsAll, usersModify}}, {}, 1}, {{self, false, {selfAll, everyoneAllLater}}, {}, 0},
      {{admins, false, {noAddingFiles, adminsAll, usersModify}}, {}, 0},  // Modify, but adding files and deleting denied
      {{other, false, {adminsAll}}, {}, 1},  // the owner may change the DACL
      {{other, false, {ownerMayRead, adminsAll}}, {}, 0}, {{admins, true, {}}, {}, 1},
      {{admins, false, {adminsAll, usersDeleteFolder}}, {}, 1}, {{admins, false, {adminsAll, usersWriteFilesLater}}, {}, 1},
      // Moved from a user's Downloads: the file keeps that user's Full control and ownership.
      {safeFolder, {other, false, {adminsAll, otherAll}}, 2}, {safeFolder, {admins, false, {adminsAll, usersAppend}}, 2},
      {safeFolder, {admins, false, {adminsAll, usersRead, selfAll}}, 0}};
  for (const auto& [folder, exe, warning] : rows) {
    Start({"C:\\O\\OrvinMCP.exe", "-install"});
    Fake.Security["C:\\O"] = folder;
    if (!exe.Owner.empty()) Fake.Security["C:\\O\\OrvinMCP.exe"] = exe;
    EXPECT_EQ(RunBridge(), 0);
    EXPECT_EQ(Fake.Output.find("Uwaga: do katalogu C:\\O mogą zapisywać także inni") != std::string::npos, warning == 1);
    EXPECT_EQ(Fake.Output.find("Uwaga: plik C:\\O\\OrvinMCP.exe mogą zmienić także inni") != std::string::npos, warning == 2);
  }
}

// While the desktop chat client of this user runs, classic or from the Store, in this session
// or another, both its files are left alone; at the double click T tries again once it is closed.
TEST_F(InstallTest, TheRunningDesktopChatClientKeepsItsFile) {
  const std::tuple<const char*, bool, const char*> rows[] = {{"C:\\U\\L\\AnthropicClaude\\app-1.7196.1\\Claude.exe", true, ""},
      {"D:\\WindowsApps\\Claude_1.1.3963.0_x64__pzs8sxrjxfjjc\\app\\claude.exe", true, ""},
      {"C:\\U\\.local\\bin\\claude.exe", false, ""},  // Claude Code
      {"C:\\Program Files\\WindowsApps\\ClaudeHelper_1.0.0.0_x64__pzs8sxrjxfjjc\\Claude.exe", false, ""},
      {"D:\\WindowsApps\\Claude_1.1.3963.0_x64__pzs8sxrjxfjjc\\app\\claude.exe", false, "S-1-5-21-7-7-7-1002"},  // another user's
      {"E:\\Profile\\L\\AnthropicClaude\\app-1.7196.1\\Claude.exe", true, ""}};  // the profile behind a junction
  for (auto [image, runs, user] : rows) {
    Start({"C:\\O\\OrvinMCP.exe", "-install"});
    Fake.Folders.insert({"C:\\U\\R\\Claude", "C:\\U\\L\\Packages\\Claude_pzs8sxrjxfjjc\\LocalCache\\Roaming\\Claude", "E:\\Profile\\L"});
    Fake.Links = {{"C:\\U\\L", "E:\\Profile\\L"}};
    Fake.Files[image] = "MZ";
    Fake.ProcessImages[77] = image;
    if (*user) Fake.ProcessUsers[77] = user;
    EXPECT_EQ(RunBridge(), runs ? 4 : 0) << image;
    EXPECT_EQ(Fake.Files.count("C:\\U\\R\\Claude\\claude_desktop_config.json"), runs ? 0u : 1u) << image;
  }
  Start({"C:\\O\\OrvinMCP.exe"});
  Fake.Folders.insert("C:\\U\\R\\Claude");
  Fake.ProcessImages[77] = std::get<0>(rows[0]);
  Fake.InputIsConsole = true;
  Fake.ErrorFileType = FileType::Char;
  Fake.KeyTypingMs = 700;
  Fake.ConsoleKeys = {u't', u'x', u't', u'\r', u'\r'};  // the second key and the first Enter come with an answer
  Fake.At(Fake.Tick + 2000, [this] { Fake.ProcessImages.clear(); });
  EXPECT_EQ(RunBridge(), 2);
  const std::string screen = WideToUtf8(Fake.ErrorConsole);
  EXPECT_NE(screen.find("claude_desktop_config.json - pozostawiony bez zmian. Claude Desktop działa i zapisuje ten "
                        "plik po swojemu, a zmiana zniknęłaby przy jego zapisie: zamknij go całkowicie"), std::string::npos);
  const std::size_t again = screen.find("Naciśnij T, aby spróbować jeszcze raz, albo Enter, aby zakończyć.\r\n");
  EXPECT_NE(screen.find("Claude Desktop: C:\\U\\R\\Claude\\claude_desktop_config.json - dodano", again), std::string::npos);
  EXPECT_TRUE(Fake.ConsoleKeys.empty());
}
