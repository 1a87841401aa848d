#include "install/TomlEdit.h"

#include <vector>

#include "common/Encodings.h"
#include "common/FileLayout.h"
#include "common/Text.h"
#include "install/TomlText.h"

namespace {
const char kServers[] = "mcp_servers";

// Bytes [Begin, End) of the text give way to Insert.
struct TSplice {
  std::size_t Begin;
  std::size_t End;
  std::string Insert;
};

// Where the entry stands in the file, or why it cannot be edited there.
struct TEntrySpot {
  int Servers = -1;
  int Entry = -1;
  std::string Refusal;
};

std::string AtLine(int line) { return " (wiersz " + ToDecimal(line) + ")."; }

const TTomlNode& NodeAt(const TTomlOutline& outline, int id) { return outline.Nodes[static_cast<std::size_t>(id)]; }

bool EndsWithoutLineEnd(const std::string& text) { return !text.empty() && text.back() != '\n'; }

// Only whitespace and line ends from `from` on.
bool OnlyBlankLinesFrom(const std::string& text, std::size_t from) {
  return text.find_first_not_of(" \t\r\n", from) == std::string::npos;
}

// The splices, given in the order of the text, made; a file whose last line had
// no line end keeps it so.
std::string Splice(const std::string& text, const std::vector<TSplice>& splices) {
  std::string out;
  out.reserve(text.size() + 256);
  std::size_t kept = 0;
  for (const TSplice& splice : splices) {
    out.append(text, kept, splice.Begin - kept);
    out += splice.Insert;
    kept = splice.End;
  }
  out.append(text, kept, std::string::npos);
  if (EndsWithoutLineEnd(text) && !out.empty() && out.back() == '\n') {
    out.pop_back();
    if (!out.empty() && out.back() == '\r') out.pop_back();
  }
  return out;
}

std::string EntryBody(const TServerEntry& entry, const std::string& lineEnd) {
  return "command = " + TomlString(entry.Command) + lineEnd + "args = " + TomlStringArray(entry.Args) + lineEnd;
}

std::string EntryTable(const std::string& name, const TServerEntry& entry, const std::string& lineEnd) {
  return "[" + std::string(kServers) + "." + TomlKey(name) + "]" + lineEnd + EntryBody(entry, lineEnd);
}

// The table after the rest of the file, one blank line between them.
std::string Append(const std::string& text, std::size_t bodyStart, const std::string& table,
                   const std::string& lineEnd) {
  if (OnlyBlankLinesFrom(text, bodyStart)) return text.substr(0, bodyStart) + table;
  const std::string gap = (EndsWithoutLineEnd(text) ? lineEnd : "") + lineEnd;
  return Splice(text, {{text.size(), text.size(), gap + table}});
}

// A section goes with the blank line before its header, so that taking out what
// Append added gives the file back as it was.
TSplice Removal(const std::string& text, std::size_t bodyStart, const TTomlSection& section) {
  std::size_t begin = section.Begin;
  if (begin > bodyStart) {
    std::size_t previous = begin - 1;
    while (previous > bodyStart && text[previous - 1] != '\n') --previous;
    if (text.find_first_not_of(" \t\r\n", previous) >= begin) begin = previous;
  }
  return {begin, section.ContentEnd, ""};
}

bool InEntry(const TTomlSection& section, const std::string& name) {
  return section.Path.size() >= 2 && section.Path[0] == kServers && section.Path[1] == name;
}

// Tables under [headers] only: the other shapes cannot take a new body in place.
bool HasEditableShape(TTomlNodeKind kind) {
  return kind == TTomlNodeKind::HeaderTable || kind == TTomlNodeKind::ImplicitTable;
}

TEntrySpot FindEntry(const TTomlOutline& outline, const std::string& name) {
  TEntrySpot spot;
  spot.Servers = FindTomlNode(outline, 0, kServers);
  if (spot.Servers < 0) return spot;
  const TTomlNode& servers = NodeAt(outline, spot.Servers);
  if (servers.Kind == TTomlNodeKind::Value || servers.Kind == TTomlNodeKind::ArrayOfTables) {
    spot.Refusal = "Ustawienie mcp_servers nie jest tabelą serwerów MCP" + AtLine(servers.Line);
    return spot;
  }
  spot.Entry = FindTomlNode(outline, spot.Servers, name);
  if (spot.Entry >= 0 && !HasEditableShape(NodeAt(outline, spot.Entry).Kind)) {
    spot.Refusal = "Wpis \"" + name + "\" w tabeli mcp_servers jest zapisany w postaci, której nie zmieniam" +
                   AtLine(NodeAt(outline, spot.Entry).Line);
  }
  return spot;
}

// The table holds command and args as the entry has them, and nothing else.
bool SaysExactly(const TTomlOutline& outline, int table, const TServerEntry& entry) {
  const int command = FindTomlNode(outline, table, "command");
  const int args = FindTomlNode(outline, table, "args");
  return NodeAt(outline, table).Children == 2 && command >= 0 && args >= 0 &&
         NodeAt(outline, command).Value == TomlString(entry.Command) &&
         NodeAt(outline, args).Value == TomlStringArray(entry.Args);
}

bool IsUtf8Entry(const TServerEntry& entry) {
  for (const std::string& arg : entry.Args) {
    if (!IsUtf8(arg)) return false;
  }
  return IsUtf8(entry.Command);
}

std::string NotToml(const TTomlOutline& outline) {
  return "Plik nie jest poprawnym plikiem TOML" + AtLine(outline.ErrorLine);
}
}  // namespace

