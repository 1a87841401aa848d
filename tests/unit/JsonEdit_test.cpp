#include "install/JsonEdit.h"

#include <gtest/gtest.h>

namespace {
// Rows write a line end as | (LF, or CR LF where the row says) and a tab as ~.
std::string Text(const std::string& row, bool crlf) {
  std::string text;
  for (char c : row) text += c == '|' ? (crlf ? "\r\n" : "\n") : c == '~' ? "\t" : std::string(1, c);
  return text;
}

// Cursor: strict JSON under "mcpServers"; VS Code: comments and trailing commas, under "servers", with a type;
// Gemini: comments only.
enum TClient { kCursor, kVsCode, kGemini };
const TServerEntry kEntry{"C:\\CRM\\OrvinMCP.exe", {"-dir", "C:\\CRM"}, ""};

TJsonSyntax SyntaxOf(TClient client) { return {client != kCursor, client == kVsCode}; }
const char* ParentOf(TClient client) { return client == kVsCode ? "servers" : "mcpServers"; }

TTextEdit Put(const std::string& text, TClient client) {
  TServerEntry entry = kEntry;
  if (client == kVsCode) entry.Type = "stdio";
  return PutJsonEntry(text, SyntaxOf(client), ParentOf(client), {"orvin"}, entry);
}

TTextEdit Remove(const std::string& text, TClient client, bool dropEmptyParent) {
  return RemoveJsonEntry(text, SyntaxOf(client), ParentOf(client), {"orvin"}, dropEmptyParent);
}

struct TRow {
  const char* Before;
  TClient Client;
  TEditOutcome Outcome;
  const char* After;  // empty when the edit gives no text
  bool Crlf = false;
  bool DropParent = false;
};

const TRow kPutRows[] = {
    // Other entries; 2 spaces, 4 spaces with CR LF, tabs; a byte order mark and other settings around.
    {R"({|  "mcpServers": {|    "a": {|      "command": "a.exe"|    }|  }|}|)", kCursor, TEditOutcome::Added,
     R"({|  "mcpServers": {|    "a": {|      "command": "a.exe"|    },|    "orvin": {|      "command": "C:\\CRM\\OrvinMCP.exe",|      "args": ["-dir", "C:\\CRM"]|    }|  }|}|)"},
    {R"({|    "mcpServers": {|        "a": {}|    }|})", kCursor, TEditOutcome::Added,
     R"({|    "mcpServers": {|        "a": {},|        "orvin": {|            "command": "C:\\CRM\\OrvinMCP.exe",|            "args": ["-dir", "C:\\CRM"]|        }|    }|})", true},
    {R"({|~"mcpServers": {|~~"a": {}|~}|})", kCursor, TEditOutcome::Added,
     R"({|~"mcpServers": {|~~"a": {},|~~"orvin": {|~~~"command": "C:\\CRM\\OrvinMCP.exe",|~~~"args": ["-dir", "C:\\CRM"]|~~}|~}|})"},
    {"\xef\xbb\xbf{|  \"theme\": \"ciemny\",|  \"mcpServers\": {|    \"a\": {}|  },|  \"x\": [1]|}", kCursor, TEditOutcome::Added,
     "\xef\xbb\xbf{|  \"theme\": \"ciemny\",|  \"mcpServers\": {|    \"a\": {},|    \"orvin\": {|      \"command\": "
     "\"C:\\\\CRM\\\\OrvinMCP.exe\",|      \"args\": [\"-dir\", \"C:\\\\CRM\"]|    }|  },|  \"x\": [1]|}", true},
    {R"({"mcpServers":{"a":{"command":"a.exe"}}})", kCursor, TEditOutcome::Added,
     R"({"mcpServers":{"a":{"command":"a.exe"},"orvin":{"command":"C:\\CRM\\OrvinMCP.exe","args":["-dir","C:\\CRM"]}}})"},
    // No parent: it is added, last; one nested deeper (Claude Code's projects) does not count.
    {R"({|  "theme": "ciemny"|}|)", kCursor, TEditOutcome::Added,
     R"({|  "theme": "ciemny",|  "mcpServers": {|    "orvin": {|      "command": "C:\\CRM\\OrvinMCP.exe",|      "args": ["-dir", "C:\\CRM"]|    }|  }|}|)", true},
    {R"({"projects":{"p":{"mcpServers":{}}}})", kCursor, TEditOutcome::Added,
     R"({"projects":{"p":{"mcpServers":{}}},"mcpServers":{"orvin":{"command":"C:\\CRM\\OrvinMCP.exe","args":["-dir","C:\\CRM"]}}})"},
    {"{}", kCursor, TEditOutcome::Added,
     R"({|  "mcpServers": {|    "orvin": {|      "command": "C:\\CRM\\OrvinMCP.exe",|      "args": ["-dir", "C:\\CRM"]|    }|  }|})", true},
    // An empty parent; VS Code's file with comments (a // inside a string), a trailing comma, a comment only.
    {R"({|~"servers": {},|~"inputs": []|}|)", kVsCode, TEditOutcome::Added,
     R"({|~"servers": {|~~"orvin": {|~~~"type": "stdio",|~~~"command": "C:\\CRM\\OrvinMCP.exe",|~~~"args": ["-dir", "C:\\CRM"]|~~}|~},|~"inputs": []|}|)"},
    {R"(// mcp|{|  "servers": {|    "a": {"url": "http://x//y"} // pierwszy|    /* "orvin": {} */|  }|} // koniec)", kVsCode,
     TEditOutcome::Added,
     R"(// mcp|{|  "servers": {|    "a": {"url": "http://x//y"}, // pierwszy|    /* "orvin": {} */|    "orvin": {|)"
     R"(      "type": "stdio",|      "command": "C:\\CRM\\OrvinMCP.exe",|      "args": ["-dir", "C:\\CRM"]|    }|  }|} // koniec)"},
    {R"({|  "servers": {|    "a": {},|  },|})", kVsCode, TEditOutcome::Added,
     R"({|  "servers": {|    "a": {},|    "orvin": {|      "type": "stdio",|      "command": "C:\\CRM\\OrvinMCP.exe",|      "args": ["-dir", "C:\\CRM"]|    },|  },|})"},
    {R"({"servers": {/* brak */}})", kVsCode, TEditOutcome::Added,
     R"({"servers": {/* brak */"orvin":{"type":"stdio","command":"C:\\CRM\\OrvinMCP.exe","args":["-dir","C:\\CRM"]}}})"},
    // A missing file.
    {"", kCursor, TEditOutcome::Added,
     R"({|  "mcpServers": {|    "orvin": {|      "command": "C:\\CRM\\OrvinMCP.exe",|      "args": ["-dir", "C:\\CRM"]|    }|  }|}|)", true},
    {"\xef\xbb\xbf |", kVsCode, TEditOutcome::Added,
     "\xef\xbb\xbf" R"({|  "servers": {|    "orvin": {|      "type": "stdio",|      "command": "C:\\CRM\\OrvinMCP.exe",|      "args": ["-dir", "C:\\CRM"]|    }|  }|}|)", true},
    // Gemini's comments.
    {R"(// moje|{"mcpServers": {/* brak */}})", kGemini, TEditOutcome::Added,
     R"(// moje|{"mcpServers": {/* brak */"orvin":{"command":"C:\\CRM\\OrvinMCP.exe","args":["-dir","C:\\CRM"]}}})"},
    // The entry there: only the bridge's members change, in place; the user's stay; a right one is not touched.
    {R"({|  "mcpServers": {|    "orvin": {"command": "stary.exe"},|    "b": {}|  }|})", kCursor, TEditOutcome::Updated,
     R"({|  "mcpServers": {|    "orvin": {"command": "C:\\CRM\\OrvinMCP.exe", "args": ["-dir", "C:\\CRM"]},|    "b": {}|  }|})"},
    {R"({|  "mcpServers": {|    "orvin": {|      "args": [],|      "disabled": true,|      "env": {"A": "1"}|    }|  }|})", kCursor, TEditOutcome::Updated,
     R"({|  "mcpServers": {|    "orvin": {|      "args": ["-dir", "C:\\CRM"],|      "disabled": true,|      "env": {"A": "1"},|)"
     R"(      "command": "C:\\CRM\\OrvinMCP.exe"|    }|  }|})", true},
    {R"({|  "mcpServers": {|    "orvin": {}|  }|})", kCursor, TEditOutcome::Updated,
     R"({|  "mcpServers": {|    "orvin": {|      "command": "C:\\CRM\\OrvinMCP.exe",|      "args": ["-dir", "C:\\CRM"]|    }|  }|})"},
    {R"({"mcpServers":{"orvin":1}})", kCursor, TEditOutcome::Updated,
     R"({"mcpServers":{"orvin":{"command":"C:\\CRM\\OrvinMCP.exe","args":["-dir","C:\\CRM"]}}})"},
    {R"({"mcpServers":{"orvin":{"command":"C:\\CRM\\OrvinMCP.exe","args":["-dir"],"command":2}}})", kCursor, TEditOutcome::Updated,
     R"({"mcpServers":{"orvin":{"command":"C:\\CRM\\OrvinMCP.exe","args":["-dir","C:\\CRM"],"command":"C:\\CRM\\OrvinMCP.exe"}}})"},
    {R"({"servers": {"orvin": {"type": "http", /* mój */ "command": "x", "env": {},},}})", kVsCode, TEditOutcome::Updated,
     R"({"servers": {"orvin": {"type": "stdio", /* mój */ "command": "C:\\CRM\\OrvinMCP.exe", "env": {}, "args": ["-dir", "C:\\CRM"],},}})"},
    {R"({"servers":{"orvin":{"command":"C:\\CRM\\OrvinMCP.exe","args":["-dir","C:\\CRM"]}}})", kVsCode, TEditOutcome::Updated,
     R"({"servers":{"orvin":{"command":"C:\\CRM\\OrvinMCP.exe","args":["-dir","C:\\CRM"],"type":"stdio"}}})"},
    {R"({"mcpServers":{"\u006frvin":{"args":["-dir","C:\u005cCRM"],"command":"C:\\CRM\\OrvinMCP.exe"}}})", kCursor,
     TEditOutcome::AlreadyThere, ""},
    {R"({"mcpServers":{"orvin":{"type":"stdio","command":"C:\\CRM\\OrvinMCP.exe","args":["-dir","C:\\CRM"],"env":{}}}})",
     kCursor, TEditOutcome::AlreadyThere, ""},
    {R"({|  // x|  "mcpServers": {"orvin": {"trust": true, "command": "C:\\CRM\\OrvinMCP.exe", "args": ["-dir", "C:\\CRM"]}}|})",
     kGemini, TEditOutcome::AlreadyThere, ""},
    {R"({|  "servers": { // x|    "orvin": {"type": "stdio", "command": "C:\\CRM\\OrvinMCP.exe", "args": ["-dir", /* */ "C:\\CRM",],},|  },|})",
     kVsCode, TEditOutcome::AlreadyThere, ""},
};

TEST(JsonEdit, PutWritesTheEntryInTheFilesOwnStyle) {
  for (const TRow& row : kPutRows) {
    const TTextEdit edit = Put(Text(row.Before, row.Crlf), row.Client);
    EXPECT_EQ(edit.Outcome, row.Outcome) << row.Before;
    EXPECT_EQ(edit.Text, Text(row.After, row.Crlf)) << row.Before;
  }
}

// Every file that was there, the parent taken out where it was not; one made from nothing comes back as {}
// (a row below).
TEST(JsonEdit, RemovingWhatPutAddedGivesTheFileBackByteForByte) {
  for (const TRow& row : kPutRows) {
    if (row.Outcome != TEditOutcome::Added || std::string(row.Before).find('{') == std::string::npos) continue;
    const std::string before = Text(row.Before, row.Crlf);
    const bool added = !JsonFileHasMember(before, SyntaxOf(row.Client), ParentOf(row.Client));
    const TTextEdit removed = Remove(Put(before, row.Client).Text, row.Client, added);
    EXPECT_EQ(removed.Outcome, TEditOutcome::Removed) << row.Before;
    EXPECT_EQ(removed.Text, before) << row.Before;
  }
}

TEST(JsonEdit, RemoveTakesTheEntryAndOneComma) {
  const TRow rows[] = {
      {R"({|  "mcpServers": {|    "a": {},|    "orvin": {"command": "x"},|    "b": {}|  }|})", kCursor, TEditOutcome::Removed,
       R"({|  "mcpServers": {|    "a": {},|    "b": {}|  }|})", true},
      {R"({"mcpServers":{"orvin":{}, "b":{}}})", kCursor, TEditOutcome::Removed, R"({"mcpServers":{"b":{}}})"},
      {R"({"mcpServers":{"a":{} , "\u006frvin":{}}})", kCursor, TEditOutcome::Removed, R"({"mcpServers":{"a":{} }})"},
      {R"({|  "servers": {|    "a": {},|    "orvin": {}, // moje|  },|})", kVsCode, TEditOutcome::Removed,
       R"({|  "servers": {|    "a": {},|    // moje|  },|})"},
      // The only entry: the parent stays, unless the install added it.
      {R"({|  "mcpServers": {|    "orvin": {}|  },|  "x": 1|})", kCursor, TEditOutcome::Removed,
       R"({|  "mcpServers": {},|  "x": 1|})"},
      {R"({|  "mcpServers": {|    "orvin": {}|  },|  "x": 1|})", kCursor, TEditOutcome::Removed, R"({|  "x": 1|})", false, true},
      {R"({|  "x": 1,|  "mcpServers": {|    "orvin": {}|  }|})", kCursor, TEditOutcome::Removed,
       R"({|  "x": 1,|  "mcpServers": {}|})"},
      {R"({"mcpServers":{"orvin":{}}})", kCursor, TEditOutcome::Removed, "{}", false, true},
      {R"({|  "mcpServers": {|    "orvin": {|      "command": "C:\\CRM\\OrvinMCP.exe",|      "args": ["-dir", "C:\\CRM"]|    }|  }|}|)",
       kCursor, TEditOutcome::Removed, "{}|", true, true},
      {R"({"servers": {|  // moje|  "orvin": {}|}})", kVsCode, TEditOutcome::Removed, R"({"servers": {|  // moje|}})"},
      {R"({"mcpServers":{"a":{}}})", kCursor, TEditOutcome::NotThere, ""},
      {R"({"projects":{"p":{"mcpServers":{"orvin":{}}}}})", kCursor, TEditOutcome::NotThere, ""},
      {" ", kCursor, TEditOutcome::NotThere, ""},
  };
  for (const TRow& row : rows) {
    const TTextEdit edit = Remove(Text(row.Before, row.Crlf), row.Client, row.DropParent);
    EXPECT_EQ(edit.Outcome, row.Outcome) << row.Before;
    EXPECT_EQ(edit.Text, Text(row.After, row.Crlf)) << row.Before;
  }
}

TEST(JsonEdit, FilesThatCannotBeEditedSafelyAreRefusedWithTheirLine) {
  const struct {
    const char* Before;
    TClient Client;
    const char* Why;
  } rows[] = {
      {R"({|  "mcpServers": {}|)", kCursor, "Plik nie jest poprawnym JSON-em (wiersz 3)."},
      {R"({"mcpServers": {"a": 01}})", kCursor, "Plik nie jest poprawnym JSON-em (wiersz 1)."},
      {R"({"servers": {"a": "//"} // }|)", kVsCode, "Plik nie jest poprawnym JSON-em (wiersz 2)."},
      {R"({"servers": {}} /* x)", kVsCode, "Plik nie jest poprawnym JSON-em (wiersz 1)."},
      {R"({"mcpServers": {}}{})", kCursor, "Plik nie jest poprawnym JSON-em (wiersz 1)."},
      {R"({|  // komentarz|  "mcpServers": {}|})", kCursor, "Plik zawiera komentarze, których ten format nie dopuszcza (wiersz 2)."},
      {R"({"mcpServers": {"a": [1,|]}})", kCursor,
       "Plik zawiera przecinek przed nawiasem zamykającym, którego ten format nie dopuszcza (wiersz 1)."},
      {R"(|[1])", kCursor, "Plik nie zawiera obiektu JSON, lecz inną wartość (wiersz 2)."},
      {R"({|  "mcpServers": []|})", kCursor, "Element \"mcpServers\" nie jest obiektem (wiersz 2)."},
      {R"({|"servers": {},|"servers": {}|})", kVsCode, "Element \"servers\" występuje w pliku więcej niż raz (wiersze 2 i 3)."},
      {R"({"mcpServers": {|"orvin": {},|"orvin": 1}})", kCursor,
       "Wpis \"orvin\" występuje w elemencie \"mcpServers\" więcej niż raz (wiersze 2 i 3)."},
      {"\xff\xfe{", kCursor, "Plik jest zapisany w UTF-16, a nie w UTF-8."},
      {R"(// x|{"mcpServers": {"a": {"args": ["b",]}}})", kGemini,
       "Plik zawiera przecinek przed nawiasem zamykającym, którego ten format nie dopuszcza (wiersz 2)."},
  };
  for (const auto& row : rows) {
    const std::string before = Text(row.Before, true);
    for (const TTextEdit& edit : {Put(before, row.Client), Remove(before, row.Client, true)}) {
      EXPECT_EQ(edit.Outcome, TEditOutcome::Refused) << row.Before;
      EXPECT_EQ(edit.Text, "") << row.Before;
      EXPECT_EQ(edit.Why, row.Why) << row.Before;
    }
  }
}

TEST(JsonEdit, DepthBeyondAnyCallStackIsStillEdited) {
  const std::string deep = "{\"mcpServers\":{},\"a\":" + std::string(200000, '[') + std::string(200000, ']') + "}";
  const TTextEdit put = Put(deep, kCursor);
  ASSERT_EQ(put.Outcome, TEditOutcome::Added);
  EXPECT_EQ(Remove(put.Text, kCursor, false).Text, deep);
  EXPECT_EQ(Put(deep.substr(0, deep.size() - 1), kCursor).Why, "Plik nie jest poprawnym JSON-em (wiersz 1).");
}
}  // namespace
