#include "core/ManualStart.h"

#include <vector>

#include "common/ConsoleText.h"
#include "common/Text.h"
#include "core/CommandLine.h"
#include "install/Clients.h"
#include "install/InsideZip.h"
#include "link/WindowDiscovery.h"

namespace {
const char kPressEnter[] = "Naciśnij Enter, aby zakończyć.\r\n";
const char kTryAgain[] = "Naciśnij T, aby spróbować jeszcze raz, albo Enter, aby zakończyć.\r\n";
// How long keys typed after T still belong to that answer.
constexpr std::uint32_t kAnswerTypingMs = 1000;

std::string ServerEntry(const std::string& exe, const std::string& folder, const std::string& type) {
  return "    \"orvin\": {\r\n" + type + "      \"command\": \"" + exe + "\",\r\n      \"args\": [\"-dir\", \"" +
         folder + "\"]\r\n    }\r\n";
}

std::string Title() {
  return "OrvinMCP " ORVIN_VERSION " - łącznik między klientem MCP (aplikacją czatu z AI albo edytorem kodu "
         "z asystentem) a programem Orvin CRM.\r\n\r\n";
}

// The console shows the path's every character, and copies it so: the pasted
// entry names this very file.
std::string HowToStart(const std::string& path) {
  const std::size_t slash = path.rfind('\\');
  const std::string exe = JsonEscape(path);
  const std::string folder = JsonEscape(slash == std::string::npos ? "" : path.substr(0, slash));
  return "Tego programu nie uruchamia się ręcznie. Uruchamia go klient MCP, gdy wpiszesz go do konfiguracji "
         "klienta. Gotowe wpisy z położeniem tego pliku:\r\n\r\n"
         "Aplikacja czatu (np. plik claude_desktop_config.json):\r\n{\r\n  \"mcpServers\": {\r\n" +
         ServerEntry(exe, folder, "") +
         "  }\r\n}\r\n\r\n"
         "Edytor kodu (plik mcp.json):\r\n{\r\n  \"servers\": {\r\n" +
         ServerEntry(exe, folder, "      \"type\": \"stdio\",\r\n") +
         "  }\r\n}\r\n\r\n"
         "Po \"-dir\" stoi katalog programu Orvin CRM, tu katalog tego pliku; jeśli Orvin CRM jest "
         "zainstalowany gdzie indziej, wpisz jego katalog. Gdy działa kilka Orvinów z kluczami MCP, "
         "dopisz do \"args\" jeszcze \"-mcp\", \"<klucz>\".\r\n\r\n";
}

// Window discovery only: a handshake could make Orvin CRM ask its user for consent.
std::string CrmStatus() {
  const std::string folder = GetCrmFolder();
  TMCPIPCOkna windows;
  TLookAlikes lookAlikes;
  if (FindCrmWindows(folder, windows, lookAlikes) > 0) return "Orvin CRM z katalogu " + folder + " działa teraz.\r\n\r\n";
  std::string status = "Orvin CRM z katalogu " + folder + " teraz nie działa.";
  std::string where;
  for (const std::string& other : lookAlikes.Folders) where += (where.empty() ? "" : ", ") + other;
  if (!where.empty()) {
    status += " Działają za to okna wyglądające jak Orvin z innych katalogów: " + where + ".";
  } else if (lookAlikes.Count > 0) {
    status += " Działają za to okna wyglądające jak Orvin, których katalogu Windows nie pozwala sprawdzić.";
  }
  return status + "\r\n\r\n";
}

std::string ClientsOffer(const std::vector<TClient>& clients) {
  if (clients.empty()) {
    return "Nie znalazłem na tym koncie Windows żadnego klienta MCP, do którego umiem dopisać OrvinMCP.\r\n\r\n" +
           std::string(kPressEnter);
  }
  std::string offer = "Klienci MCP na tym koncie Windows:\r\n";
  for (const TClient& client : clients) offer += "  " + client.Name + ": " + client.File + "\r\n";
  return offer + "\r\nNaciśnij T, aby dodać OrvinMCP do tych programów, albo Enter, aby zakończyć.\r\n";
}

// Keys are read one by one, so T needs no Enter. A key typed right after an
// answer belongs to that answer, not to the report it brings.
bool AnswerIsYes(OsHandle input, bool offersT, std::uint32_t answeredAt) {
  char16_t key = 0;
  while (Os().ReadConsoleKey(input, key)) {
    if (answeredAt != 0 && Os().TickCount() - answeredAt < kAnswerTypingMs) continue;
    if (offersT && (key == u'T' || key == u't')) return true;
    if (key == u'\r' || key == u'\n') return false;
  }
  return false;
}
}  // namespace

bool ExplainIfStartedByHand(OsHandle input) {
  if (!Os().IsConsole(input)) return false;
  const OsHandle screen = Os().StdHandle(StdStream::Error);
  const TInstallation installation = InstallationFor(false, GetCrmFolder(), GetMcpKey());
  // The archiver removes that folder later: an entry naming it would soon point nowhere.
  if (RunsFromInsideZip(installation.Exe)) {
    ShowToUser(screen, Title() + UnpackZipFirstText() + "\r\n\r\n" + kPressEnter);
    AnswerIsYes(input, false, 0);
    return true;
  }
  const std::vector<TClient> clients = FindClients();
  ShowToUser(screen, Title() + HowToStart(installation.Exe) + CrmStatus() + ClientsOffer(clients));
  // While a file is left alone (its client runs, say), T tries again: the user may quit that client first.
  bool offersT = !clients.empty();
  std::uint32_t answeredAt = 0;
  while (AnswerIsYes(input, offersT, answeredAt)) {
    const TInstallResult result = RunInstallation(installation);
    offersT = result.ExitCode == kInstallLeftAlone;
    ShowToUser(screen, "\r\n" + result.Report + "\r\n" + (offersT ? kTryAgain : kPressEnter));
    answeredAt = Os().TickCount();
  }
  return true;
}
