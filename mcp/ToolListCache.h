#pragma once
// The last complete tool list of the CRM application, kept in one file per CRM
// folder and MCP key in the user's temporary folder, so that clients see the
// real tools even while the CRM application is not running.

#include <string>

// `folder` and `key` as the command line gives them.
std::string ToolListCachePath(const std::string& folder, const std::string& key);
// Stores the result of a good tools/list reply, or leaves the file alone. When
// another bridge holds the file, the replace is tried again on a worker.
void SaveToolList(const std::string& path, const std::string& reply);

// The file as read; reading is apart from judging, so that a read that must
// wait for another bridge can run on a worker.
struct TCacheFile {
  bool Exists = false;
  bool Busy = false;  // another bridge held it: a patient read may get it
  std::string Text;
  std::string Error;  // why it could not be read
};
// `patiently` waits up to about a quarter of a second for another bridge: on workers only.
TCacheFile ReadCacheFile(const std::string& path, bool patiently);
// The usable list in the file, or empty, with a log line that says why not.
std::string JudgeCacheFile(const std::string& path, const TCacheFile& file);
// The list (or the placeholder list when it is empty) as a reply to `id`; `source` names which for the log.
std::string ToolListReply(const std::string& list, const std::string& id, std::string& source);

// One try each, for the loop's thread: a busy file counts as none.
std::string LoadToolList(const std::string& path);
std::string MakeToolListReply(const std::string& path, const std::string& id, std::string& source);

// Forgets a replace that waits for another bridge, as at process start.
void ResetToolListCache();
