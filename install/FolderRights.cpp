#include "install/FolderRights.h"

#include <map>

#include "common/Encodings.h"
#include "platform/Platform.h"

namespace {
// What lets someone put another file in a file's place: adding files to the folder
// (FILE_ADD_FILE), deleting them (FILE_DELETE_CHILD), deleting or renaming the folder
// itself to put another there (DELETE), or changing who may (WRITE_DAC, WRITE_OWNER),
// also as the generic rights of write and of all.
constexpr std::uint32_t kChangesFolder = 0x2 | 0x40 | 0x10000 | 0x40000 | 0x80000 | 0x40000000 | 0x10000000;
// What lets someone change a file or put another in its place: writing or appending
// (FILE_WRITE_DATA, FILE_APPEND_DATA), deleting it, or changing who may, also generically.
constexpr std::uint32_t kChangesFile = 0x2 | 0x4 | 0x10000 | 0x40000 | 0x80000 | 0x40000000 | 0x10000000;
const char kEveryone[] = "S-1-1-0";
const char kOwnerRights[] = "S-1-3-4";

bool Trusted(const std::string& sid, const std::string& trustedUser) {
  return sid == "S-1-5-32-544" || sid == "S-1-5-18" ||
         sid == "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464" ||
         (!trustedUser.empty() && sid == trustedUser);
}

// CREATOR OWNER and CREATOR GROUP stand for someone only in what is created in the folder later.
bool IsCreatorTemplate(const std::string& sid) { return sid == "S-1-3-0" || sid == "S-1-3-1"; }

// Whether someone not trusted may do any of `rights`. An empty owner is the one who
// will create the object: whoever may do that, the folder's own entries tell.
TFolderWriters Writers(const ObjectSecurity& security, std::uint32_t rights, const std::string& trustedUser) {
  if (security.NullDacl) return TFolderWriters::Others;
  bool ownerRightsSaid = false;
  for (const AccessEntry& entry : security.Entries) ownerRightsSaid |= !entry.InheritOnly && entry.Sid == kOwnerRights;
  // The owner may always change the DACL, unless entries for OWNER RIGHTS say what the owner may.
  if (!security.Owner.empty() && !ownerRightsSaid && !Trusted(security.Owner, trustedUser)) {
    return TFolderWriters::Others;
  }
  // Windows reads the entries in order: what an earlier entry denies, a later one cannot allow.
  std::map<std::string, std::uint32_t> denied;
  for (const AccessEntry& entry : security.Entries) {
    const bool forOwner = entry.Sid == kOwnerRights;
    if (entry.InheritOnly || IsCreatorTemplate(entry.Sid) || (forOwner && security.Owner.empty())) continue;
    const std::string& sid = forOwner ? security.Owner : entry.Sid;
    if (!entry.Allows) {
      denied[sid] |= entry.Mask;
    } else if ((entry.Mask & ~denied[sid] & ~denied[kEveryone] & rights) != 0 && !Trusted(sid, trustedUser)) {
      return TFolderWriters::Others;
    }
  }
  return TFolderWriters::OnlyTrusted;
}

bool Read(const std::string& name, ObjectSecurity& security) {
  return Os().FileSecurity(Utf8ToWide(name), security);
}
}  // namespace

TFolderWriters FolderWriters(const std::string& folder, const std::string& trustedUser) {
  ObjectSecurity security;
  return Read(folder, security) ? Writers(security, kChangesFolder, trustedUser) : TFolderWriters::Unknown;
}

TFolderWriters InheritingFileWriters(const std::string& folder, const std::string& trustedUser) {
  ObjectSecurity folderSecurity;
  if (!Read(folder, folderSecurity)) return TFolderWriters::Unknown;
  if (folderSecurity.NullDacl) return TFolderWriters::Others;
  // What a file put into the folder gets: the entries that files inherit, as its own.
  ObjectSecurity file;
  for (AccessEntry entry : folderSecurity.Entries) {
    if (!entry.FilesInherit) continue;
    entry.InheritOnly = false;
    file.Entries.push_back(entry);
  }
  return Writers(file, kChangesFile, trustedUser);
}

TFolderWriters FileWriters(const std::string& file, const std::string& trustedUser) {
  ObjectSecurity security;
  return Read(file, security) ? Writers(security, kChangesFile, trustedUser) : TFolderWriters::Unknown;
}
