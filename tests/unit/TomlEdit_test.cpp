#include "install/TomlEdit.h"
#include "install/TomlText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
const TServerEntry kEntry{"C:\\Program Files\\Orvin\\Zakład\\OrvinMCP.exe", {"-dir", "C:\\Orvin \"CRM\""}, "stdio"};
const std::string kCommandLine = "command = \"C:\\\\Program Files\\\\Orvin\\\\Zakład\\\\OrvinMCP.exe\"\n";
const std::string kArgsLine = "args = [\"-dir\", \"C:\\\\Orvin \\\"CRM\\\"\"]\n";
const std::string kBody = kCommandLine + kArgsLine;
const std::string kTable = "[mcp_servers.orvin]\n" + kBody;
const std::string kBom = "\xEF\xBB\xBF";

std::string Crlf(const std::string& text) {
  std::string out;
  for (const char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

std::string NoFinalLineEnd(const std::string& text) { return text.substr(0, text.find_last_not_of("\r\n") + 1); }

// Nearly every form the grammar has, in a file Codex could hold.
const std::string kEveryForm = R"(# Codex
model = "o3"   # a comment
"quoted key" = 'C:\literal'
'' = "an empty key"
site."google.com".visible = true
a.b.c = 1
a.b.d = 0x0
numbers = [0xDEAD_beef, 0o755, 0b1101, +17, -0, 1_000, 3.14, -1e-3, 6.626E+34, 1_0.0_1, inf, -inf, +nan, 0.0]
dates = [1979-05-27T07:32:00Z, 1979-05-27 00:32:00.999-07:00, 2024-02-29t23:59:60z, 1979-05-27, 07:32:00.5]
texts = [
  "tab\t\u00E9\U0001F600\"", # comments between items
  """
Roses ""are"" red \
     and violets""", '''
two
 lines''''', ''''' quote "" """''',
  [[], [1, "mixed"]], { x = { y = "z" } }, # a trailing comma
]
points = [ { x = 1, y.z = 2 }, {} ]
empty = {}

[a.b.e]
x = 1

[x.y.z.w]
[x]
[[fruit]]
name = "apple"
[fruit.physical]
color = "red"
[[fruit.variety]]
name = "fuji"
[[fruit]]
name = "banana"
[ dog . "tater.man" ]
type.name = "pug"
)";

struct TEditRow {
  std::string Before;
  std::string Name;
  std::string After;
  TEditOutcome Outcome;
  std::string Former = "";
};
}  // namespace

