#include "install/Clients.h"

#include <algorithm>
#include <new>

#include "common/Encodings.h"
#include "common/Files.h"
#include "common/Text.h"
#include "install/CarefulReplace.h"
#include "install/DesktopChatApp.h"
#include "install/FolderRights.h"
#include "install/InsideZip.h"
#include "install/JsonEdit.h"
#include "install/TomlEdit.h"
#include "platform/Platform.h"

namespace {
constexpr std::uint32_t kFileNotFound = 2;  // ERROR_FILE_NOT_FOUND

struct TClientPlace {
  const char* Name;
  const char16_t* Root;  // the environment variable of the folder the path starts from
  const char* Path;
  const char* Parent;
  TClientFormat Format;
  bool StdioType;
  bool OnlyExistingFile;  // a file in a folder of everyone's: never created
  const char* Note;
  const char16_t* Home;  // a variable that, when set, names the folder of the file instead
  bool DesktopChat;
};

const TClientPlace kClientPlaces[] = {
    {"Claude Desktop", u"APPDATA", "Claude\\claude_desktop_config.json", "mcpServers", TClientFormat::Json, false,
     false, "", nullptr, true},
    {"Claude Desktop ze Sklepu Microsoft", u"LOCALAPPDATA",
     "Packages\\Claude_pzs8sxrjxfjjc\\LocalCache\\Roaming\\Claude\\claude_desktop_config.json", "mcpServers",
     TClientFormat::Json, false, false, "", nullptr, true},
    {"VS Code", u"APPDATA", "Code\\User\\mcp.json", "servers", TClientFormat::JsonWithComments, true, false, "",
     nullptr, false},
    {"VS Code Insiders", u"APPDATA", "Code - Insiders\\User\\mcp.json", "servers", TClientFormat::JsonWithComments,
     true, false, "", nullptr, false},
    {"Cursor", u"USERPROFILE", ".cursor\\mcp.json", "mcpServers", TClientFormat::Json, false, false, "", nullptr,
     false},
    {"Windsurf", u"USERPROFILE", ".codeium\\windsurf\\mcp_config.json", "mcpServers", TClientFormat::Json, false,
     false, "", nullptr, false},
    {"LM Studio", u"USERPROFILE", ".lmstudio\\mcp.json", "mcpServers", TClientFormat::Json, false, false, "", nullptr,
     false},
    {"Gemini CLI", u"USERPROFILE", ".gemini\\settings.json", "mcpServers", TClientFormat::Json, false, false, "",
     nullptr, false},
    {"Codex", u"USERPROFILE", ".codex\\config.toml", "mcp_servers", TClientFormat::Toml, false, false, "",
     u"CODEX_HOME", false},
    // It writes its whole file back while it runs, and with it its old entries.
    {"Claude Code", u"USERPROFILE", ".claude.json", "mcpServers", TClientFormat::Json, false, true,
     "Claude Code zapisuje ten plik, gdy działa: jeśli był uruchomiony, zamknij go i powtórz polecenie.",
     u"CLAUDE_CONFIG_DIR", false},
};

std::string EntryName(const std::string& key) { return key.empty() ? "orvin" : "orvin-" + key; }

TTextEdit EditText(const TClient& client, const std::string& text, const TInstallation& installation) {
  const std::string name = EntryName(installation.Key);
  const bool comments = client.Format == TClientFormat::JsonWithComments;
  if (installation.Uninstall) {
    return client.Format == TClientFormat::Toml ? RemoveTomlEntry(text, name)
                                                : RemoveJsonEntry(text, comments, client.Parent, name);
  }
  TServerEntry entry{installation.Exe, {"-dir", installation.Folder}, client.StdioType ? "stdio" : ""};
  if (!installation.Key.empty()) entry.Args.insert(entry.Args.end(), {"-mcp", installation.Key});
  return client.Format == TClientFormat::Toml ? PutTomlEntry(text, name, entry)
                                              : PutJsonEntry(text, comments, client.Parent, name, entry);
}

std::string DoneText(TEditOutcome outcome, const std::string& name) {
  const std::string quoted = "\"" + name + "\"";
  switch (outcome) {
    case TEditOutcome::Added: return "dodano wpis " + quoted + ".";
    case TEditOutcome::Updated: return "zaktualizowano wpis " + quoted + ".";
    case TEditOutcome::AlreadyThere: return "wpis " + quoted + " już jest.";
    case TEditOutcome::Removed: return "usunięto wpis " + quoted + ".";
    case TEditOutcome::NotThere: return "nie było wpisu " + quoted + ".";
    default: return std::string();
  }
}

// One client's file: read, edited as text and, when the text changed, replaced
// carefully. False when the file was left as it was; `done` says what happened.
bool ChangeClient(const TClient& client, const TInstallation& installation, std::string& done) {
  std::string file, text, errorText;
  if (!FileBehindLinks(client.File, file, done)) return false;
  std::uint32_t code = 0;
  const bool existed = ReadFileText(file, text, errorText, code, TPatience::Long);
  if (!existed && code != kFileNotFound) {
    done = CannotReadText(file, code);
    return false;
  }
  const TTextEdit edit = EditText(client, text, installation);
  if (edit.Outcome == TEditOutcome::Refused) {
    done = edit.Why;
    return false;
  }
  const bool changes = edit.Outcome == TEditOutcome::Added || edit.Outcome == TEditOutcome::Updated ||
                       edit.Outcome == TEditOutcome::Removed;
  if (changes && !ReplaceCarefully(file, existed, text, edit.Text, done)) return false;
  done = DoneText(edit.Outcome, EntryName(installation.Key));
  return true;
}

// Where the client's own variable names its folder, its file lies there.
std::string PlaceFile(const TClientPlace& place) {
  std::u16string home = place.Home == nullptr ? u"" : Os().EnvironmentVariable(place.Home);
  if (place.Home != nullptr && home.empty()) home = Os().UserEnvironmentVariable(place.Home);
  std::string root = WideToUtf8(home.empty() ? Os().EnvironmentVariable(place.Root) : home);
  while (!root.empty() && root.back() == '\\') root.pop_back();
  if (root.empty()) return root;
  const std::string path = place.Path;
  return root + "\\" + (home.empty() ? path : path.substr(path.rfind('\\') + 1));
}

// A warning when others than the administrators and this user may put another
// exe in place of the one that every client starts; empty otherwise.
std::string OthersMayWriteText(const std::string& exe) {
  const std::string folder = exe.substr(0, exe.rfind('\\'));
  const std::string user = Os().CurrentUserSid();
  if (user.empty() || FolderWriters(folder, user) != TFolderWriters::Others) return std::string();
  return "Uwaga: do katalogu " + folder + " mogą zapisywać także inni użytkownicy tego komputera, a każdy z nich "
         "może podmienić w nim program, który uruchamiają wszyscy klienci MCP (przenieś OrvinMCP.exe do katalogu, do "
         "którego zapisują tylko administratorzy, np. C:\\Program Files\\Orvin).\r\n";
}

// A client's file changed, or left alone with the reason in `done`.
bool TryClient(const TClient& client, const TInstallation& installation, bool desktopChatRuns, std::string& done) {
  if (client.DesktopChat && desktopChatRuns) {
    done = "Claude Desktop działa i zapisuje ten plik po swojemu, a zmiana zniknęłaby przy jego zapisie: zamknij go "
           "całkowicie, także ikoną w zasobniku systemowym obok zegara (Zakończ), a potem uruchom polecenie albo "
           "naciśnij T jeszcze raz.";
    return false;
  }
  // A file too large for the memory left is left alone as any other that cannot be changed.
  try {
    return ChangeClient(client, installation, done);
  } catch (const std::bad_alloc&) {
    done = "Zabrakło pamięci, aby odczytać i zmienić ten plik.";
    return false;
  }
}

std::string AllClientNames() {
  std::string names;
  for (const TClientPlace& place : kClientPlaces) names += (names.empty() ? "" : ", ") + std::string(place.Name);
  return names;
}
}  // namespace

