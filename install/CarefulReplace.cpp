#include "install/CarefulReplace.h"

#include "common/Encodings.h"
#include "common/Files.h"
#include "common/Text.h"
#include "platform/Platform.h"

namespace {
constexpr std::uint32_t kFileExists = 80;  // ERROR_FILE_EXISTS

std::string Code(std::uint32_t code) { return " (kod " + ToDecimal(code) + ")."; }
}  // namespace

std::string BackupName(const std::string& file) { return file + ".orvinmcp-kopia"; }

bool ReplaceCarefully(const std::string& file, bool existed, const std::string& before, const std::string& after,
                      std::string& why) {
  std::uint32_t code = 0;
  // The first copy holds the file as it was before any of our changes: never overwritten.
  const std::string backup = BackupName(file);
  if (existed && !WriteNewFileThrough(backup, before, code) && code != kFileExists) {
    why = "Nie mogę zapisać kopii pliku " + backup + Code(code);
    return false;
  }
  const std::string temporary = file + "." + ToDecimal(Os().CurrentProcessId()) + ".orvinmcp-nowy";
  if (!WriteNewFileThrough(temporary, after, code)) {
    why = "Nie mogę zapisać pliku tymczasowego " + temporary + Code(code);
    return false;
  }
  const std::u16string target = Utf8ToWide(file);
  const std::u16string replacement = Utf8ToWide(temporary);
  // A client that wrote its file meanwhile would lose that change to ours.
  std::string now, errorText;
  if (ReadFileText(file, now, errorText, code, true) != existed || now != (existed ? before : "")) {
    Os().DeleteFile(replacement);
    why = "Plik zmienił się w trakcie zmiany (zapisał go inny program); uruchom polecenie jeszcze raz.";
    return false;
  }
  // ReplaceFileW keeps the file's rights and attributes; where it cannot, a move
  // still replaces the file in one step.
  if ((existed && Os().ReplaceFile(target, replacement)) || Os().MoveFileReplace(replacement, target)) return true;
  code = Os().LastError();
  why = "Nie mogę zastąpić pliku nową treścią" + Code(code);
  // A failed ReplaceFileW may have taken the old file away already: it is put back.
  if (existed && !Os().FileExists(target) && !WriteNewFileThrough(file, before, code)) {
    why += " Nowa treść została w pliku " + temporary + ", a dawna w " + backup + ".";
    return false;
  }
  Os().DeleteFile(replacement);
  return false;
}
