#include "install/JsonEdit.h"

#include <algorithm>
#include <vector>

#include "common/FileLayout.h"
#include "common/JsonText.h"
#include "common/Text.h"

namespace {
constexpr std::size_t kNone = std::string::npos;

// ---- Reading: one pass that checks the whole file, then the members of the
// two objects that matter, both without recursion, for files of any depth.

bool OnlyJsonWhitespace(const std::string& s, std::size_t from, std::size_t to) {
  for (std::size_t p = from; p < to; ++p) {
    if (!IsJsonWhitespace(s[p])) return false;
  }
  return true;
}

// In a checked file comments only stand where they were allowed.
std::size_t Gap(const std::string& s, std::size_t p) { return SkipJsonWhitespace(s, p, true); }

struct TMember {
  std::string Name;  // decoded
  std::size_t NameAt = 0;
  std::size_t NameEnd = 0;
  std::size_t ValueAt = 0;
  std::size_t ValueEnd = 0;
  std::size_t CommaAt = kNone;  // the comma right behind the value
};

struct TObject {
  std::size_t Open = 0;
  std::size_t Close = 0;
  std::vector<TMember> Members;
};

// Past the value at p of a checked file.
std::size_t SkipValue(const std::string& s, std::size_t p) {
  if (s[p] != '{' && s[p] != '[') return JsonScalarEnd(s, p);
  std::size_t depth = 0;
  for (;;) {
    const char c = s[p];
    if (c == '"') {
      p = JsonScalarEnd(s, p);
    } else if (c == '/') {
      p = Gap(s, p);
    } else {
      ++p;
      if (c == '{' || c == '[') ++depth;
      if ((c == '}' || c == ']') && --depth == 0) return p;
    }
  }
}

// The members of the object at `open` of a checked file.
TObject ReadObject(const std::string& s, std::size_t open) {
  TObject object;
  object.Open = open;
  std::size_t p = Gap(s, open + 1);
  while (s[p] != '}') {
    TMember member;
    member.NameAt = p;
    member.NameEnd = JsonScalarEnd(s, p);
    member.Name = JsonStringValue(s.substr(p, member.NameEnd - p));
    member.ValueAt = Gap(s, Gap(s, member.NameEnd) + 1);
    member.ValueEnd = SkipValue(s, member.ValueAt);
    p = Gap(s, member.ValueEnd);
    if (s[p] == ',') {
      member.CommaAt = p;
      p = Gap(s, p + 1);
    }
    object.Members.push_back(member);
  }
  object.Close = p;
  return object;
}

bool IsStringAt(const std::string& s, const TMember& member, const std::string& value) {
  const std::size_t at = member.ValueAt;
  return s[at] == '"' && JsonStringValue(s.substr(at, member.ValueEnd - at)) == value;
}

bool ArgsAre(const std::string& s, std::size_t p, const std::vector<std::string>& args) {
  if (s[p] != '[') return false;
  std::size_t count = 0;
  for (p = Gap(s, p + 1); s[p] != ']';) {
    if (s[p] != '"' || count == args.size()) return false;
    const std::size_t end = JsonScalarEnd(s, p);
    if (JsonStringValue(s.substr(p, end - p)) != args[count++]) return false;
    p = Gap(s, end);
    if (s[p] == ',') p = Gap(s, p + 1);
  }
  return count == args.size();
}

// The members of an entry that belong to the bridge; all others are the user's.
std::vector<std::string> OwnMembers(const TServerEntry& entry) {
  if (entry.Type.empty()) return {"command", "args"};
  return {"type", "command", "args"};
}

// Whether the value of one of the bridge's members says what `entry` says.
bool SaysSame(const std::string& s, const TMember& member, const TServerEntry& entry) {
  if (member.Name == "args") return ArgsAre(s, member.ValueAt, entry.Args);
  return IsStringAt(s, member, member.Name == "type" ? entry.Type : entry.Command);
}

// ---- Layout: where lines start and how the file indents.

std::size_t LineStart(const std::string& s, std::size_t p) {
  const std::size_t lineEnd = p == 0 ? kNone : s.rfind('\n', p - 1);
  return lineEnd == kNone ? 0 : lineEnd + 1;
}

bool IsSpaceOrTab(char c) { return c == ' ' || c == '\t'; }

// Only spaces and tabs before p on its line.
bool StartsLine(const std::string& s, std::size_t p) {
  while (p > 0 && IsSpaceOrTab(s[p - 1])) --p;
  return p == 0 || s[p - 1] == '\n';
}

std::string IndentOf(const std::string& s, std::size_t p) {
  std::size_t end = LineStart(s, p);
  const std::size_t start = end;
  while (end < s.size() && IsSpaceOrTab(s[end])) ++end;
  return s.substr(start, end - start);
}

// Past the line end behind p when only spaces or tabs come before it, else kNone.
std::size_t LineEndAfter(const std::string& s, std::size_t p) {
  while (p < s.size() && IsSpaceOrTab(s[p])) ++p;
  if (s.compare(p, 2, "\r\n") == 0) return p + 2;
  return p < s.size() && s[p] == '\n' ? p + 1 : kNone;
}

int LineOf(const std::string& s, std::size_t p) {
  int line = 1;
  for (std::size_t i = 0; i < p && i < s.size(); ++i) line += s[i] == '\n';
  return line;
}

// The step of indentation: how far the first member on a line of its own lies
// in from the line its object opens on. Two spaces when the file does not say.
std::string IndentUnit(const std::string& s, const std::vector<const TObject*>& objects) {
  for (const TObject* object : objects) {
    for (const TMember& member : object->Members) {
      if (!StartsLine(s, member.NameAt)) continue;
      const std::string inner = IndentOf(s, member.NameAt);
      const std::string outer = IndentOf(s, object->Open);
      if (inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0) return inner.substr(outer.size());
      break;
    }
  }
  return "  ";
}

struct TStyle {
  bool Lines = true;   // one member a line; else all on one line
  bool Spaced = true;  // a blank after each colon and comma
  std::string Eol;
  std::string Unit;
};

// ---- Writing the entry.

std::string Quoted(const std::string& text) { return "\"" + JsonEscape(text) + "\""; }

std::string MemberText(const std::string& name, const std::string& value, const TStyle& style) {
  return Quoted(name) + (style.Spaced ? ": " : ":") + value;
}

// An object whose closing bracket stands at `indent`, members one step further in.
std::string ObjectText(const std::vector<std::string>& members, const std::string& indent, const TStyle& style) {
  std::string text = "{";
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (style.Lines) text += style.Eol + indent + style.Unit;
    text += members[i];
    if (i + 1 < members.size()) text += ",";
  }
  return text + (style.Lines ? style.Eol + indent : std::string()) + "}";
}

