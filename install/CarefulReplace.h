#pragma once
// Another program's file changed as a careful person changes it: a copy of the
// file as it was beside it first, the new text in a temporary file of the same
// folder, then one step that puts it in place, so that a crash leaves the old
// file or the new one, never half of one.

#include <string>

// The copy of a file as it was before the bridge first changed it; once made, it is kept.
std::string BackupName(const std::string& file);

// `before`: the file's text as read; `existed`: false for a file that is not there
// yet (then there is nothing to copy). False with one Polish sentence that says
// why; the file is then as it was, also when another program changed it meanwhile.
bool ReplaceCarefully(const std::string& file, bool existed, const std::string& before, const std::string& after,
                      std::string& why);
