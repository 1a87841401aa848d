#include "install/CarefulReplace.h"

#include <algorithm>
#include <vector>

#include "common/Encodings.h"
#include "common/Files.h"
#include "common/Text.h"
#include "install/FolderRights.h"
#include "platform/Platform.h"

namespace {
constexpr std::uint32_t kFileNotFound = 2;     // ERROR_FILE_NOT_FOUND
constexpr std::uint32_t kFileExists = 80;      // ERROR_FILE_EXISTS
constexpr std::uint32_t kAlreadyExists = 183;  // ERROR_ALREADY_EXISTS
const char kChangedMeanwhile[] = "Plik zmienił się w trakcie zmiany (zapisał go inny program); uruchom polecenie "
                                 "jeszcze raz.";

std::string Code(std::uint32_t code) { return " (kod " + ToDecimal(code) + ")."; }

// A name as users write it: without the prefix that takes file calls past MAX_PATH.
std::string Shown(const std::string& name) {
  if (name.compare(0, 8, "\\\\?\\UNC\\") == 0) return "\\\\" + name.substr(8);
  return name.compare(0, 4, "\\\\?\\") == 0 ? name.substr(4) : name;
}

// The files of one replace that go when it ends, but those it keeps.
struct TScratchFiles {
  std::vector<std::string> Names;
  ~TScratchFiles() {
    for (const std::string& name : Names) RemoveFile(name);
  }
  void Keep(const std::string& name) { Names.erase(std::remove(Names.begin(), Names.end(), name), Names.end()); }
};

// Names the programs that hold the file open, where Windows can tell.
std::string HeldOpenText(const std::string& file, std::uint32_t code, const std::string& otherwise) {
  std::vector<std::u16string> programs;
  std::string names;
  if (IsSharingConflict(code) && Os().FileHolders(Utf8ToWide(file), programs)) {
    for (const std::u16string& program : programs) names += (names.empty() ? "" : ", ") + WideToUtf8(program);
  }
  // Access denied that nobody's open file explains is a matter of rights.
  if (names.empty() && code != 32 && code != 33) return otherwise + Code(code);
  return "Ten plik ma otwarty inny program" + (names.empty() ? std::string() : " (" + names + ")") +
         ", który nie pozwala go teraz zmienić; zamknij ten program i uruchom polecenie jeszcze raz.";
}

// A symbolic link or junction on the path in a folder that some user may change: a
// bridge running as administrator that followed it could be sent to write anywhere.
std::string LinkInUsersFolder(const std::u16string& path) {
  const bool share = path.compare(0, 2, u"\\\\") == 0;
  std::size_t end = share ? path.find(u'\\', path.find(u'\\', 2) + 1) : 2;
  while (end != std::u16string::npos) {
    end = path.find(u'\\', end + 1);
    const std::u16string step = path.substr(0, end);
    const std::uint32_t attributes = Os().FileAttributes(step);
    if (attributes == kNoAttributes || (attributes & kAttributeReparsePoint) == 0) continue;
    const std::string folder = WideToUtf8(step.substr(0, step.rfind(u'\\')));
    if (FolderWriters(folder, "") != TFolderWriters::OnlyTrusted) return WideToUtf8(step);
  }
  return std::string();
}

// For a file that is not there yet, only while none is.
bool PutInPlace(const std::u16string& target, const std::u16string& replacement, bool existed, std::uint32_t& code) {
  if (existed ? Os().ReplaceFile(target, replacement) : Os().MoveFileToNewName(replacement, target)) return true;
  code = Os().LastError();
  // ReplaceFileW keeps the file's rights and attributes; where it does not work (a file
  // system without it), a move still replaces the file in one step. Not a file that
  // ReplaceFileW took away, nor one held open.
  if (!existed || !Os().FileExists(target) || IsSharingConflict(code)) return false;
  if (Os().MoveFileReplace(replacement, target)) return true;
  code = Os().LastError();
  return false;
}
}  // namespace

std::string BackupName(const std::string& file) { return file + ".orvinmcp-kopia"; }

std::string MadeRecordName(const std::string& file) { return file + ".orvinmcp-utworzony"; }

