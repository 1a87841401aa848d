#include "common/Encodings.h"
#include "core/InstallCommand.h"
#include "core/ManualStart.h"
#include "core/Startup.h"
#include "install/InsideZip.h"
#include "tests/unit/BridgeTest.h"

namespace {
const char kCursor[] = "C:\\U\\.cursor\\mcp.json";
const char kBackup[] = "C:\\U\\.cursor\\mcp.json.orvinmcp-kopia";
const char kOther[] = "{\r\n  \"mcpServers\": {\r\n    \"a\": {}\r\n  }\r\n}\r\n";
const char kWithEntry[] =
    "{\r\n  \"mcpServers\": {\r\n    \"a\": {},\r\n    \"orvin\": {\r\n      \"command\": \"C:\\\\Orvin\\\\OrvinMCP.exe\","
    "\r\n      \"args\": [\"-dir\", \"C:\\\\Orvin\"]\r\n    }\r\n  }\r\n}\r\n";
const char kFresh[] =
    "{\r\n  \"mcpServers\": {\r\n    \"orvin-k\": {\r\n      \"command\": \"C:\\\\Orvin\\\\OrvinMCP.exe\",\r\n      "
    "\"args\": [\"-dir\", \"C:\\\\Crm\", \"-mcp\", \"k\"]\r\n    }\r\n  }\r\n}\r\n";
}  // namespace

class InstallTest : public BridgeTest {
 protected:
  void SetUp() override {
    BridgeTest::SetUp();
    Fake.Environment = {{"APPDATA", "C:\\U\\AppData\\Roaming"}, {"LOCALAPPDATA", "C:\\U\\AppData\\Local\\"},
                        {"USERPROFILE", "C:\\U"}};
    Fake.Args = {"C:\\Orvin\\OrvinMCP.exe"};
  }

  int Run(std::initializer_list<std::string> args) {
    Fake.Args.insert(Fake.Args.end(), args);
    return RunBridge();
  }

  std::vector<std::string> Found() {
    std::vector<std::string> names;
    for (const TClient& client : FindClients()) names.push_back(client.Name + " " + client.File);
    return names;
  }
};

// A client counts when its folder exists; Claude Code only with its file.
TEST_F(InstallTest, ClientsFoundByTheirFolders) {
  EXPECT_EQ(Found(), std::vector<std::string>{});
  Fake.Folders = {"C:\\U", "C:\\U\\AppData\\Local\\Packages\\Claude_pzs8sxrjxfjjc\\LocalCache\\Roaming\\Claude",
                  "C:\\U\\AppData\\Roaming\\Code\\User", "C:\\U\\.codex", "C:\\U\\.codeium"};
  EXPECT_EQ(Found(), (std::vector<std::string>{
                         "Claude Desktop ze Sklepu Microsoft C:\\U\\AppData\\Local\\Packages\\Claude_pzs8sxrjxfjjc\\"
                         "LocalCache\\Roaming\\Claude\\claude_desktop_config.json",
                         "VS Code C:\\U\\AppData\\Roaming\\Code\\User\\mcp.json", "Codex C:\\U\\.codex\\config.toml"}));
  Fake.Files["C:\\U\\.claude.json"] = "{}";
  EXPECT_EQ(Found().back(), "Claude Code C:\\U\\.claude.json");
  Fake.Environment.clear();
  EXPECT_EQ(Found(), std::vector<std::string>{});
  EXPECT_EQ(Run({"-install"}), 1);
  EXPECT_EQ(Fake.Output.rfind("Nie znalazłem na tym koncie Windows żadnego klienta MCP", 0), 0u);
}

enum TTrouble { kNone, kUnreadable, kNoTemporary, kNoBackup, kNoReplace, kNothingReplaces };

struct TInstallRow {
  std::vector<std::string> Args;
  const char* Before;  // Cursor's file; null: none
  const char* Backup;  // a copy there already; null: none
  TTrouble Trouble;
  int ExitCode;
  const char* After;
  const char* BackupAfter;
  const char* Done;  // how Cursor's report line ends
};

