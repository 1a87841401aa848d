#include "install/Clients.h"

#include <algorithm>
#include <iterator>
#include <new>

#include "common/Encodings.h"
#include "common/FileLayout.h"
#include "common/Files.h"
#include "common/JsonText.h"
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
    // It strips comments, then reads plain JSON.
    {"Gemini CLI", u"USERPROFILE", ".gemini\\settings.json", "mcpServers", TClientFormat::JsonWithCommentsOnly, false,
     false, "", nullptr, false},
    {"Codex", u"USERPROFILE", ".codex\\config.toml", "mcp_servers", TClientFormat::Toml, false, false, "",
     u"CODEX_HOME", false},
    // It writes its whole file back while it runs, and with it its old entries. Without "type"
    // its `claude mcp get` shows neither command nor arguments.
    {"Claude Code", u"USERPROFILE", ".claude.json", "mcpServers", TClientFormat::JsonBomAllowed, true, true,
     "Claude Code zapisuje ten plik, gdy działa: jeśli był uruchomiony, zamknij go i powtórz polecenie.",
     u"CLAUDE_CONFIG_DIR", false},
};

// Polish letters, each two bytes of UTF-8, and the base letters they are written with in a name.
const char* const kPolishLetters[][2] = {
    {"ą", "a"}, {"ć", "c"}, {"ę", "e"}, {"ł", "l"}, {"ń", "n"}, {"ó", "o"}, {"ś", "s"}, {"ź", "z"}, {"ż", "z"},
    {"Ą", "A"}, {"Ć", "C"}, {"Ę", "E"}, {"Ł", "L"}, {"Ń", "N"}, {"Ó", "O"}, {"Ś", "S"}, {"Ź", "Z"}, {"Ż", "Z"},
};

bool IsNameByte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
         c == '-';
}

// The key in the letters of a server's name: one letter or - for each character.
std::string AsciiForm(const std::string& key) {
  std::string name;
  for (std::size_t p = 0; p < key.size();) {
    const auto polish = std::find_if(std::begin(kPolishLetters), std::end(kPolishLetters),
                                     [&](const char* const* letter) { return key.compare(p, 2, letter[0]) == 0; });
    if (polish != std::end(kPolishLetters)) {
      name += (*polish)[1];
      p += 2;
      continue;
    }
    name += IsNameByte(key[p]) ? key[p] : '-';
    // The bytes that go on a character of UTF-8.
    for (++p; p < key.size() && (static_cast<unsigned char>(key[p]) & 0xC0) == 0x80;) ++p;
  }
  return name;
}

TJsonSyntax SyntaxOf(TClientFormat format) {
  const bool comments = format == TClientFormat::JsonWithComments || format == TClientFormat::JsonWithCommentsOnly;
  return TJsonSyntax{comments, format == TClientFormat::JsonWithComments};
}

bool ReadsBom(TClientFormat format) {
  return format != TClientFormat::Json && format != TClientFormat::JsonWithCommentsOnly;
}

// The text as its client reads it: without a byte order mark it cannot read.
std::string Readable(const TClient& client, const std::string& text) {
  return ReadsBom(client.Format) ? text : text.substr(Utf8BomLength(text));
}

// What the bridge leaves of a file it made once its entry is out: {} in JSON,
// nothing in TOML.
bool IsEmptyShell(const std::string& text) {
  std::string rest;  // three bytes tell: no need to gather a large file's
  for (std::size_t p = Utf8BomLength(text); p < text.size() && rest.size() <= 2; ++p) {
    if (!IsJsonWhitespace(text[p])) rest += text[p];
  }
  return rest.empty() || rest == "{}";
}

// The copy kept beside a file before the bridge first changed it.
struct TKeptCopy {
  bool Read = false;   // Text holds the file as it was
  bool Made = false;   // the record says that the bridge made the file
  bool Later = false;  // a copy of a file the bridge made, so none of a file that was there before
  std::string Text;
};

// Whether the bridge made the file is what its record says, never what the copy holds:
// a file the user wrote with nothing but an entry of ours looks the same.
TKeptCopy ReadKeptCopy(const std::string& file) {
  TKeptCopy copy;
  std::string errorText;
  std::uint32_t code = 0;
  copy.Read = ReadFileText(BackupName(file), copy.Text, errorText, code, TPatience::Long);
  copy.Made = Os().FileExists(Utf8ToWide(MadeRecordName(file)));
  copy.Later = copy.Made && copy.Read;
  if (copy.Later) copy.Read = false;
  return copy;
}