TEST(TomlEditTest, PutWritesTheTableAndKeepsEveryOtherByte) {
  const std::string other = "model = \"o3\"\n\n# servers\n[mcp_servers.other]\ncommand = \"x\"\n";
  const std::vector<TEditRow> rows = {
      {"", "orvin", Crlf(kTable), TEditOutcome::Added},
      {kBom + " \n\t\n", "orvin", kBom + Crlf(kTable), TEditOutcome::Added},
      {other, "orvin", other + "\n" + kTable, TEditOutcome::Added},
      {Crlf(other), "orvin", Crlf(other + "\n" + kTable), TEditOutcome::Added},
      {kBom + NoFinalLineEnd(other), "orvin", kBom + NoFinalLineEnd(other + "\n" + kTable), TEditOutcome::Added},
      {"model = 'o3'", "orvin", NoFinalLineEnd(Crlf("model = 'o3'\n\n" + kTable)), TEditOutcome::Added},
      {"a = 1\n\n\n# end", "orvin", "a = 1\n\n\n# end\n\n" + NoFinalLineEnd(kTable), TEditOutcome::Added},
      {"[mcp_servers]\nother = { command = \"x\" }\n", "orvin-Biuro",
       "[mcp_servers]\nother = { command = \"x\" }\n\n[mcp_servers.orvin-Biuro]\n" + kBody, TEditOutcome::Added},
      {"mcp_servers.other.command = \"x\"\n", "orvin-Biuro 2",
       "mcp_servers.other.command = \"x\"\n\n[mcp_servers.\"orvin-Biuro 2\"]\n" + kBody, TEditOutcome::Added},
      {kEveryForm, "orvin", kEveryForm + "\n" + kTable, TEditOutcome::Added},
      // command and args in place, a missing one behind the others; the user's keys, comments and sub-tables stay.
      {"a = 1\n[mcp_servers.orvin] # ours\ncommand = \"old\"\n# old args\nargs = []\nenv = { A = \"1\" }\n# next\n[b]\n",
       "orvin", "a = 1\n[mcp_servers.orvin] # ours\n" + kCommandLine + "# old args\n" + kArgsLine +
       "env = { A = \"1\" }\n# next\n[b]\n", TEditOutcome::Updated},
      {"[mcp_servers.orvin]\nenabled = false\ncommand = \"x\"\nargs = [\"-dir\"]\nstartup_timeout_sec = 20\n"
       "tool_timeout_sec = 60.5\nenabled_tools = [\"a\"]\n\n[mcp_servers.orvin.env]\nA = \"1\"\n", "orvin",
       "[mcp_servers.orvin]\nenabled = false\n" + kBody + "startup_timeout_sec = 20\ntool_timeout_sec = 60.5\n"
       "enabled_tools = [\"a\"]\n\n[mcp_servers.orvin.env]\nA = \"1\"\n", TEditOutcome::Updated},
      {Crlf("[mcp_servers.orvin]\nargs = [\n]\n"), "orvin", Crlf("[mcp_servers.orvin]\n" + kArgsLine + kCommandLine),
       TEditOutcome::Updated},
      {"[mcp_servers.orvin]", "orvin", NoFinalLineEnd(Crlf(kTable)), TEditOutcome::Updated},
      {"[mcp_servers.orvin]\n# nothing yet\n", "orvin", kTable + "# nothing yet\n", TEditOutcome::Updated},
      {"a = 1\n\n[mcp_servers.orvin.env]\nA = \"1\"", "orvin",
       NoFinalLineEnd("a = 1\n\n[mcp_servers.orvin.env]\nA = \"1\"\n\n" + kTable), TEditOutcome::Updated},
      // An inline table on a line of its own.
      {"[mcp_servers]\norvin = { command = \"x\", enabled = false }  # ours\n", "orvin",
       "[mcp_servers]\norvin = { command = " + TomlString(kEntry.Command) + ", enabled = false, args = " +
       TomlStringArray(kEntry.Args) + " }  # ours\n", TEditOutcome::Updated},
      {"mcp_servers.orvin = {}", "orvin", "mcp_servers.orvin = { command = " + TomlString(kEntry.Command) + ", args = " +
       TomlStringArray(kEntry.Args) + " }", TEditOutcome::Updated},
      // Under the former name: renamed, its sub-tables too.
      {"[mcp_servers.\"orvin-Biuro Łódź\"]\ncommand = 'x'\nenabled = false\n[ mcp_servers.'orvin-Biuro Łódź'.env ] # e\n",
       "orvin-Biuro-Lodz", "[mcp_servers.orvin-Biuro-Lodz]\n" + kCommandLine + "enabled = false\n" + kArgsLine +
       "[mcp_servers.orvin-Biuro-Lodz.env] # e\n", TEditOutcome::Updated, "orvin-Biuro Łódź"},
      {"[mcp_servers.orvin]\ncommand = \"C:\\\\Program Files\\\\Orvin\\\\Zakład\\\\OrvinMCP.exe\"\n"
       "args = [\"-dir\"]\n", "orvin", kTable, TEditOutcome::Updated},
      {kTable, "orvin", "", TEditOutcome::AlreadyThere},
      {"[ mcp_servers . \"orvin\" ] # ours\nargs = [ '-dir', # folder next\n  'C:\\Orvin \"CRM\"', ]\n"
       "command = 'C:\\Program Files\\Orvin\\Zakład\\OrvinMCP.exe'\n",
       "orvin", "", TEditOutcome::AlreadyThere},
      {"[mcp_servers.\"orvin\"]\nargs = [ '-dir', # folder next\n  'C:\\Orvin \"CRM\"', ]\n"
       "command = \"\"\"\nC:\\\\Program Files\\\\Orvin\\\\Zak\\u0142ad\\\\OrvinMCP.exe\"\"\"\n",
       "orvin", "", TEditOutcome::AlreadyThere},
  };
  for (const TEditRow& row : rows) {
    const TEntryNames names{row.Name, row.Former};
    const TTextEdit edit = PutTomlEntry(row.Before, names, kEntry);
    EXPECT_EQ(edit.Outcome, row.Outcome) << row.Before << edit.Why;
    if (row.Outcome == TEditOutcome::AlreadyThere) continue;
    EXPECT_EQ(edit.Text, row.After) << row.Before;
    // A second run changes nothing; taking out what was added gives the file back.
    EXPECT_EQ(PutTomlEntry(edit.Text, names, kEntry).Outcome, TEditOutcome::AlreadyThere) << edit.Text;
    const TTextEdit removed = RemoveTomlEntry(edit.Text, names);
    EXPECT_EQ(removed.Outcome, TEditOutcome::Removed) << edit.Text;
    if (row.Outcome == TEditOutcome::Added && row.Before.find_first_not_of(" \t\r\n" + kBom) != std::string::npos) {
      EXPECT_EQ(removed.Text, row.Before);
    }
  }
}