TEST_F(InstallTest, EachFileChangedCarefullyOrLeftAlone) {
  const char* temporary = "C:\\U\\.cursor\\mcp.json.812.orvinmcp-nowy";
  const TInstallRow rows[] = {
      {{"-install"}, kOther, nullptr, kNone, 0, kWithEntry, kOther, "dodano wpis \"orvin\"."},
      {{"-install"}, kWithEntry, nullptr, kNone, 0, kWithEntry, nullptr, "wpis \"orvin\" już jest."},
      {{"-install", "-dir", "C:/Crm//", "-mcp", " k "}, nullptr, nullptr, kNone, 0, kFresh, nullptr,
       "dodano wpis \"orvin-k\"."},
      {{"-install"}, kOther, "dawna", kNone, 0, kWithEntry, "dawna", "dodano wpis \"orvin\"."},
      {{"-install"}, kOther, nullptr, kNoReplace, 0, kWithEntry, kOther, "dodano wpis \"orvin\"."},
      {{"-UNINSTALL"}, kWithEntry, nullptr, kNone, 0, kOther, kWithEntry, "usunięto wpis \"orvin\"."},
      {{"-uninstall"}, nullptr, nullptr, kNone, 0, nullptr, nullptr, "nie było wpisu \"orvin\"."},
      {{"-install"}, kOther, nullptr, kUnreadable, 4, kOther, nullptr,
       "pozostawiony bez zmian. Nie mogę odczytać pliku."},
      {{"-install"}, "{\"mcpServers\": []}", nullptr, kNone, 4, "{\"mcpServers\": []}", nullptr,
       "pozostawiony bez zmian. Element \"mcpServers\" nie jest obiektem (wiersz 1)."},
      {{"-install"}, kOther, nullptr, kNoTemporary, 4, kOther, kOther,
       "pozostawiony bez zmian. Nie mogę zapisać pliku tymczasowego C:\\U\\.cursor\\mcp.json.812.orvinmcp-nowy (kod 5)."},
      {{"-install"}, kOther, nullptr, kNoBackup, 4, kOther, nullptr,
       "pozostawiony bez zmian. Nie mogę zapisać kopii pliku C:\\U\\.cursor\\mcp.json.orvinmcp-kopia (kod 5)."},
      {{"-install"}, kOther, nullptr, kNothingReplaces, 4, kOther, kOther,
       "pozostawiony bez zmian. Nie mogę zastąpić pliku nową treścią (kod 5)."},
  };
  for (const TInstallRow& row : rows) {
    SCOPED_TRACE(row.Done);
    Fake = FakePlatform();
    SetUp();
    Fake.Folders = {"C:\\U\\.cursor"};
    if (row.Before) Fake.Files[kCursor] = row.Before;
    if (row.Backup) Fake.Files[kBackup] = row.Backup;
    if (row.Trouble == kUnreadable) Fake.UnreadableFiles = {kCursor};
    if (row.Trouble == kNoTemporary) Fake.UnwritableFiles = {temporary};
    if (row.Trouble == kNoBackup) Fake.UnwritableFiles = {kBackup};
    Fake.FailReplace = row.Trouble == kNoReplace || row.Trouble == kNothingReplaces;
    Fake.FailMove = row.Trouble == kNothingReplaces;
    Fake.Args.insert(Fake.Args.end(), row.Args.begin(), row.Args.end());
    EXPECT_EQ(RunBridge(), row.ExitCode);
    EXPECT_NE(Fake.Output.find("Cursor: C:\\U\\.cursor\\mcp.json - " + std::string(row.Done) + "\r\n"),
              std::string::npos) << Fake.Output;
    EXPECT_EQ(Fake.Files.count(kCursor) ? Fake.Files[kCursor] : "-", row.After ? row.After : "-");
    EXPECT_EQ(Fake.Files.count(kBackup) ? Fake.Files[kBackup] : "-", row.BackupAfter ? row.BackupAfter : "-");
    EXPECT_EQ(Fake.Files.count(temporary), 0u);
    const bool changed = row.ExitCode == 0 && row.Before && std::string(row.Before) != row.After;
    EXPECT_EQ(Fake.Replaces, changed && row.Trouble != kNoReplace ? 1 : 0);
  }
}

