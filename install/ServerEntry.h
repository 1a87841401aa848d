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
