#pragma once
// Who besides the administrators may change what a folder holds. Where several
// Windows users share a machine, a program that every client starts must lie
// where no other user can put another file in its place.

#include <string>

enum class TFolderWriters { OnlyTrusted, Others, Unknown };

// Trusted are Administrators, SYSTEM, TrustedInstaller and `trustedUser` (a SID
// in string form), unless it is empty: then every user counts as another.
// Unknown when Windows does not show the folder's owner and DACL.
TFolderWriters FolderWriters(const std::string& folder, const std::string& trustedUser);
