#pragma once
// The bridge's entry in an MCP client's configuration: what the client runs.

#include <string>
#include <utility>
#include <vector>

struct TServerEntry {
  std::string Command;            // the exe's full path, UTF-8
  std::vector<std::string> Args;  // UTF-8, as the bridge should get them
  std::string Type;               // "stdio" for clients that want the member; empty: no such member
};

// The names of the bridge's entry for one MCP key: the one it is written under,
// and the one that earlier versions wrote for the same key, when that differs.
// An entry under the former name is taken over by an install and taken out by an
// uninstall.
struct TEntryNames {
  std::string Name;
  std::string Former = "";
  bool FormerDiffers() const { return !Former.empty() && Former != Name; }
};

// How an edit of a client's file came out. The text edits give Added, Updated,
// AlreadyThere (install) or Removed, NotThere (uninstall), or Refused when the
// file is left as it is.
enum class TEditOutcome { Added, Updated, AlreadyThere, Removed, NotThere, Refused };

struct TTextEdit {
  TEditOutcome Outcome = TEditOutcome::Refused;
  std::string Text;  // the whole new file text, when Added, Updated or Removed
  std::string Why;   // when Refused: one complete Polish sentence that says why
};

inline TTextEdit Edited(TEditOutcome outcome, std::string text) { return TTextEdit{outcome, std::move(text), {}}; }
inline TTextEdit Refused(std::string why) { return TTextEdit{TEditOutcome::Refused, {}, std::move(why)}; }
