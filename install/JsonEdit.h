#pragma once
// The bridge's entry in an MCP client's JSON file, edited as text: only the
// bridge's own members of the entry change, with the one comma each needs;
// every other byte of the file stays.

#include <string>

#include "common/JsonText.h"
#include "install/ServerEntry.h"

// Adds the entry `names.Name` ("orvin" or "orvin-KEY") to the top-level object
// member `parent` ("mcpServers", or "servers" for VS Code), or brings an entry
// there up to date: only its members command, args and, when `entry` has a
// Type, type belong to the bridge; any other member is the user's and stays. An
// entry under `names.Former` is renamed when none has the name. A missing
// member `parent` is added last. `syntax`: what the client reads beyond plain
// JSON. Empty or blank text stands for a missing file: the answer is a new file
// holding only the entry. A file that is no valid JSON of that syntax, or whose
// `parent` is no object, or that holds `parent` or the entry twice, is refused.
TTextEdit PutJsonEntry(const std::string& text, TJsonSyntax syntax, const std::string& parent,
                       const TEntryNames& names, const TServerEntry& entry);

// Takes the entries under both names out of `parent`, with the same rules, and
// `parent` too when that leaves it empty and `dropEmptyParent`. The inverse of
// PutJsonEntry: an entry put into a file and then removed, with
// `dropEmptyParent` when the file had no `parent`, gives the file back byte for
// byte, but that an empty object comes back as {}.
TTextEdit RemoveJsonEntry(const std::string& text, TJsonSyntax syntax, const std::string& parent,
                          const TEntryNames& names, bool dropEmptyParent);

// Whether the file's top-level object has the member `parent`: a blank file has
// none, and a file that is no valid JSON of that syntax counts as having it.
bool JsonFileHasMember(const std::string& text, TJsonSyntax syntax, const std::string& parent);
