#include "link/Connect.h"

#include "common/Encodings.h"
#include "common/Text.h"
#include "common/Log.h"
#include "link/Handshake.h"
#include "link/WindowDiscovery.h"

#include <memory>

namespace {
void AppendListed(std::string& list, const std::string& entry) {
  if (!list.empty()) list += ", ";
  list += entry;
}

std::string NoWindowMessage(const std::string& folder, const TLookAlikes& lookAlikes) {
  if (lookAlikes.Count == 0) return "Nie znaleziono uruchomionego Orvina (szukam w katalogu " + folder + ").";
  const std::string found = "Znaleziono " + ToDecimal(static_cast<int>(lookAlikes.Count));
  // Not a wrong -dir: the folder of none of them could be read.
  if (lookAlikes.RightsCount == lookAlikes.Count) {
    return found + " okien wyglądających jak Orvin, ale Windows nie pozwala sprawdzić, z którego katalogu "
           "działają: " + DifferentRightsText();
  }
  std::string where;
  for (const std::string& other : lookAlikes.Folders) AppendListed(where, other);
  if (!where.empty()) where = " (działają z: " + where + ")";
  std::string message = found +
                        " okien wyglądających jak Orvin, ale żadne nie należy do programu z katalogu " + folder +
                        where + ". Uruchom Orvin z tego katalogu albo wskaż właściwy katalog przełącznikiem -dir.";
  if (lookAlikes.RightsCount > 0) {
    message += " Dla " + ToDecimal(static_cast<int>(lookAlikes.RightsCount)) +
               " z nich Windows nie pozwala sprawdzić katalogu: " + DifferentRightsText();
  }
  return message;
}

std::string NoFittingInstanceMessage(const std::string& folder, const std::string& key, const std::string& running) {
  if (!key.empty()) {
    return "Żaden Orvin z katalogu " + folder + " nie ma klucza MCP " + DescribeKey(key) +
           " (działają: " + running + "). Uruchom Orvin z przełącznikiem -mcp " + key +
           " albo popraw klucz w konfiguracji klienta MCP.";
  }
  return "Każdy Orvin z katalogu " + folder + " ma klucz MCP (działają: " + running +
         "), a ten wpis go nie podaje. Dodaj w konfiguracji klienta MCP \"args\": [\"-mcp\", \"<klucz>\"].";
}
struct TAttempt {
  bool Running = false;
  TConnectSettings Settings;
  ConnectFinished OnFinished = nullptr;
  bool Discovering = false;
  TMCPIPCOkna Windows;
  TLookAlikes LookAlikes;
  std::size_t Index = 0;
  THandshake Handshake;
  std::string RunningKeys;  // what the instances that did not fit hold
  std::string LastHandshakeMessage;
  bool LastWindowClosed = false;
  bool Chosen = false;
};

TAttempt Attempt;
bool AskingStopped = false;

void OnHandshakeStep() { ContinueConnectAttempt(); }

void AskWindow(std::size_t index) {
  Attempt.Index = index;
  Log("Znalazłem okno Orvina (" + ToDecimal(static_cast<std::uint64_t>(index + 1)) + " z " +
      ToDecimal(static_cast<std::uint64_t>(Attempt.Windows.size())) + ") - pytam o port i token.");
  THandshake& handshake = Attempt.Handshake;
  handshake.Window = Attempt.Windows[index];
  handshake.ProxyWindow = Attempt.Settings.ProxyWindow;
  handshake.Background = Attempt.Settings.Background;
  handshake.Key = Attempt.Settings.Key;
  // Two windows' answers cannot be told apart, so only the last one asked is listened to late.
  handshake.MayListenLate = index + 1 == Attempt.Windows.size();
  StartHandshake(handshake, &OnHandshakeStep);
}

void Finish(TConnectOutcome outcome) {
  const ConnectFinished onFinished = Attempt.OnFinished;
  Attempt = TAttempt();
  onFinished(outcome);
}

// The verdict on the instance chosen, or on why none was.
TConnectOutcome Verdict() {
  TConnectOutcome outcome;
  const TMCPIPCOdpowiedz& answer = Attempt.Handshake.Reply;
  if (!Attempt.Chosen) {
    outcome.WindowClosed = Attempt.RunningKeys.empty() && Attempt.LastWindowClosed;
    outcome.Message = Attempt.RunningKeys.empty()
                          ? Attempt.LastHandshakeMessage
                          : NoFittingInstanceMessage(Attempt.Settings.Folder, Attempt.Settings.Key, Attempt.RunningKeys);
  } else if (answer.Status != "OK") {
    outcome.Refused = answer.Status == "NOPERM" || answer.Status == "DENIED";
    outcome.Message = answer.Message.empty() ? "Orvin odmówił dostępu (" + answer.Status + ")." : answer.Message;
  } else if (answer.Port <= 0 || answer.Port > 65535 || answer.Token.empty()) {
    // A port that no socket can have is as good as none: it must not be cut to one that can.
    outcome.Message = "Orvin zgłosił gotowość, ale nie podał portu albo tokenu.";
  } else {
    outcome.Ok = true;
    outcome.Port = static_cast<std::uint16_t>(answer.Port);
    outcome.Token = answer.Token;
    outcome.ProcessId = Os().WindowProcessId(Attempt.Windows[Attempt.Index]);
  }
  return outcome;
}

void JudgeAnswer() {
  const THandshake& handshake = Attempt.Handshake;
  if (!handshake.Answered) {
    Attempt.LastHandshakeMessage = handshake.Message;
    Attempt.LastWindowClosed = handshake.WindowGone;
  } else if (handshake.Reply.Status == "OTHER") {
    AppendListed(Attempt.RunningKeys, DescribeKey(handshake.Reply.Key));
  } else if (Attempt.Settings.Key.empty() || handshake.Reply.KeySupported) {
    Attempt.Chosen = true;
  } else {
    AppendListed(Attempt.RunningKeys, "starszy Orvin bez obsługi klucza");
  }
}

struct TFound {
  TMCPIPCOkna Windows;
  TLookAlikes LookAlikes;
};

void OnWindowsFound(const TFound& found) {
  Attempt.Discovering = false;
  Attempt.Windows = found.Windows;
  Attempt.LookAlikes = found.LookAlikes;
  if (Attempt.Windows.empty()) {
    TConnectOutcome outcome;
    outcome.Message = NoWindowMessage(Attempt.Settings.Folder, Attempt.LookAlikes);
    Finish(outcome);
    return;
  }
  AskWindow(0);
}
}  // namespace