TTextEdit PutTomlEntry(const std::string& text, const std::string& name, const TServerEntry& entry) {
  if (!IsUtf8Entry(entry)) return Refused("Ścieżka programu albo jego argumenty nie są poprawnym tekstem UTF-8.");
  const TTomlOutline outline = ScanToml(text);
  if (!outline.Valid) return Refused(NotToml(outline));
  const TEntrySpot spot = FindEntry(outline, name);
  if (!spot.Refusal.empty()) return Refused(spot.Refusal);
  // A file with nothing in it gets Windows line ends.
  const std::string lineEnd = OnlyBlankLinesFrom(text, outline.BodyStart) ? "\r\n" : LineEndOf(text);
  const std::string table = EntryTable(name, entry, lineEnd);
  if (spot.Entry < 0) {
    if (spot.Servers >= 0 && NodeAt(outline, spot.Servers).Kind == TTomlNodeKind::InlineTable) {
      return Refused("Tabela mcp_servers jest zapisana w jednym wierszu w nawiasach klamrowych, "
                     "więc nie dopisuję do niej wpisu" + AtLine(NodeAt(outline, spot.Servers).Line));
    }
    return Edited(TEditOutcome::Added, Append(text, outline.BodyStart, table, lineEnd));
  }
  if (SaysExactly(outline, spot.Entry, entry)) return Edited(TEditOutcome::AlreadyThere, "");
  // The entry's header stays where it is with a new body; its sub-tables go.
  std::vector<TSplice> splices;
  for (const TTomlSection& section : outline.Sections) {
    if (!InEntry(section, name)) continue;
    if (section.Table != spot.Entry) {
      splices.push_back(Removal(text, outline.BodyStart, section));
    } else {
      const bool headerLineOpen = section.HeaderEnd == text.size() && EndsWithoutLineEnd(text);
      const std::string body = (headerLineOpen ? lineEnd : "") + EntryBody(entry, lineEnd);
      splices.push_back({section.HeaderEnd, section.ContentEnd, body});
    }
  }
  const std::string updated = Splice(text, splices);
  // Named only by its sub-tables so far: the entry gets a table of its own.
  if (NodeAt(outline, spot.Entry).Kind == TTomlNodeKind::ImplicitTable) {
    return Edited(TEditOutcome::Updated, Append(updated, outline.BodyStart, table, lineEnd));
  }
  return Edited(TEditOutcome::Updated, updated);
}

TTextEdit RemoveTomlEntry(const std::string& text, const std::string& name) {
  const TTomlOutline outline = ScanToml(text);
  if (!outline.Valid) return Refused(NotToml(outline));
  const TEntrySpot spot = FindEntry(outline, name);
  if (!spot.Refusal.empty()) return Refused(spot.Refusal);
  if (spot.Entry < 0) return Edited(TEditOutcome::NotThere, "");
  std::vector<TSplice> splices;
  for (const TTomlSection& section : outline.Sections) {
    if (InEntry(section, name)) splices.push_back(Removal(text, outline.BodyStart, section));
  }
  return Edited(TEditOutcome::Removed, Splice(text, splices));
}