TTextEdit EditText(const TClient& client, const std::string& text, const TInstallation& installation,
                   const TKeptCopy& copy) {
  const TEntryNames names = EntryNames(installation.Key);
  const TJsonSyntax syntax = SyntaxOf(client.Format);
  if (installation.Uninstall) {
    if (client.Format == TClientFormat::Toml) return RemoveTomlEntry(text, names);
    // An emptied parent goes only where the install added it: the file as it was had none.
    const bool added = copy.Made || (copy.Read && !JsonFileHasMember(copy.Text, syntax, client.Parent));
    return RemoveJsonEntry(text, syntax, client.Parent, names, added);
  }
  TServerEntry entry{installation.Exe, {"-dir", installation.Folder}, client.StdioType ? "stdio" : ""};
  if (!installation.Key.empty()) entry.Args.insert(entry.Args.end(), {"-mcp", installation.Key});
  return client.Format == TClientFormat::Toml ? PutTomlEntry(text, names, entry)
                                              : PutJsonEntry(text, syntax, client.Parent, names, entry);
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

// Uninstall gives back what was there: a file that the bridge made goes once
// nothing but the empty shell is left, with its record, a file that is back to its
// copy loses the copy, and the copy of a file that still differs stays. `note`: a sentence for
// the report, or why the file was left as it was.
bool GiveBack(const TClient& client, const std::string& file, bool existed, const std::string& text,
              const TTextEdit& edit, const TKeptCopy& copy, std::string& note) {
  const bool removed = edit.Outcome == TEditOutcome::Removed;
  std::string after = removed ? edit.Text : text;
  const std::string copied = Readable(client, copy.Text);
  // Nothing left but the shell, of a file that was one too: its own bytes again.
  if (removed && copy.Read && IsEmptyShell(after) && IsEmptyShell(copied)) after = copied;
  if (removed && copy.Made && IsEmptyShell(after)) {
    if (Os().DeleteFile(Utf8ToWide(file))) {
      if (copy.Later) Os().DeleteFile(Utf8ToWide(BackupName(file)));
      Os().DeleteFile(Utf8ToWide(MadeRecordName(file)));
      note = " Usunięto też plik, który utworzył OrvinMCP.";
      return true;
    }
    note = "Nie mogę usunąć pliku, który utworzył OrvinMCP (kod " + ToDecimal(Os().LastError()) + ").";
    return false;
  }
  if (after != text && !ReplaceCarefully(file, existed, text, after, note)) return false;
  if (copy.Read && Readable(client, after) == copied) Os().DeleteFile(Utf8ToWide(BackupName(file)));
  return true;
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
  if (installation.Uninstall) {
    std::string note;
    const TKeptCopy copy = ReadKeptCopy(file);
    // The record of a file taken away by other means would count for the next file of that name.
    if (!existed && copy.Made) Os().DeleteFile(Utf8ToWide(MadeRecordName(file)));
    const TTextEdit edit = EditText(client, text, installation, copy);
    if (edit.Outcome == TEditOutcome::Refused || !GiveBack(client, file, existed, text, edit, copy, note)) {
      done = edit.Outcome == TEditOutcome::Refused ? edit.Why : note;
      return false;
    }
    done = DoneText(edit.Outcome, EntryNames(installation.Key).Name) + note;
    return true;
  }
  // A client that cannot read a byte order mark gets its file without one.
  const std::string readable = Readable(client, text);
  const TTextEdit edit = EditText(client, readable, installation, TKeptCopy());
  if (edit.Outcome == TEditOutcome::Refused) {
    done = edit.Why;
    return false;
  }
  // A right entry is not read either while the mark stays.
  const bool changes = edit.Outcome != TEditOutcome::AlreadyThere || readable != text;
  const std::string after = edit.Outcome == TEditOutcome::AlreadyThere ? readable : edit.Text;
  if (changes && !ReplaceCarefully(file, existed, text, after, done)) return false;
  // Without its record the file stays at uninstall, as an empty {}: nothing is lost.
  if (!existed) WriteNewFileThrough(MadeRecordName(file), "", code);
  done = DoneText(edit.Outcome, EntryNames(installation.Key).Name);
  if (readable != text) {
    done += " Z początku pliku usunięto znacznik BOM, przez który ten program i tak nie mógł odczytać pliku.";
  }
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

// A warning when others than the administrators and this user may change the exe
// that every client starts, or put another in its place; empty otherwise.
std::string OthersMayWriteText(const std::string& exe) {
  const std::string folder = exe.substr(0, exe.rfind('\\'));
  const std::string user = Os().CurrentUserSid();
  if (user.empty()) return std::string();
  if (FolderWriters(folder, user) == TFolderWriters::Others ||
      InheritingFileWriters(folder, user) == TFolderWriters::Others) {
    return "Uwaga: do katalogu " + folder + " mogą zapisywać także inni użytkownicy tego komputera, a każdy z nich "
           "może podmienić w nim program, który uruchamiają wszyscy klienci MCP (przenieś OrvinMCP.exe do katalogu, do "
           "którego zapisują tylko administratorzy, np. C:\\Program Files\\Orvin).\r\n";
  }
  if (FileWriters(exe, user) != TFolderWriters::Others) return std::string();
  return "Uwaga: plik " + exe + " mogą zmienić także inni użytkownicy tego komputera, a każdy z nich może podmienić "
         "program, który uruchamiają wszyscy klienci MCP (plik przeniesiony z innego katalogu zachowuje dawne "
         "uprawnienia: skopiuj go zamiast przenosić albo we Właściwościach pliku, na karcie Zabezpieczenia, zostaw "
         "prawo zmiany tylko administratorom).\r\n";
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

TEntryNames EntryNames(const std::string& key) {
  const std::string trimmed = Trim(key);
  if (trimmed.empty()) return TEntryNames{"orvin", ""};
  return TEntryNames{"orvin-" + AsciiForm(trimmed), "orvin-" + trimmed};
}

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
    result.Report = "Wpis \"" + EntryNames(installation.Key).Name + "\" uruchamia " + installation.Exe +
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
