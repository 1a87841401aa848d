#pragma once
// Another program's file changed as a careful person changes it: a copy of the
// file as it was beside it first, the new text in a temporary file of the same
// folder, then one step that puts it in place, so that a crash leaves the old
// file or the new one, never half of one. A program that holds the file open is
// waited for up to about 2 seconds: never on the loop's thread.

#include <cstdint>
#include <string>

// The copy of a file as it was before the bridge first changed it; once made, it is kept.
std::string BackupName(const std::string& file);
// An empty file beside a file that the bridge created, so that an uninstall may
// take the file away again; a file that was there before is never taken away.
std::string MadeRecordName(const std::string& file);

// The file that a client's path leads to: through a symbolic link or a junction,
// the file it points to, so that the link stays; as a \\?\ name, so that the names
// of its copies may pass MAX_PATH. False with one Polish sentence
// where a bridge running as administrator would follow a link that a user may
// have put there.
bool FileBehindLinks(const std::string& path, std::string& file, std::string& why);

// One Polish sentence for a file that ReadFileText could not read, with its error code.
std::string CannotReadText(const std::string& file, std::uint32_t code);

// `before`: the file's text as read; `existed`: false for a file that is not there
// yet (then there is nothing to copy, and nothing that appears meanwhile is
// replaced). False with one Polish sentence that says why; the file is then as it
// was, also when another program changed it or holds it open meanwhile, and should
// even the old text not go back in place, the sentence says where it is.
bool ReplaceCarefully(const std::string& file, bool existed, const std::string& before, const std::string& after,
                      std::string& why);
