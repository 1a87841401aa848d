#pragma once
// The bridge's entry in an MCP client's JSON file, edited as text: only the entry
// and the one comma it needs change; every other byte of the file stays.

#include <string>

#include "install/ServerEntry.h"

// Adds the entry `name` ("orvin" or "orvin-KEY") to the top-level object member
// `parent` ("mcpServers", or "servers" for VS Code), or brings an entry of that
// name up to date. `commentsAllowed`: JSON with comments and trailing commas, as
// VS Code's mcp.json. Empty or blank text stands for a missing file: the answer
// is a new file holding only the entry. A file that is no valid JSON of that kind,
// or whose `parent` is no object, or that holds `parent` or the entry twice, is
// refused.
TTextEdit PutJsonEntry(const std::string& text, bool commentsAllowed, const std::string& parent,
                       const std::string& name, const TServerEntry& entry);

// Takes the entry `name` out of `parent`, with the same rules. The inverse of
// PutJsonEntry: an entry put into a file and then removed gives the file back
// byte for byte, but that an empty object comes back as {}, and that a parent
// left empty goes too when it is the file's last member (where PutJsonEntry
// adds a missing one).
TTextEdit RemoveJsonEntry(const std::string& text, bool commentsAllowed, const std::string& parent,
                          const std::string& name);
