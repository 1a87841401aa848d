#pragma once
// Whole files by the bridge's UTF-8 names, through Windows' wide calls, so that
// any user's folder names hold; and the user's temporary folder.

#include <cstdint>
#include <string>

// The user's temporary folder, ending in a backslash (or empty).
std::string GetTempFolder();
// Trimmed, with each of \/:*?"<>| replaced by an underscore.
std::string SanitizeFileName(const std::string& text);
bool WriteFileText(const std::string& fileName, const std::string& text, std::string& errorText);
// Creates the file only where none is, writes the text and has it on the disk
// before it returns; false with the system's error code, and then no file is left.
bool WriteNewFileThrough(const std::string& fileName, const std::string& text, std::uint32_t& errorCode);
// Another program that holds the file for a moment (access denied, a sharing or lock violation).
bool IsSharingConflict(std::uint32_t code);
// How long another program that holds a file may delay a read or a move: not at
// all; about a quarter of a second (bridges that share the cache file hold it for
// milliseconds); or about 2 seconds (a virus scan of a client's file). The wait
// blocks: never on the loop's thread.
enum class TPatience { None, Brief, Long };
// After a try that failed with `code`: when another program held the file and the
// wait that began at `since` has time for one more try, pauses and gives true.
bool PausedForHolder(TPatience patience, std::uint32_t since, std::uint32_t code);
// False with the system's error code.
bool ReadFileText(const std::string& fileName, std::string& text, std::string& errorText, std::uint32_t& errorCode,
                  TPatience patience);
bool FileExistsAt(const std::string& fileName);
// Whether a name begins or ends with `part`, letters compared as Windows compares file names.
bool NameStartsWith(const std::u16string& name, const std::u16string& part);
bool NameEndsWith(const std::u16string& name, const std::u16string& part);
// Replaces `to` with `from` in one step; false with the system's error code.
bool MoveFileOver(const std::string& from, const std::string& to, std::uint32_t& errorCode, TPatience patience);
void RemoveFile(const std::string& fileName);