void StartConnectAttempt(const TConnectSettings& settings, ConnectFinished onFinished) {
  if (Attempt.Running) return;
  Attempt = TAttempt();
  Attempt.Running = true;
  Attempt.Settings = settings;
  Attempt.OnFinished = onFinished;
  Attempt.Discovering = true;
  auto found = std::make_shared<TFound>();
  const std::string folder = settings.Folder;
  Os().QueueWork([found, folder] { FindCrmWindows(folder, found->Windows, found->LookAlikes); },
                 [found] { OnWindowsFound(*found); });
}

bool ConnectAttemptRunning() { return Attempt.Running; }

bool ConnectAttemptAsking() { return Attempt.Running && !Attempt.Discovering; }

void ContinueConnectAttempt() {
  if (!Attempt.Running || Attempt.Discovering) return;
  ContinueHandshake(Attempt.Handshake, !AskingStopped, &OnHandshakeStep);
  if (Attempt.Handshake.Step != HandshakeStep::Done) return;
  JudgeAnswer();
  if (!Attempt.Chosen && Attempt.Index + 1 < Attempt.Windows.size()) {
    AskWindow(Attempt.Index + 1);
    return;
  }
  Finish(Verdict());
}

std::uint32_t ConnectAttemptWakeIn() {
  return Attempt.Running && !Attempt.Discovering ? HandshakeWakeIn(Attempt.Handshake) : kNoWake;
}

void StopAskingForLinks() {
  AskingStopped = true;
  ContinueConnectAttempt();
}

void ResetConnectAttempt() {
  Attempt = TAttempt();
  AskingStopped = false;
}