// The value of one of the bridge's members.
std::string OwnValue(const std::string& name, const TServerEntry& entry, const TStyle& style) {
  if (name != "args") return Quoted(name == "type" ? entry.Type : entry.Command);
  std::string args = "[";
  for (std::size_t i = 0; i < entry.Args.size(); ++i) {
    args += (i ? (style.Spaced ? ", " : ",") : "") + Quoted(entry.Args[i]);
  }
  return args + "]";
}

std::string EntryValue(const TServerEntry& entry, const std::string& indent, const TStyle& style) {
  std::vector<std::string> members;
  for (const std::string& name : OwnMembers(entry)) {
    members.push_back(MemberText(name, OwnValue(name, entry, style), style));
  }
  return ObjectText(members, indent, style);
}

// ---- Inserting and taking out a member: each the other's inverse.

// An object with nothing but blanks inside.
bool IsBare(const std::string& s, const TObject& object) {
  return object.Members.empty() && OnlyJsonWhitespace(s, object.Open + 1, object.Close);
}

struct TPlace {
  bool Lines = true;
  std::string Indent;  // of the new member's first line
};

// Where a new member goes: on lines of its own when the object closes on a line
// of its own, at the indentation of the member before it.
TPlace PlaceIn(const std::string& s, const TObject& object, bool bareInLines, const std::string& unit) {
  TPlace place;
  place.Lines = IsBare(s, object) ? bareInLines : StartsLine(s, object.Close);
  if (!place.Lines) return place;
  if (!object.Members.empty() && StartsLine(s, object.Members.back().NameAt)) {
    place.Indent = IndentOf(s, object.Members.back().NameAt);
  } else {
    place.Indent = IndentOf(s, IsBare(s, object) ? object.Open : object.Close) + unit;
  }
  return place;
}

