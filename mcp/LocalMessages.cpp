#include "mcp/LocalMessages.h"

#include "common/Encodings.h"
#include "common/JsonText.h"
#include "common/Text.h"

namespace {
const char kDefaultProtocolVersion[] = "2025-06-18";

const char kConnectToolDescription[] =
    "Łączy z Orvin CRM. Wywołaj to narzędzie, gdy potrzebujesz danych z Orvina, a na liście narzędzi Orvina "
    "jest tylko ono. Jeśli Orvin działa, może pokazać użytkownikowi pytanie o zgodę na połączenie - poproś go "
    "o zatwierdzenie. Jeśli Orvin nie działa, poproś o jego uruchomienie i wywołaj narzędzie ponownie.";

const char kConnectedText[] =
    "Połączono z Orvin CRM. Ta rozmowa ma jeszcze starą listę narzędzi: w czacie odświeży się ona sama w ciągu "
    "kilku sekund, w Claude Code narzędzia Orvina będą widoczne w nowej sesji.";

const char kParseErrorText[] =
    "Błąd składni: wiersz nie jest poprawnym tekstem JSON, więc nie da się go odczytać ani przekazać do Orvina.";
}  // namespace

std::string MakeErrorReply(const std::string& id, const std::string& message) {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"error\":{\"code\":" + ToDecimal(-32000) + ",\"message\":\"" +
         JsonEscape(message) + "\"}}";
}

std::string MakeInitializeReply(const std::string& line, const std::string& id) {
  // Only a string may stand between the quotes of the reply.
  const std::string raw = JsonParamsValue(line, "protocolVersion");
  std::string version = IsJsonString(raw) ? JsonUnquote(raw) : std::string();
  if (Trim(version).empty()) version = kDefaultProtocolVersion;
  return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"result\":{\"protocolVersion\":\"" + version + "\","
         "\"capabilities\":{\"tools\":{\"listChanged\":true}},"
         "\"serverInfo\":{\"name\":\"orvin-crm\",\"title\":\"Orvin CRM\",\"version\":\"1.0\"}}}";
}

std::string MakePlaceholderToolList(const std::string& id) {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"result\":{\"tools\":[{\"name\":\"orvin_connect\","
         "\"description\":\"" + JsonEscape(kConnectToolDescription) + "\","
         "\"inputSchema\":{\"type\":\"object\",\"properties\":{}}}]}}";
}

std::string MakeNotConnectedResult(const std::string& id, const std::string& reason) {
  const std::string text = "Brak połączenia z Orvin CRM: " + reason +
                           " Uruchom Orvin CRM albo zatwierdź w nim pytanie o zgodę, "
                           "a potem ponów żądanie.";
  return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"result\":{\"content\":[{\"type\":\"text\",\"text\":\"" +
         JsonEscape(text) + "\"}],\"isError\":true}}";
}

std::string MakeListChangedNotice() { return "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/tools/list_changed\"}"; }

std::string MakeConnectedResult(const std::string& id) {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"result\":{\"content\":[{\"type\":\"text\",\"text\":\"" +
         JsonEscape(kConnectedText) + "\"}]}}";
}

std::string MakeParseErrorReply() {
  return "{\"jsonrpc\":\"2.0\",\"id\":null,\"error\":{\"code\":" + ToDecimal(-32700) + ",\"message\":\"" +
         JsonEscape(kParseErrorText) + "\"}}";
}

std::string MakePingReply(const std::string& id) { return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"result\":{}}"; }

std::string MakeProgressNotice(const std::string& token, std::uint32_t seconds) {
  const std::string shown = ToDecimal(seconds);
  return "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/progress\",\"params\":{\"progressToken\":" + token +
         ",\"progress\":" + shown + ",\"message\":\"" + JsonEscape("Orvin CRM pracuje nad tym żądaniem od " + shown + " s.") +
         "\"}}";
}
