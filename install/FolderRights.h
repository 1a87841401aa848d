#pragma once
// Who besides the administrators may change what a folder holds, or a file in it.
// Where several Windows users share a machine, a program that every client starts
// must lie where no other user can change it or put another file in its place.

#include <string>

enum class TFolderWriters { OnlyTrusted, Others, Unknown };

// Trusted are Administrators, SYSTEM, TrustedInstaller and `trustedUser` (a SID
// in string form), unless it is empty: then every user counts as another.
// Unknown when Windows does not show the owner and DACL.

// Who may add, delete or rename what the folder holds, or the folder itself.
TFolderWriters FolderWriters(const std::string& folder, const std::string& trustedUser);
// Who may change a file put into the folder later, by the entries files inherit from it.
TFolderWriters InheritingFileWriters(const std::string& folder, const std::string& trustedUser);
// Who may write to the file, delete it, or change its DACL or owner: a file moved
// from elsewhere keeps the rights it had there.
TFolderWriters FileWriters(const std::string& file, const std::string& trustedUser);