TEST(TomlEditTest, RemoveTakesTheTableWithItsSubTables) {
  const std::vector<TEditRow> rows = {
      {kTable, "orvin", "", TEditOutcome::Removed},
      {kBom + Crlf("a = 1\n\n" + kTable + "\n[b]\n"), "orvin", kBom + Crlf("a = 1\n\n[b]\n"), TEditOutcome::Removed},
      {"a = 1\n\n[mcp_servers.orvin]\ncommand = \"x\"\n# about b\n[b]\n", "orvin", "a = 1\n# about b\n[b]\n",
       TEditOutcome::Removed},
      {kTable + "[x]\ny = 1\n\n[mcp_servers.orvin.env]\nA = \"1\"\n[[mcp_servers.orvin.t]]\nn = 1\n", "orvin",
       "[x]\ny = 1\n", TEditOutcome::Removed},
      {"[x]\n\n[mcp_servers.orvin.env]\nA = 1", "orvin", "[x]", TEditOutcome::Removed},
      {kTable + "\n[mcp_servers.orvin-K]\ncommand = \"x\"\n", "orvin-K", kTable, TEditOutcome::Removed},
      {"a = 1\n\n[mcp_servers.\"orvin-K 2\"]\ncommand = \"x\"\n\n[mcp_servers.orvin-K-2]\n", "orvin-K-2", "a = 1\n",
       TEditOutcome::Removed, "orvin-K 2"},
      {"[mcp_servers]\nother = 1\norvin = { command = \"x\" } # ours\n[b]\n", "orvin", "[mcp_servers]\nother = 1\n[b]\n",
       TEditOutcome::Removed},
      {kTable, "orvin-K", "", TEditOutcome::NotThere},
      {"", "orvin", "", TEditOutcome::NotThere},
      {"[mcp_servers.orvinek]\n[mcp_servers]\nother = { orvin = 1 }\n", "orvin", "", TEditOutcome::NotThere},
      {"mcp_servers = {}\n", "orvin", "", TEditOutcome::NotThere},
  };
  for (const TEditRow& row : rows) {
    const TTextEdit edit = RemoveTomlEntry(row.Before, {row.Name, row.Former});
    EXPECT_EQ(edit.Outcome, row.Outcome) << row.Before << edit.Why;
    EXPECT_EQ(edit.Text, row.After) << row.Before;
  }
}