// The second run finds its entry and writes nothing, whatever the client's format.
TEST_F(InstallTest, ASecondInstallWritesNothing) {
  Fake.Folders = {"C:\\U\\AppData\\Roaming\\Code\\User", "C:\\U\\.codex"};
  Fake.Files["C:\\U\\.codex\\config.toml"] = "model = \"o3\"\n";
  EXPECT_EQ(Run({"-install", "-dir", "C:\\Orvin Ł"}), 0);
  const std::map<std::string, std::string> files = Fake.Files;
  const int flushes = Fake.Flushes;
  EXPECT_EQ(RunBridge(), 0);
  EXPECT_EQ(Fake.Files, files);
  EXPECT_EQ(Fake.Flushes, flushes);
  EXPECT_NE(Fake.Output.find("VS Code: C:\\U\\AppData\\Roaming\\Code\\User\\mcp.json - wpis \"orvin\" już jest.\r\n"),
            std::string::npos);
  EXPECT_NE(files.at("C:\\U\\AppData\\Roaming\\Code\\User\\mcp.json").find("\"type\": \"stdio\""), std::string::npos);
  EXPECT_EQ(files.at("C:\\U\\.codex\\config.toml"),
            "model = \"o3\"\n\n[mcp_servers.orvin]\ncommand = \"C:\\\\Orvin\\\\OrvinMCP.exe\"\n"
            "args = [\"-dir\", \"C:\\\\Orvin Ł\"]\n");
}

struct TZipRow {
  const char* Exe;
  const char* Temp;  // %TEMP%, beside GetTempPath's C:\Temp\ of the double
  bool InsideZip;
};

TEST_F(InstallTest, ProgramsRunStraightFromAnArchive) {
  const TZipRow rows[] = {
      {"C:\\Temp\\Temp1_OrvinMCP-1.0-win64.zip\\OrvinMCP.exe", "", true},
      {"c:\\temp\\temp12_x.zip\\OrvinMCP-1.0\\OrvinMCP.exe", "", true},
      {"C:\\Temp\\7zO4A1B2C3D\\OrvinMCP.exe", "", true},
      {"C:\\Temp\\Rar$EXa1234.5678\\OrvinMCP.exe", "", true},
      {"C:\\Users\\JAN~1\\AppData\\Local\\Temp\\Rar$DIa0.1\\OrvinMCP.exe", "C:\\Users\\JAN~1\\AppData\\Local\\Temp", true},
      {"C:\\Temp\\Temp_x.zip\\OrvinMCP.exe", "", false},
      {"C:\\Temp\\TempA_x.zip\\OrvinMCP.exe", "", false},
      {"C:\\Temp\\Temp1_x.zip", "", false},
      {"C:\\Temp\\Orvin\\Temp1_x.zip\\OrvinMCP.exe", "", false},
      {"C:\\Orvin\\Temp1_x.zip\\OrvinMCP.exe", "", false},
  };
  for (const TZipRow& row : rows) {
    Fake.Environment["TEMP"] = row.Temp;
    EXPECT_EQ(RunsFromInsideZip(row.Exe), row.InsideZip) << row.Exe;
  }
  Fake.Folders = {"C:\\U\\.cursor"};
  Fake.Args = {rows[0].Exe, "-install"};
  EXPECT_EQ(RunBridge(), 4);
  EXPECT_EQ(Fake.Output, UnpackZipFirstText() + "\r\n");
  EXPECT_TRUE(Fake.Files.empty());
  Fake.Args[1] = "-uninstall";  // taking an entry out harms nothing
  EXPECT_EQ(RunBridge(), 0);
}