std::string Insert(const std::string& s, const TObject& object, const TPlace& place, const std::string& member,
                   const std::string& eol) {
  if (IsBare(s, object)) {
    const std::string inside = place.Lines ? eol + place.Indent + member + eol + IndentOf(s, object.Open) : member;
    return s.substr(0, object.Open + 1) + inside + s.substr(object.Close);
  }
  const std::size_t at = place.Lines ? LineStart(s, object.Close) : object.Close;
  const std::string before = place.Lines ? place.Indent : std::string();
  const std::string after = place.Lines ? eol : std::string();
  // After a trailing comma (or none but comments inside) the new member is the
  // last, with a comma of its own when the others have one.
  if (object.Members.empty() || object.Members.back().CommaAt != kNone) {
    const std::string comma = object.Members.empty() ? "" : ",";
    return s.substr(0, at) + before + member + comma + after + s.substr(at);
  }
  // Else the one comma right behind the last value, before any comment there.
  const std::size_t valueEnd = object.Members.back().ValueEnd;
  if (!place.Lines) return s.substr(0, valueEnd) + "," + member + s.substr(valueEnd);
  return s.substr(0, valueEnd) + "," + s.substr(valueEnd, at - valueEnd) + before + member + after + s.substr(at);
}

// The member and nothing but blanks besides it.
bool IsOnlyMember(const std::string& s, const TObject& object) {
  if (object.Members.size() != 1) return false;
  const TMember& member = object.Members.front();
  const std::size_t end = member.CommaAt == kNone ? member.ValueEnd : member.CommaAt + 1;
  return OnlyJsonWhitespace(s, object.Open + 1, member.NameAt) && OnlyJsonWhitespace(s, end, object.Close);
}

// The member's lines when it has lines of its own, else just its text, with its
// own comma, or without one the comma before it.
std::string TakeOut(const std::string& s, const TObject& object, std::size_t index) {
  if (IsOnlyMember(s, object)) return s.substr(0, object.Open + 1) + s.substr(object.Close);
  const TMember& member = object.Members[index];
  std::size_t from = member.NameAt;
  std::size_t end = member.CommaAt == kNone ? member.ValueEnd : member.CommaAt + 1;
  std::size_t commaBefore = member.CommaAt == kNone && index > 0 ? object.Members[index - 1].CommaAt : kNone;
  const std::size_t lineEnd = LineEndAfter(s, end);
  if (StartsLine(s, from) && lineEnd != kNone) {
    from = LineStart(s, from);
    end = lineEnd;
  } else if (member.CommaAt != kNone) {
    while (end < s.size() && IsSpaceOrTab(s[end])) ++end;
  } else if (commaBefore != kNone && OnlyJsonWhitespace(s, commaBefore + 1, from)) {
    from = commaBefore;
    commaBefore = kNone;
  }
  std::string text = s.substr(0, from) + s.substr(end);
  if (commaBefore != kNone) text.erase(commaBefore, 1);
  return text;
}

// ---- The file as a whole.

// A missing file, or one with nothing in it but a byte order mark and blanks.
bool HoldsNothing(const std::string& s) { return OnlyJsonWhitespace(s, Utf8BomLength(s), s.size()); }

struct TFile {
  std::string Why;  // when it may not be edited
  TObject Top;
  std::size_t ParentIndex = kNone;
  TObject Parent;
  std::size_t EntryIndex = kNone;
};

std::string InLine(const std::string& s, std::size_t p) { return " (wiersz " + ToDecimal(LineOf(s, p)) + ")."; }

std::string InLines(const std::string& s, std::size_t first, std::size_t second) {
  return " (wiersze " + ToDecimal(LineOf(s, first)) + " i " + ToDecimal(LineOf(s, second)) + ").";
}

std::string Describe(const std::string& s, const TJsonCheck& check) {
  switch (check.Fault) {
    case TJsonFault::Comment: return "Plik zawiera komentarze, których ten format nie dopuszcza" + InLine(s, check.At);
    case TJsonFault::TrailingComma:
      return "Plik zawiera przecinek przed nawiasem zamykającym, którego ten format nie dopuszcza" +
             InLine(s, check.At);
    case TJsonFault::NotObject: return "Plik nie zawiera obiektu JSON, lecz inną wartość" + InLine(s, check.At);
    default: return "Plik nie jest poprawnym JSON-em" + InLine(s, check.At);
  }
}