TEST(TomlEditTest, FilesThatAreNoTomlOrHoldTheEntryOtherwiseStayAsTheyAre) {
  const std::string invalid = "Plik nie jest poprawnym plikiem TOML (wiersz ";
  const std::string shape = "Wpis \"orvin\" w tabeli mcp_servers jest zapisany w postaci, której nie zmieniam (wiersz ";
  const std::string noTable = "Ustawienie mcp_servers nie jest tabelą serwerów MCP (wiersz ";
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"a = 1\na = 2\n", invalid + "2)."}, {"[t]\n[t]\n", invalid + "2)."}, {"a.b = 1\n[a]\n", invalid + "2)."},
      {"[a]\nb = 1\n[a.b]\n", invalid + "3)."}, {"a = []\n[[a]]\n", invalid + "2)."}, {"[[a]]\n[a]\n", invalid + "2)."},
      {"[a.b]\n[a]\n[a]\n", invalid + "3)."}, {"[a.b]\n[a]\nb.c = 1\n", invalid + "3)."},
      {"[a.b.c]\n[a]\nb.d = 1\n[a.b]\n", invalid + "4)."},
      {"t = {a.b = 1}\nt.a.c = 2\n", invalid + "2)."}, {"t = {a = 1, a = 2}\n", invalid + "1)."},
      {"[[t]]\n[t.x]\n[t]\nx.y = 1", invalid + "3)."}, {"a = \"open\nb = 1\n", invalid + "1)."},
      {"a = [1, 2\n", invalid + "2)."}, {"a = {b = 1,}\n", invalid + "1)."}, {"a = {b = 1\n}\n", invalid + "1)."},
      {"a = 1 b = 2\n", invalid + "1)."}, {"a = 1\r b = 2\n", invalid + "1)."}, {"= 1\n", invalid + "1)."},
      {"a =\n", invalid + "1)."}, {"[a]]\n", invalid + "1)."}, {"[[a]\n", invalid + "1)."},
      {"[ [a]]\n", invalid + "1)."}, {"a = [1,,2]\n", invalid + "1)."}, {"a = [,]\n", invalid + "1)."},
      {"a = 01\n", invalid + "1)."}, {"a = 1__0\n", invalid + "1)."}, {"a = 1_\n", invalid + "1)."},
      {"a = +0x1\n", invalid + "1)."}, {"a = 1.\n", invalid + "1)."}, {"a = .5\n", invalid + "1)."},
      {"a = 1e\n", invalid + "1)."}, {"a = tru\n", invalid + "1)."}, {"a = True\n", invalid + "1)."},
      {"a = 1979-02-29\n", invalid + "1)."}, {"a = 07:32\n", invalid + "1)."},
      {"a = 1979-05-27T25:00:00\n", invalid + "1)."}, {"a = 1979-05-27 07:32:00+7\n", invalid + "1)."},
      {"a = \"\\x41\"\n", invalid + "1)."}, {"a = \"\\uD800\"\n", invalid + "1)."},
      {"a = \"\\U00110000\"\n", invalid + "1)."}, {"a = \"\"\"x\\ y\"\"\"\n", invalid + "1)."},
      {"a = '''x''''''\n", invalid + "1)."}, {"a = '''\n\n\x01'''\n", invalid + "3)."},
      {"a = \"tab\x7F\"\n", invalid + "1)."}, {std::string("a = 1 # \0\n", 10), invalid + "1)."},
      {"a = 1\nb = \"\xC3\x28\"\n", invalid + "2)."}, {"a = \"\xED\xA0\x80\"\n", invalid + "1)."},
      {"a = \"\xC0\xAF\"\n", invalid + "1)."}, {"mcp_servers = { orvin = { command = \"x\" } }\n", shape + "1)."},
      {"[mcp_servers]\norvin.command = \"x\"\n", shape + "2)."}, {"mcp_servers.orvin.command = \"x\"\n", shape + "1)."},
      {"[[mcp_servers.orvin]]\ncommand = \"x\"\n", shape + "1)."}, {"[mcp_servers]\norvin = 1\n", shape + "2)."},
      {"[[mcp_servers]]\nname = \"orvin\"\n", noTable + "1)."}, {"a = 1\nmcp_servers = 5\n", noTable + "2)."},
      {"mcp_servers = [{ orvin = 1 }]\n", noTable + "1)."},
  };
  for (const auto& row : rows) {
    for (const TTextEdit& edit : {PutTomlEntry(row.first, {"orvin"}, kEntry), RemoveTomlEntry(row.first, {"orvin"})}) {
      EXPECT_EQ(edit.Outcome, TEditOutcome::Refused) << row.first;
      EXPECT_EQ(edit.Why, row.second) << row.first;
      EXPECT_EQ(edit.Text, "");
    }
  }
  EXPECT_EQ(PutTomlEntry("# x\n[mcp_servers.orvin]\ncommand.path = 'x'\n", {"orvin"}, kEntry).Why, shape + "2).");
  EXPECT_EQ(PutTomlEntry("mcp_servers = {}\n", {"orvin"}, kEntry).Why,
            "Tabela mcp_servers jest zapisana w jednym wierszu w nawiasach klamrowych, "
            "więc nie dopisuję do niej wpisu (wiersz 1).");
  EXPECT_EQ(PutTomlEntry("", {"orvin"}, {"C:\\\xC5", {}, ""}).Why,
            "Ścieżka programu albo jego argumenty nie są poprawnym tekstem UTF-8.");
}

TEST(TomlEditTest, NestingDeeperThanAnyCallStackIsScanned) {
  const std::string arrays = "a = " + std::string(200000, '[') + std::string(200000, ']') + "\n";
  std::string tables = "a = ";
  for (int depth = 0; depth < 100000; ++depth) tables += "{b = ";
  tables += "1" + std::string(100000, '}') + "\n";
  for (const std::string& deep : {arrays, tables}) {
    EXPECT_EQ(PutTomlEntry(deep, {"orvin"}, kEntry).Text, deep + "\n" + kTable);
    const std::string unclosed = deep.substr(0, deep.size() - 2) + "\n";
    EXPECT_EQ(PutTomlEntry(unclosed, {"orvin"}, kEntry).Outcome, TEditOutcome::Refused);
  }
}