struct TCommandRow {
  std::vector<std::string> Args;
  bool Command;
  const char* Folder;
};

TEST_F(InstallTest, TheCommandLine) {
  const TCommandRow rows[] = {
      {{"-install"}, true, "C:\\Orvin"},
      {{"-dir", "C:\\Crm\\\\", "-Install"}, true, "C:\\Crm"},
      {{"-uninstall", "-dir", "crm"}, true, "C:\\Work\\crm"},
      {{"-install", "-dir", "C:\\"}, true, "C:"},
      {{"-dir", "-install"}, false, "C:\\Work\\-install"},
      {{"-mcp", "-uninstall"}, false, "C:\\Orvin"},
      {{"--install"}, false, "C:\\Orvin"},
  };
  for (const TCommandRow& row : rows) {
    Fake.Args = {"C:\\Orvin\\OrvinMCP.exe"};
    Fake.Args.insert(Fake.Args.end(), row.Args.begin(), row.Args.end());
    EXPECT_EQ(InstallCommandGiven(), row.Command) << row.Args[0];
    EXPECT_EQ(InstallationFor(false).Folder, row.Folder) << row.Args[0];
  }
}

struct TConsoleRow {
  std::string Exe;
  std::u16string Keys;
  const char* Shown;  // a part of the screen
  bool Installed;
};

// The double click: the entries, whether Orvin runs, the clients, and T adds the bridge.
TEST_F(InstallTest, TheConsoleOffersTheClients) {
  const char* offer =
      "Orvin CRM z katalogu C:\\Orvin\\ teraz nie działa. Działają za to okna wyglądające jak Orvin z innych katalogów: "
      "C:\\Inny\\.\r\n\r\nKlienci MCP na tym koncie Windows:\r\n  Cursor: C:\\U\\.cursor\\mcp.json\r\n\r\nNaciśnij T, aby "
      "dodać OrvinMCP do tych programów, albo Enter, aby zakończyć.\r\n";
  const TConsoleRow rows[] = {
      {"C:\\Orvin\\OrvinMCP.exe", u"t", "Cursor: C:\\U\\.cursor\\mcp.json - dodano wpis \"orvin\".", true},
      {"C:\\Orvin\\OrvinMCP.exe", u"xT\r\r", offer, true},
      {"C:\\Orvin\\OrvinMCP.exe", u"x\r", offer, false},
      {"C:\\Temp\\Temp1_o.zip\\OrvinMCP.exe", u"t\r", "uruchom go stamtąd.\r\n\r\nNaciśnij Enter, aby zakończyć.\r\n",
       false},
  };
  for (const TConsoleRow& row : rows) {
    Fake = FakePlatform();
    SetUp();
    Fake.AddCrmWindow("C:\\Inny\\Orvin.exe");
    Fake.Folders = {"C:\\U\\.cursor"};
    Fake.Args = {row.Exe};
    Fake.InputIsConsole = true;
    Fake.ErrorFileType = FileType::Char;
    Fake.ConsoleKeys.assign(row.Keys.begin(), row.Keys.end());
    EXPECT_EQ(RunBridge(), 2);
    const std::string screen = WideToUtf8(Fake.MultiByteToWide(852, Fake.ErrorOutput));
    EXPECT_NE(screen.find(row.Shown), std::string::npos) << screen;
    EXPECT_EQ(Fake.Files.count(kCursor), row.Installed ? 1u : 0u) << screen;
    EXPECT_EQ(screen.find("Temp1_o"), std::string::npos);
    EXPECT_TRUE(Fake.HandshakeRequests.empty());
  }
  Fake.AddCrmWindow("C:\\Orvin\\Orvin.exe");
  Fake.Args = {"C:\\Orvin\\OrvinMCP.exe"};
  EXPECT_EQ(RunBridge(), 2);
  EXPECT_NE(Fake.ErrorOutput.find("C:\\Orvin\\ dzia"), std::string::npos);
}