// The one member of that name, or kNone; `second` tells of a second one.
std::size_t FindMember(const TObject& object, const std::string& name, std::size_t& second) {
  std::size_t found = kNone;
  second = kNone;
  for (std::size_t i = 0; i < object.Members.size() && second == kNone; ++i) {
    if (object.Members[i].Name != name) continue;
    (found == kNone ? found : second) = i;
  }
  return found;
}

// The file checked, its parent found, and in it the entry `name`; an empty name
// looks for none.
TFile ReadFile(const std::string& s, TJsonSyntax syntax, const std::string& parent, const std::string& name) {
  TFile file;
  if (StartsWithUtf16Bom(s)) {
    file.Why = "Plik jest zapisany w UTF-16, a nie w UTF-8.";
    return file;
  }
  const std::size_t start = Utf8BomLength(s);
  const TJsonCheck check = CheckJsonObject(s, start, syntax);
  if (check.Fault != TJsonFault::None) {
    file.Why = Describe(s, check);
    return file;
  }
  file.Top = ReadObject(s, Gap(s, start));
  std::size_t second = kNone;
  file.ParentIndex = FindMember(file.Top, parent, second);
  if (file.ParentIndex == kNone) return file;
  const std::string quotedParent = "Element \"" + parent + "\"";
  const TMember& member = file.Top.Members[file.ParentIndex];
  if (second != kNone) {
    file.Why = quotedParent + " występuje w pliku więcej niż raz" +
               InLines(s, member.NameAt, file.Top.Members[second].NameAt);
  } else if (s[member.ValueAt] != '{') {
    file.Why = quotedParent + " nie jest obiektem" + InLine(s, member.ValueAt);
  } else if (!name.empty()) {
    file.Parent = ReadObject(s, member.ValueAt);
    file.EntryIndex = FindMember(file.Parent, name, second);
    if (second != kNone) {
      file.Why = "Wpis \"" + name + "\" występuje w elemencie \"" + parent + "\" więcej niż raz" +
                 InLines(s, file.Parent.Members[file.EntryIndex].NameAt, file.Parent.Members[second].NameAt);
    }
  }
  return file;
}

// The entry's former name, when it is another one and no entry has the name itself.
bool UnderFormerName(const TFile& file, const TEntryNames& names) {
  return file.EntryIndex == kNone && names.FormerDiffers();
}

// Bytes [Begin, End) of the text give way to Insert.
struct TSplice {
  std::size_t Begin;
  std::size_t End;
  std::string Insert;
};

// The bridge's members of an entry that is an object, brought up to date in
// place: a value that says something else is replaced, a missing member goes at
// the end. Every other member is the user's and stays. Unchanged text when all
// of them are right already.
std::string UpdateEntry(const std::string& s, const TMember& found, const TServerEntry& entry, TStyle style) {
  const TObject value = ReadObject(s, found.ValueAt);
  const TPlace place = PlaceIn(s, value, StartsLine(s, found.NameAt), style.Unit);
  style.Lines = place.Lines;
  style.Spaced = value.Members.empty() ? place.Lines : s[value.Members.front().ValueAt - 1] != ':';
  std::vector<TSplice> replaced;
  std::string missing;
  for (const std::string& name : OwnMembers(entry)) {
    bool present = false;
    for (const TMember& member : value.Members) {
      if (member.Name != name) continue;
      present = true;
      if (SaysSame(s, member, entry)) continue;
      replaced.push_back({member.ValueAt, member.ValueEnd, OwnValue(name, entry, style)});
    }
    if (present) continue;
    const std::string between = place.Lines ? style.Eol + place.Indent : std::string(style.Spaced ? " " : "");
    if (!missing.empty()) missing += "," + between;
    missing += MemberText(name, OwnValue(name, entry, style), style);
  }
  // Added behind every member first, then replaced from the last one back: no
  // change moves the place of the next.
  std::sort(replaced.begin(), replaced.end(), [](const TSplice& a, const TSplice& b) { return a.Begin < b.Begin; });
  const bool spaceBefore = !place.Lines && style.Spaced && !value.Members.empty();
  std::string updated = missing.empty() ? s : Insert(s, value, place, (spaceBefore ? " " : "") + missing, style.Eol);
  for (auto splice = replaced.rbegin(); splice != replaced.rend(); ++splice) {
    updated.replace(splice->Begin, splice->End - splice->Begin, splice->Insert);
  }
  return updated;
}

