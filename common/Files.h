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
// False with the system's error code; `patiently`, another program that holds the
// file meanwhile only delays the read by up to about a quarter of a second. That
// wait blocks: never on the loop's thread.
bool ReadFileText(const std::string& fileName, std::string& text, std::string& errorText, std::uint32_t& errorCode,
                  bool patiently);
bool FileExistsAt(const std::string& fileName);
// Replaces `to` with `from` in one step; false with the system's error code.
// `patiently` as for ReadFileText, for readers of `to`.
bool MoveFileOver(const std::string& from, const std::string& to, std::uint32_t& errorCode, bool patiently);
void RemoveFile(const std::string& fileName);