std::vector<TClient> FindClients() {
  std::vector<TClient> clients;
  for (const TClientPlace& place : kClientPlaces) {
    const std::string file = PlaceFile(place);
    if (file.empty()) continue;
    const TClient client{place.Name, file, place.Parent, place.Format,
                         place.StdioType, place.Note, place.DesktopChat};
    const std::string folder = client.File.substr(0, client.File.rfind('\\'));
    const bool present = place.OnlyExistingFile ? FileExistsAt(client.File) : Os().FolderExists(Utf8ToWide(folder));
    if (present) clients.push_back(client);
  }
  return clients;
}

TInstallation InstallationFor(bool uninstall, const std::string& crmFolder, const std::string& key) {
  TInstallation installation;
  installation.Uninstall = uninstall;
  const std::vector<std::string> args = Os().CommandLineArguments();
  installation.Exe = args.empty() ? std::string() : args[0];
  // The client starts the bridge from a folder of its own choosing.
  std::string folder = crmFolder;
  const std::u16string full = Os().FullPathName(Utf8ToWide(folder));
  if (!folder.empty() && !full.empty()) folder = WideToUtf8(full);
  // A final backslash before the closing quote of a Windows command line would escape it.
  while (!folder.empty() && folder.back() == '\\') folder.pop_back();
  installation.Folder = folder;
  installation.Key = key;
  return installation;
}

TInstallResult RunInstallation(const TInstallation& installation) {
  TInstallResult result;
  if (!installation.Uninstall && RunsFromInsideZip(installation.Exe)) {
    result.ExitCode = kInstallLeftAlone;
    result.Report = UnpackZipFirstText() + "\r\n";
    return result;
  }
  const std::vector<TClient> clients = FindClients();
  if (clients.empty()) {
    result.ExitCode = kInstallNoClient;
    result.Report = "Nie znalazłem na tym koncie Windows żadnego klienta MCP, którego konfigurację umiem zmienić (" +
                    AllClientNames() + ").\r\n";
    return result;
  }
  if (!installation.Uninstall) {
    result.Report = "Wpis \"" + EntryName(installation.Key) + "\" uruchamia " + installation.Exe +
                    " dla Orvin CRM z katalogu " + installation.Folder + ", klucz MCP: " +
                    DescribeKey(installation.Key) + ".\r\n" + OthersMayWriteText(installation.Exe);
  }
  const bool desktopChatRuns =
      std::any_of(clients.begin(), clients.end(), [](const TClient& client) { return client.DesktopChat; }) &&
      DesktopChatAppRuns();
  for (const TClient& client : clients) {
    std::string done;
    if (TryClient(client, installation, desktopChatRuns, done)) {
      result.Report += client.Name + ": " + client.File + " - " + done;
    } else {
      result.ExitCode = kInstallLeftAlone;
      result.Report += client.Name + ": " + client.File + " - pozostawiony bez zmian. " + done;
    }
    result.Report += (client.Note.empty() ? "" : " " + client.Note) + "\r\n";
  }
  result.Report += "Zamknij te programy i uruchom je ponownie, aby wczytały zmianę; Claude Desktop zamknij "
                   "całkowicie, także ikoną w zasobniku systemowym obok zegara (Zakończ).\r\n";
  return result;
}
