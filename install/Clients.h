#pragma once
// The MCP clients of the current Windows user, the files where each keeps its
// servers, and the bridge's entry put into them (-install) or taken out (-uninstall).

#include <string>
#include <vector>

#include "install/ServerEntry.h"

// How a client reads its file: what it takes beyond plain JSON, and whether it
// reads past a byte order mark in front.
enum class TClientFormat {
  Json,                  // plain JSON; a byte order mark makes the file unreadable
  JsonBomAllowed,        // plain JSON after a byte order mark
  JsonWithComments,      // comments and trailing commas, a byte order mark allowed (VS Code's JSONC)
  JsonWithCommentsOnly,  // comments but no trailing commas, no byte order mark
  Toml                   // a byte order mark allowed
};

struct TClient {
  std::string Name;    // as its users know it
  std::string File;    // the full path, UTF-8
  std::string Parent;  // the member that holds the servers; TOML: the table mcp_servers
  TClientFormat Format = TClientFormat::Json;
  bool StdioType = false;  // the entry names its transport: "type": "stdio"
  std::string Note;        // a Polish sentence for its report line, or empty
  bool DesktopChat = false;  // the desktop chat client, which writes its whole file back while it runs
};

// The clients found, in the table's order: those whose folder exists, and
// Claude Code, whose file lies in the home folder itself, when its file exists.
// Codex and Claude Code keep their files where CODEX_HOME and CLAUDE_CONFIG_DIR
// say, in the process's environment or else in the user's.
std::vector<TClient> FindClients();

struct TInstallation {
  bool Uninstall = false;
  std::string Exe;     // the running exe's full path
  std::string Folder;  // the value of -dir in the entry: no final backslash
  std::string Key;     // the MCP key, or empty
};

// The entry for the running exe, Orvin CRM's folder as the command line gave it
// (made absolute) and the MCP key.
TInstallation InstallationFor(bool uninstall, const std::string& crmFolder, const std::string& key);

// The entry's names for an MCP key: "orvin", or "orvin-" and the key in letters
// every client takes in a server's name (Polish letters as their base letters,
// any other character but A-Z, a-z, 0-9, _, . and - as -); formerly "orvin-"
// and the key as it is.
TEntryNames EntryNames(const std::string& key);

// Exit codes of -install and -uninstall.
constexpr int kInstallDone = 0;       // every client found was handled
constexpr int kInstallNoClient = 1;   // no client found
constexpr int kInstallLeftAlone = 4;  // a file was left as it was, or the exe runs from inside a zip

struct TInstallResult {
  int ExitCode = kInstallDone;
  std::string Report;  // Polish lines, each ending in CR LF: one per client, then what to do
};

// Puts the entry into every client found, or takes it out; a client's file that
// cannot be read, understood or written is left as it was and reported.
TInstallResult RunInstallation(const TInstallation& installation);
