#include "install/InsideZip.h"

#include "common/Encodings.h"
#include "common/Files.h"
#include "platform/Platform.h"

namespace {
bool IsExtractionFolder(const std::u16string& name) {
  if (NameStartsWith(name, u"7zO") || NameStartsWith(name, u"Rar$EX") || NameStartsWith(name, u"Rar$DI")) return true;
  std::size_t digits = 4;
  while (digits < name.size() && name[digits] >= u'0' && name[digits] <= u'9') ++digits;
  return NameStartsWith(name, u"Temp") && digits > 4 && digits < name.size() && name[digits] == u'_';
}

// TEMP is often written with 8.3 short names, the exe's path with long ones.
std::u16string LongForm(std::u16string path) {
  while (!path.empty() && path.back() == u'\\') path.pop_back();
  const std::u16string longForm = Os().LongPathName(path);
  return longForm.empty() ? path : longForm;
}
}  // namespace

bool RunsFromInsideZip(const std::string& exePath) {
  const std::u16string exe = LongForm(Utf8ToWide(exePath));
  for (const std::u16string& temp :
       {Utf8ToWide(GetTempFolder()), Os().EnvironmentVariable(u"TEMP"), Os().EnvironmentVariable(u"TMP")}) {
    const std::u16string folder = LongForm(temp) + u'\\';
    if (folder.size() == 1 || !NameStartsWith(exe, folder)) continue;
    const std::size_t end = exe.find(u'\\', folder.size());
    if (end != std::u16string::npos && IsExtractionFolder(exe.substr(folder.size(), end - folder.size()))) return true;
  }
  return false;
}

std::string UnpackZipFirstText() {
  return "Ten plik został uruchomiony prosto z archiwum ZIP, z katalogu tymczasowego, który Windows wkrótce usunie - "
         "klient MCP nie mógłby go potem uruchomić. Najpierw rozpakuj archiwum (w Eksploratorze: prawy przycisk myszy "
         "na archiwum, \"Wyodrębnij wszystkie...\"), skopiuj OrvinMCP.exe do katalogu programu Orvin CRM (tam, gdzie "
         "leży jego plik .exe) i uruchom go stamtąd.";
}
