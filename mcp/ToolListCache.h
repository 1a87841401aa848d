#pragma once
// The last complete tool list of the CRM application, kept in one file per CRM
// folder and MCP key in the user's temporary folder, so that clients see the
// real tools even while the CRM application is not running.

#include <string>

// `folder` and `key` as the command line gives them.
std::string ToolListCachePath(const std::string& folder, const std::string& key);
// Stores the result of a good tools/list reply, or leaves the file alone.
void SaveToolList(const std::string& path, const std::string& reply);
// The cached list, or empty when there is none that can be used.
std::string LoadToolList(const std::string& path);
// The cached list as a reply to `id`, or the placeholder list; `source` names
// which one for the log.
std::string MakeToolListReply(const std::string& path, const std::string& id, std::string& source);
