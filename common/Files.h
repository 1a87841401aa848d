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
// Another bridge that replaces the file meanwhile only delays the read a little.
bool ReadFileText(const std::string& fileName, std::string& text, std::string& errorText);
bool FileExistsAt(const std::string& fileName);
// Replaces `to` with `from` in one step, waiting a little for readers of `to`;
// false with the system's error code.
bool MoveFileOver(const std::string& from, const std::string& to, std::uint32_t& errorCode);
void RemoveFile(const std::string& fileName);
