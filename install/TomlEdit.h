#pragma once
// The bridge's entry in Codex's config.toml, edited in the text itself: every
// byte outside the entry's own keys stays as it was.

#include <string>

#include "install/ServerEntry.h"

// The table [mcp_servers.<name>] of Codex's config.toml, name "orvin" or
// "orvin-KEY": added, or its keys command and args brought up to date in place.
// Any other key and sub-table of the entry is the user's and stays. An entry may
// be a table under its [header] (perhaps with sub-tables), one named only by its
// sub-tables, or an inline table on a line of its own; one under the former name
// in tables under [headers] is renamed when none has the name.
TTextEdit PutTomlEntry(const std::string& text, const TEntryNames& names, const TServerEntry& entry);
// Takes the entries under both names out, with their sub-tables.
TTextEdit RemoveTomlEntry(const std::string& text, const TEntryNames& names);
