#include "link/Connect.h"

#include "common/AICommon.h"
#include "common/AICommonUtf8.h"
#include "core/CommandLine.h"
#include "core/LinkState.h"
#include "core/Log.h"
#include "link/Handshake.h"
#include "link/WindowDiscovery.h"

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
}  // namespace

bool ConnectToCrm(bool background, std::string& message, bool& refused) {
  message.clear();
  refused = false;
  const std::string folder = GetCrmFolder();
  const std::string key = GetMcpKey();

  TMCPIPCOkna windows;
  TLookAlikes lookAlikes;
  if (FindCrmWindows(folder, windows, lookAlikes) == 0) {
    message = NoWindowMessage(folder, lookAlikes);
    return false;
  }

  TMCPIPCOdpowiedz answer;
  std::string running;
  std::string lastHandshakeMessage;
  bool chosen = false;
  const std::size_t count = windows.size();
  for (std::size_t i = 0; i < count && !chosen; ++i) {
    Log("Znalazłem okno Orvina (" + ToDecimal(static_cast<std::uint64_t>(i + 1)) + " z " +
        ToDecimal(static_cast<std::uint64_t>(count)) + ") - pytam o port i token.");
    std::string handshakeMessage;
    if (!RequestPortAndToken(windows[i], background, answer, handshakeMessage)) {
      lastHandshakeMessage = handshakeMessage;
      continue;
    }
    if (answer.Status == "OTHER") {
      AppendListed(running, DescribeKey(answer.Key));
    } else if (key.empty() || answer.KeySupported) {
      chosen = true;
    } else {
      AppendListed(running, "starszy Orvin bez obsługi klucza");
    }
  }

  if (!chosen) {
    message = running.empty() ? lastHandshakeMessage : NoFittingInstanceMessage(folder, key, running);
    return false;
  }
  if (answer.Status != "OK") {
    refused = answer.Status == "NOPERM" || answer.Status == "DENIED";
    message = answer.Message.empty() ? "Orvin odmówił dostępu (" + answer.Status + ")." : answer.Message;
    return false;
  }
  if (answer.Port <= 0 || answer.Token.empty()) {
    message = "Orvin zgłosił gotowość, ale nie podał portu albo tokenu.";
    return false;
  }
  LinkState.Port = answer.Port;
  LinkState.Token = answer.Token;
  return true;
}
