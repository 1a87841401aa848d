#include "core/ManualStart.h"

#include <cstring>
#include <string>
#include <vector>

#include "common/Encodings.h"
#include "common/Text.h"

namespace {
std::string Hex4(char16_t unit) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (int shift = 12; shift >= 0; shift -= 4) hex += kDigits[(unit >> shift) & 15];
  return hex;
}

// A character the console cannot show exactly would come out changed or not at
// all, and the pasted entry would name another file; JSON's \u escape keeps it.
std::string JsonPathFor(const std::string& path, unsigned codePage) {
  const std::string escaped = JsonEscape(path);
  if (codePage == kCodePageUtf8) return escaped;
  std::string result;
  for (char16_t unit : Utf8ToWide(escaped)) {
    const std::u16string one(1, unit);
    if (Os().MultiByteToWide(codePage, Os().WideToMultiByte(codePage, one, nullptr)) == one) {
      result += WideToUtf8(one);
    } else {
      result += "\\u" + Hex4(unit);
    }
  }
  return result;
}

std::string ServerEntry(const std::string& exe, const std::string& folder, const std::string& type) {
  return "    \"orvin\": {\r\n" + type + "      \"command\": \"" + exe + "\",\r\n      \"args\": [\"-dir\", \"" +
         folder + "\"]\r\n    }\r\n";
}

std::string HowToStart(unsigned codePage) {
  const std::vector<std::string> args = Os().CommandLineArguments();
  const std::string path = args.empty() ? std::string() : args[0];
  const std::size_t slash = path.rfind('\\');
  const std::string exe = JsonPathFor(path, codePage);
  const std::string folder = JsonPathFor(slash == std::string::npos ? "" : path.substr(0, slash), codePage);
  return "OrvinMCP " ORVIN_VERSION " - łącznik między klientem MCP (aplikacją czatu z AI albo edytorem kodu "
         "z asystentem) a programem Orvin CRM.\r\n\r\n"
         "Tego programu nie uruchamia się ręcznie. Uruchamia go klient MCP, gdy wpiszesz go do konfiguracji "
         "klienta. Gotowe wpisy z położeniem tego pliku:\r\n\r\n"
         "Aplikacja czatu (np. plik claude_desktop_config.json):\r\n{\r\n  \"mcpServers\": {\r\n" +
         ServerEntry(exe, folder, "") +
         "  }\r\n}\r\n\r\n"
         "Edytor kodu (plik mcp.json):\r\n{\r\n  \"servers\": {\r\n" +
         ServerEntry(exe, folder, "      \"type\": \"stdio\",\r\n") +
         "  }\r\n}\r\n\r\n"
         "Po \"-dir\" stoi katalog programu Orvin CRM, tu katalog tego pliku; jeśli Orvin CRM jest "
         "zainstalowany gdzie indziej, wpisz jego katalog. Gdy działa kilka Orvinów z kluczami MCP, "
         "dopisz do \"args\" jeszcze \"-mcp\", \"<klucz>\".\r\n\r\n"
         "Naciśnij Enter, aby zakończyć.\r\n";
}

void WaitForEnter(OsHandle input) {
  char buffer[256];
  std::uint32_t read = 0;
  while (Os().ReadFile(input, buffer, sizeof buffer, read) && read > 0) {
    if (std::memchr(buffer, '\n', read) != nullptr) return;
  }
}
}  // namespace

bool ExplainIfStartedByHand(OsHandle input) {
  if (!Os().IsConsole(input)) return false;
  const OsHandle error = Os().StdHandle(StdStream::Error);
  const unsigned codePage = Os().GetFileType(error) == FileType::Char ? Os().ConsoleOutputCodePage() : kCodePageUtf8;
  const std::string text = WideToCodePage(Utf8ToWide(HowToStart(codePage)), codePage);
  std::uint32_t written = 0;
  Os().WriteFile(error, text.data(), static_cast<std::uint32_t>(text.size()), written);
  WaitForEnter(input);
  return true;
}