// The member `name`, with the entry and the parent that hold it, taken out. The
// parent goes too when it is left empty and `dropEmptyParent`.
TTextEdit RemoveOne(const std::string& text, TJsonSyntax syntax, const std::string& parent, const std::string& name,
                    bool dropEmptyParent) {
  const TFile file = ReadFile(text, syntax, parent, name);
  if (!file.Why.empty()) return Refused(file.Why);
  if (file.EntryIndex == kNone) return Edited(TEditOutcome::NotThere, text);
  if (dropEmptyParent && IsOnlyMember(text, file.Parent)) {
    return Edited(TEditOutcome::Removed, TakeOut(text, file.Top, file.ParentIndex));
  }
  return Edited(TEditOutcome::Removed, TakeOut(text, file.Parent, file.EntryIndex));
}
}  // namespace

TTextEdit PutJsonEntry(const std::string& text, TJsonSyntax syntax, const std::string& parent,
                       const TEntryNames& names, const TServerEntry& entry) {
  if (HoldsNothing(text)) {
    const TTextEdit made = PutJsonEntry("{}", syntax, parent, names, entry);
    return Edited(TEditOutcome::Added, text.substr(0, Utf8BomLength(text)) + made.Text + "\r\n");
  }
  TFile file = ReadFile(text, syntax, parent, names.Name);
  const bool former = UnderFormerName(file, names);
  if (former && file.Why.empty() && file.ParentIndex != kNone) file = ReadFile(text, syntax, parent, names.Former);
  if (!file.Why.empty()) return Refused(file.Why);
  TStyle style;
  style.Eol = LineEndOf(text);
  const bool hasParent = file.ParentIndex != kNone;
  style.Unit = IndentUnit(text, hasParent ? std::vector<const TObject*>{&file.Parent, &file.Top}
                                          : std::vector<const TObject*>{&file.Top});

  if (file.EntryIndex != kNone) {
    const TMember& found = file.Parent.Members[file.EntryIndex];
    std::string updated;
    if (text[found.ValueAt] == '{') {
      updated = UpdateEntry(text, found, entry, style);
    } else {
      style.Lines = style.Spaced = StartsLine(text, found.NameAt);
      const std::string indent = style.Lines ? IndentOf(text, found.NameAt) : std::string();
      updated = text.substr(0, found.ValueAt) + EntryValue(entry, indent, style) + text.substr(found.ValueEnd);
    }
    if (former) updated.replace(found.NameAt, found.NameEnd - found.NameAt, Quoted(names.Name));
    return updated == text ? Edited(TEditOutcome::AlreadyThere, std::string())
                           : Edited(TEditOutcome::Updated, updated);
  }

  // An empty object of a file on one line stays on one line; a bare file gets lines.
  const bool bareInLines = !hasParent || text.find('\n', file.Top.Open) < file.Top.Close;
  const TObject& object = hasParent ? file.Parent : file.Top;
  const TPlace place = PlaceIn(text, object, bareInLines, style.Unit);
  style.Lines = style.Spaced = place.Lines;
  std::string member;
  if (hasParent) {
    member = MemberText(names.Name, EntryValue(entry, place.Indent, style), style);
  } else {
    const std::string entryMember = MemberText(names.Name, EntryValue(entry, place.Indent + style.Unit, style), style);
    member = MemberText(parent, ObjectText({entryMember}, place.Indent, style), style);
  }
  return Edited(TEditOutcome::Added, Insert(text, object, place, member, style.Eol));
}

TTextEdit RemoveJsonEntry(const std::string& text, TJsonSyntax syntax, const std::string& parent,
                          const TEntryNames& names, bool dropEmptyParent) {
  if (HoldsNothing(text)) return Edited(TEditOutcome::NotThere, std::string());
  TTextEdit edit = RemoveOne(text, syntax, parent, names.Name, dropEmptyParent);
  if (edit.Outcome != TEditOutcome::Refused && names.FormerDiffers()) {
    const TTextEdit former = RemoveOne(edit.Text, syntax, parent, names.Former, dropEmptyParent);
    if (former.Outcome != TEditOutcome::NotThere) edit = former;
  }
  if (edit.Outcome == TEditOutcome::NotThere) edit.Text.clear();
  return edit;
}

bool JsonFileHasMember(const std::string& text, TJsonSyntax syntax, const std::string& parent) {
  if (HoldsNothing(text)) return false;
  const TFile file = ReadFile(text, syntax, parent, std::string());
  return !file.Why.empty() || file.ParentIndex != kNone;
}
