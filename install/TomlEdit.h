#pragma once
// The bridge's entry in Codex's config.toml, edited in the text itself: every
// byte outside the entry's own tables stays as it was.

#include <string>

#include "install/ServerEntry.h"

// The table [mcp_servers.<name>] of Codex's config.toml. name: "orvin" or "orvin-KEY".
TTextEdit PutTomlEntry(const std::string& text, const std::string& name, const TServerEntry& entry);
TTextEdit RemoveTomlEntry(const std::string& text, const std::string& name);
