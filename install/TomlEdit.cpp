#include "install/TomlEdit.h"

#include <algorithm>
#include <vector>

#include "common/Encodings.h"
#include "common/FileLayout.h"
#include "common/Text.h"
#include "install/TomlText.h"

namespace {
const char kServers[] = "mcp_servers";
const char* const kOwnKeys[] = {"command", "args"};  // the entry's keys that belong to the bridge

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
  std::string Name;  // the name it was found under
  std::string Refusal;
};

std::string AtLine(int line) { return " (wiersz " + ToDecimal(line) + ")."; }

const TTomlNode& NodeAt(const TTomlOutline& outline, int id) { return outline.Nodes[static_cast<std::size_t>(id)]; }

bool EndsWithoutLineEnd(const std::string& text) { return !text.empty() && text.back() != '\n'; }

// Only whitespace and line ends from `from` on.
bool OnlyBlankLinesFrom(const std::string& text, std::size_t from) {
  return text.find_first_not_of(" \t\r\n", from) == std::string::npos;
}

// The splices, in any order but none overlapping, made; a file whose last line
// had no line end keeps it so.
std::string Splice(const std::string& text, std::vector<TSplice> splices) {
  std::stable_sort(splices.begin(), splices.end(),
                   [](const TSplice& a, const TSplice& b) { return a.Begin < b.Begin; });
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

std::string OwnValue(const std::string& key, const TServerEntry& entry) {
  return key == "command" ? TomlString(entry.Command) : TomlStringArray(entry.Args);
}

std::string EntryTable(const std::string& name, const TServerEntry& entry, const std::string& lineEnd) {
  std::string table = "[" + std::string(kServers) + "." + TomlKey(name) + "]" + lineEnd;
  for (const char* key : kOwnKeys) table += std::string(key) + " = " + OwnValue(key, entry) + lineEnd;
  return table;
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

// Tables under [headers], and an inline table on a line of its own: the other
// shapes cannot take a key in place.
bool HasEditableShape(const TTomlNode& node) {
  return node.Kind == TTomlNodeKind::HeaderTable || node.Kind == TTomlNodeKind::ImplicitTable ||
         (node.Kind == TTomlNodeKind::InlineTable && node.LineEnd > 0);
}

std::string ShapeRefusal(const std::string& name, int line) {
  return "Wpis \"" + name + "\" w tabeli mcp_servers jest zapisany w postaci, której nie zmieniam" + AtLine(line);
}

TEntrySpot FindEntry(const TTomlOutline& outline, const std::string& name) {
  TEntrySpot spot;
  spot.Name = name;
  spot.Servers = FindTomlNode(outline, 0, kServers);
  if (spot.Servers < 0) return spot;
  const TTomlNode& servers = NodeAt(outline, spot.Servers);
  if (servers.Kind == TTomlNodeKind::Value || servers.Kind == TTomlNodeKind::ArrayOfTables) {
    spot.Refusal = "Ustawienie mcp_servers nie jest tabelą serwerów MCP" + AtLine(servers.Line);
    return spot;
  }
  spot.Entry = FindTomlNode(outline, spot.Servers, name);
  if (spot.Entry >= 0 && !HasEditableShape(NodeAt(outline, spot.Entry))) {
    spot.Refusal = ShapeRefusal(name, NodeAt(outline, spot.Entry).Line);
  }
  return spot;
}

// The entry under its name, else one under the former name in tables under
// [headers], whose headers can take the new name.
TEntrySpot FindEntry(const TTomlOutline& outline, const TEntryNames& names) {
  const TEntrySpot spot = FindEntry(outline, names.Name);
  if (spot.Entry >= 0 || !spot.Refusal.empty() || !names.FormerDiffers()) return spot;
  const TEntrySpot former = FindEntry(outline, names.Former);
  return former.Entry >= 0 && NodeAt(outline, former.Entry).Kind != TTomlNodeKind::InlineTable ? former : spot;
}

// The keys of a [header] joined again, the entry's name in place of the former one.
std::string RenamedKeys(std::vector<std::string> path, const std::string& name) {
  path[1] = name;
  std::string keys;
  for (const std::string& key : path) keys += (keys.empty() ? "" : ".") + TomlKey(key);
  return keys;
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

// command and args of the entry brought up to date in place: a value that says
// something else is replaced, a missing key added behind the others. Every other
// key and sub-table is the user's and stays. False when a key of ours is a table
// of its own.
bool UpdateEntry(const std::string& text, const TTomlOutline& outline, const TEntrySpot& spot,
                 const TServerEntry& entry, const std::string& lineEnd, std::vector<TSplice>& splices) {
  const TTomlNode& table = NodeAt(outline, spot.Entry);
  std::vector<std::string> missing;
  for (const char* key : kOwnKeys) {
    const int found = FindTomlNode(outline, spot.Entry, key);
    if (found < 0) {
      missing.push_back(std::string(key) + " = " + OwnValue(key, entry));
      continue;
    }
    const TTomlNode& node = NodeAt(outline, found);
    if (node.ValueEnd == 0) return false;
    if (node.Value != OwnValue(key, entry)) splices.push_back({node.ValueBegin, node.ValueEnd, OwnValue(key, entry)});
  }
  if (missing.empty()) return true;
  std::string keys;
  if (table.Kind == TTomlNodeKind::InlineTable) {
    for (const std::string& key : missing) keys += (keys.empty() ? "" : ", ") + key;
    if (table.Children == 0) {
      splices.push_back({table.ValueBegin, table.ValueEnd, "{ " + keys + " }"});
    } else {
      std::size_t close = table.ValueEnd - 1;
      while (text[close - 1] == ' ' || text[close - 1] == '\t') --close;
      splices.push_back({close, close, ", " + keys});
    }
    return true;
  }
  for (const std::string& key : missing) keys += key + lineEnd;
  for (const TTomlSection& section : outline.Sections) {
    if (section.Table != spot.Entry) continue;
    const bool lineOpen = section.ContentEnd == text.size() && EndsWithoutLineEnd(text);
    splices.push_back({section.ContentEnd, section.ContentEnd, (lineOpen ? lineEnd : "") + keys});
  }
  return true;
}
}  // namespace

TTextEdit PutTomlEntry(const std::string& text, const TEntryNames& names, const TServerEntry& entry) {
  if (!IsUtf8Entry(entry)) return Refused("Ścieżka programu albo jego argumenty nie są poprawnym tekstem UTF-8.");
  const TTomlOutline outline = ScanToml(text);
  if (!outline.Valid) return Refused(NotToml(outline));
  const TEntrySpot spot = FindEntry(outline, names);
  if (!spot.Refusal.empty()) return Refused(spot.Refusal);
  // A file with nothing in it gets Windows line ends.
  const std::string lineEnd = OnlyBlankLinesFrom(text, outline.BodyStart) ? "\r\n" : LineEndOf(text);
  const std::string table = EntryTable(names.Name, entry, lineEnd);
  if (spot.Entry < 0) {
    if (spot.Servers >= 0 && NodeAt(outline, spot.Servers).Kind == TTomlNodeKind::InlineTable) {
      return Refused("Tabela mcp_servers jest zapisana w jednym wierszu w nawiasach klamrowych, "
                     "więc nie dopisuję do niej wpisu" + AtLine(NodeAt(outline, spot.Servers).Line));
    }
    return Edited(TEditOutcome::Added, Append(text, outline.BodyStart, table, lineEnd));
  }
  std::vector<TSplice> splices;
  if (spot.Name != names.Name) {
    for (const TTomlSection& section : outline.Sections) {
      if (!InEntry(section, spot.Name)) continue;
      splices.push_back({section.KeysBegin, section.KeysEnd, RenamedKeys(section.Path, names.Name)});
    }
  }
  // Named only by its sub-tables so far: the entry gets a table of its own.
  if (NodeAt(outline, spot.Entry).Kind == TTomlNodeKind::ImplicitTable) {
    return Edited(TEditOutcome::Updated, Append(Splice(text, splices), outline.BodyStart, table, lineEnd));
  }
  if (!UpdateEntry(text, outline, spot, entry, lineEnd, splices)) {
    return Refused(ShapeRefusal(spot.Name, NodeAt(outline, spot.Entry).Line));
  }
  if (splices.empty()) return Edited(TEditOutcome::AlreadyThere, "");
  return Edited(TEditOutcome::Updated, Splice(text, splices));
}

TTextEdit RemoveTomlEntry(const std::string& text, const TEntryNames& names) {
  const TTomlOutline outline = ScanToml(text);
  if (!outline.Valid) return Refused(NotToml(outline));
  std::vector<TSplice> splices;
  std::vector<std::string> all = {names.Name};
  if (names.FormerDiffers()) all.push_back(names.Former);
  for (const std::string& name : all) {
    const TEntrySpot spot = FindEntry(outline, name);
    if (!spot.Refusal.empty()) return Refused(spot.Refusal);
    if (spot.Entry < 0) continue;
    const TTomlNode& node = NodeAt(outline, spot.Entry);
    if (node.Kind == TTomlNodeKind::InlineTable) splices.push_back({node.LineBegin, node.LineEnd, ""});
    for (const TTomlSection& section : outline.Sections) {
      if (InEntry(section, name)) splices.push_back(Removal(text, outline.BodyStart, section));
    }
  }
  if (splices.empty()) return Edited(TEditOutcome::NotThere, "");
  return Edited(TEditOutcome::Removed, Splice(text, splices));
}