bool FileBehindLinks(const std::string& path, std::string& file, std::string& why) {
  const std::u16string wide = Utf8ToWide(path);
  if (Os().RunsElevated()) {
    const std::string link = LinkInUsersFolder(wide);
    if (!link.empty()) {
      why = "Na ścieżce pliku jest dowiązanie " + link + " w katalogu, który może zmienić zwykły użytkownik, a "
            "OrvinMCP działa jako administrator, więc przez nie nie pisze; uruchom polecenie bez uprawnień "
            "administratora.";
      return false;
    }
  }
  std::u16string final = Os().FinalPathName(wide);
  const std::size_t slash = wide.rfind(u'\\');
  if (final.empty() && slash != std::u16string::npos) {  // a file not there yet: where its folder leads
    final = Os().FinalPathName(wide.substr(0, slash));
    if (!final.empty()) final += wide.substr(slash);
  }
  file = final.empty() ? path : WideToUtf8(final);
  return true;
}

std::string CannotReadText(const std::string& file, std::uint32_t code) {
  return code == 0 ? "Nie mogę odczytać pliku." : HeldOpenText(file, code, "Nie mogę odczytać pliku");
}

bool ReplaceCarefully(const std::string& file, bool existed, const std::string& before, const std::string& after,
                      std::string& why) {
  const std::u16string target = Utf8ToWide(file);
  // Whoever made it read-only meant it: that attribute is not ours to clear.
  const std::uint32_t attributes = Os().FileAttributes(target);
  if (existed && attributes != kNoAttributes && (attributes & kAttributeReadOnly) != 0) {
    why = "Ten plik jest tylko do odczytu, a OrvinMCP nie zdejmuje tego atrybutu; zdejmij go we Właściwościach "
          "pliku i uruchom polecenie jeszcze raz albo dopisz wpis ręcznie.";
    return false;
  }
  std::uint32_t code = 0;
  // The first copy holds the file as it was before any of our changes: never overwritten.
  const std::string backup = BackupName(file);
  if (existed && !WriteNewFileThrough(backup, before, code) && code != kFileExists) {
    why = "Nie mogę zapisać kopii pliku " + Shown(backup) + Code(code);
    return false;
  }
  TScratchFiles scratch;
  const std::string stem = file + "." + ToDecimal(Os().CurrentProcessId());
  // This run's old text, until the new one is in place: the first copy may be months old.
  const std::string old = stem + ".orvinmcp-stary";
  if (existed && !WriteNewFileThrough(old, before, code)) {
    why = "Nie mogę zapisać kopii pliku " + Shown(old) + Code(code);
    return false;
  }
  if (existed) scratch.Names.push_back(old);
  const std::string temporary = stem + ".orvinmcp-nowy";
  if (!WriteNewFileThrough(temporary, after, code)) {
    why = "Nie mogę zapisać pliku tymczasowego " + Shown(temporary) + Code(code);
    return false;
  }
  scratch.Names.push_back(temporary);
  // A client that wrote its file meanwhile would lose that change to ours.
  std::string now, errorText;
  const bool readable = ReadFileText(file, now, errorText, code, TPatience::Long);
  if (existed && !readable && code != kFileNotFound) {
    why = CannotReadText(file, code);
    return false;
  }
  if (readable != existed || now != (existed ? before : "")) {
    why = kChangedMeanwhile;
    return false;
  }
  const std::uint32_t since = Os().TickCount();
  while (!PutInPlace(target, Utf8ToWide(temporary), existed, code)) {
    const bool gone = existed && !Os().FileExists(target);
    if (!gone && PausedForHolder(TPatience::Long, since, code)) continue;
    if (gone) {  // ReplaceFileW took the old file away and could not put the new one there
      why = "Nie mogę zastąpić pliku nową treścią" + Code(code);
      if (!Os().MoveFileToNewName(Utf8ToWide(old), target)) {
        why += " Dawna treść pliku jest w " + Shown(old) + ".";
        scratch.Keep(old);
      }
    } else if (!existed && (code == kAlreadyExists || code == kFileExists)) {
      why = kChangedMeanwhile;
    } else {
      why = HeldOpenText(file, code, "Nie mogę zastąpić pliku nową treścią");
    }
    return false;
  }
  return true;
}
