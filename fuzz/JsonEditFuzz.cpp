// The edit of a client's JSON file against the reference parser: refused exactly
// when the file is no JSON object, the result always one, every other top-level
// member unchanged, a second install a no-op, and install then uninstall the
// file as it was. With comments allowed: no crash, and the same round trip.
// Every member of our entry but the bridge's own stays as it was.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "fuzz/ReferenceJson.h"
#include "install/JsonEdit.h"

namespace {
const TServerEntry kEntry{"C:\\CRM\\Orvin MCP.exe", {"-dir", "C:\\CRM", "\xc5\x82\""}, ""};

// A file may begin with a byte order mark.
std::string WithoutBom(const std::string& text) {
  return text.compare(0, 3, "\xef\xbb\xbf") == 0 ? text.substr(3) : text;
}

bool IsBlankText(const std::string& text) { return WithoutBom(text).find_first_not_of(" \t\r\n") == std::string::npos; }

bool Parse(const std::string& text, std::vector<TReferenceMember>& members) {
  return ParseReferenceObject(WithoutBom(text), members);
}

// Every top-level member but the parent, in order.
std::vector<TReferenceMember> Others(const std::vector<TReferenceMember>& members) {
  std::vector<TReferenceMember> others;
  for (const TReferenceMember& member : members) {
    if (member.Name != "mcpServers") others.push_back(member);
  }
  return others;
}

bool SameMembers(const std::vector<TReferenceMember>& a, const std::vector<TReferenceMember>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].Name != b[i].Name || a[i].RawValue != b[i].RawValue) return false;
  }
  return true;
}

bool IsEmptyObject(const std::string& raw) {
  return raw.size() >= 2 && raw.front() == '{' && IsBlankText(raw.substr(1, raw.size() - 2));
}

// The value of the last member of that name, or empty.
std::string ValueOf(const std::vector<TReferenceMember>& members, const std::string& name) {
  const auto found = std::find_if(members.rbegin(), members.rend(), [&](auto& member) { return member.Name == name; });
  return found == members.rend() ? std::string() : found->RawValue;
}

// The members of our entry that are the user's; false when the entry is no object.
bool UsersMembers(const std::string& text, std::vector<TReferenceMember>& users) {
  const auto own = [](auto& member) { return member.Name == "command" || member.Name == "args"; };
  const bool entry = Parse(text, users) && ParseReferenceObject(ValueOf(users, "mcpServers"), users) &&
                     ParseReferenceObject(ValueOf(users, "orvin"), users);
  users.erase(std::remove_if(users.begin(), users.end(), own), users.end());
  return entry;
}

// Put, a second Put, and Remove: the round trip holds but where an empty object comes back as {}.
void CheckRoundTrip(const std::string& text, TJsonSyntax syntax, const TTextEdit& put) {
  FUZZ_CHECK(PutJsonEntry(put.Text, syntax, "mcpServers", {"orvin"}, kEntry).Outcome == TEditOutcome::AlreadyThere);
  std::vector<TReferenceMember> members;
  const bool hadParent = JsonFileHasMember(text, syntax, "mcpServers");
  const TTextEdit removed = RemoveJsonEntry(put.Text, syntax, "mcpServers", {"orvin"}, !hadParent);
  FUZZ_CHECK(removed.Outcome == TEditOutcome::Removed);
  FUZZ_CHECK(RemoveJsonEntry(removed.Text, syntax, "mcpServers", {"orvin"}, true).Outcome == TEditOutcome::NotThere);
  if (syntax.Comments || put.Outcome != TEditOutcome::Added || IsBlankText(text) || !Parse(text, members)) return;
  const std::size_t first = text.find('{');
  if (members.empty() && text.compare(first, 2, "{}") != 0) return;
  for (const TReferenceMember& member : members) {
    if (member.Name == "mcpServers" && IsEmptyObject(member.RawValue) && member.RawValue != "{}") return;
  }
  FUZZ_CHECK(removed.Text == text);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 8192) return 0;  // the reference parser recurses
  const std::string text(reinterpret_cast<const char*>(data), size);

  const TJsonSyntax jsonc{true, true}, plain;
  const TTextEdit edit = PutJsonEntry(text, jsonc, "mcpServers", {"orvin"}, kEntry);
  (void)RemoveJsonEntry(text, jsonc, "mcpServers", {"orvin"}, false);
  if (edit.Outcome == TEditOutcome::Added || edit.Outcome == TEditOutcome::Updated) CheckRoundTrip(text, jsonc, edit);

  std::vector<TReferenceMember> before;
  const bool valid = Parse(text, before);
  const TTextEdit put = PutJsonEntry(text, plain, "mcpServers", {"orvin"}, kEntry);
  const TTextEdit removed = RemoveJsonEntry(text, plain, "mcpServers", {"orvin"}, false);
  if (!valid && !IsBlankText(text)) {
    FUZZ_CHECK(put.Outcome == TEditOutcome::Refused && removed.Outcome == TEditOutcome::Refused);
    return 0;
  }
  if (put.Outcome == TEditOutcome::Refused) {
    // A valid file is refused for the shape of its parent or entries only.
    FUZZ_CHECK(put.Why.rfind("Plik", 0) != 0 && put.Why.back() == '.' && removed.Outcome == TEditOutcome::Refused);
    return 0;
  }
  std::vector<TReferenceMember> after, users, usersAfter;
  if (put.Outcome != TEditOutcome::AlreadyThere) {
    FUZZ_CHECK(Parse(put.Text, after) && SameMembers(Others(before), Others(after)));
    if (UsersMembers(text, users)) FUZZ_CHECK(UsersMembers(put.Text, usersAfter) && SameMembers(users, usersAfter));
    CheckRoundTrip(text, plain, put);
  }
  if (removed.Outcome == TEditOutcome::Removed) {
    FUZZ_CHECK(Parse(removed.Text, after) && SameMembers(Others(before), Others(after)));
  }
  return 0;
}
