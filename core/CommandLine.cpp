#include "core/CommandLine.h"

#include <vector>

#include "common/Text.h"
#include "mcp/ToolListCache.h"
#include "platform/Platform.h"

std::string FindOption(const std::string& name) {
  const std::vector<std::string> args = Os().CommandLineArguments();
  // The last argument has no value behind it, so it is never taken as a name.
  for (std::size_t i = 1; i + 1 < args.size(); ++i) {
    if (Os().SameTextIgnoreCase(args[i], "-" + name)) return args[i + 1];
  }
  return std::string();
}

std::string GetMcpKey() {
  const std::string key = Trim(FindOption("mcp"));
  // The desktop-extension host passes an optional setting left empty as its own placeholder.
  const bool unfilled = key.size() > 3 && key.compare(0, 2, "${") == 0 && key.back() == '}';
  return unfilled ? std::string() : key;
}

std::string GetCrmFolder() {
  const std::vector<std::string> args = Os().CommandLineArguments();
  std::string folder = Trim(FindOption("dir"));
  if (folder.empty() && args.size() > 1) {
    const std::string first = Trim(args[1]);
    if (!first.empty() && first[0] != '-') folder = first;
  }
  if (folder.empty() && !args.empty()) {
    const std::size_t cut = args[0].find_last_of("\\:");
    if (cut != std::string::npos) folder = args[0].substr(0, cut + 1);
  }
  // JSON configuration files make backslashes painful, so users write slashes.
  for (char& c : folder) {
    if (c == '/') c = '\\';
  }
  while (!folder.empty() && folder.back() == '\\') folder.pop_back();
  if (!folder.empty()) folder += '\\';
  return folder;
}

std::string GetToolListCacheFile() { return ToolListCachePath(GetCrmFolder(), GetMcpKey()); }
