#pragma once
// The command line: -dir folder, -mcp key, or a bare folder as argument 1.
// Nothing is cached: every call reads the arguments afresh.

#include <string>

std::string FindOption(const std::string& name);
std::string GetMcpKey();
// Empty, or ending in exactly one backslash.
std::string GetCrmFolder();
// The tool-list cache file of the configured folder and key.
std::string GetToolListCacheFile();
