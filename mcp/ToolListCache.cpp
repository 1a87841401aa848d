#include "mcp/ToolListCache.h"

#include "common/Files.h"
#include "common/Text.h"
#include "core/Log.h"
#include "mcp/JsonText.h"
#include "mcp/LocalMessages.h"
#include "platform/Platform.h"

namespace {
bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// Why `list` cannot stand as the result of a tools/list reply, or empty when it can.
// The text goes into the reply unchanged, so it must be one line of valid JSON.
std::string WhyNotAToolList(const std::string& list) {
  if (Trim(list).empty()) return "jest pusty";
  if (list.find_first_of("\r\n") != std::string::npos) return "ma więcej niż jeden wiersz";
  if (!IsSingleJsonObject(list)) return "nie jest jednym poprawnym obiektem JSON";
  if (JsonRawValue(list, "tools").compare(0, 1, "[") != 0) return "nie ma w nim tablicy \"tools\"";
  return std::string();
}

bool IsCompleteToolList(const std::string& list) {
  return WhyNotAToolList(list).empty() && !Contains(list, "\"nextCursor\"");
}
}  // namespace

std::string ToolListCachePath(const std::string& folder, const std::string& key) {
  std::string path = GetTempFolder() + "OrvinMCP_" + SanitizeFileName(folder);
  if (!key.empty()) path += SanitizeFileName(key) + "_";
  return path + "narzedzia.json";
}

void SaveToolList(const std::string& path, const std::string& reply) {
  if (reply.empty() || reply.back() != '}') return;
  // Only the result member itself: the members around it belong to this one reply.
  const std::string list = JsonMemberValue(reply, "result");
  if (!IsCompleteToolList(list)) return;

  const std::string temporary = path + "." + ToDecimal(Os().CurrentProcessId()) + ".tmp";
  std::string errorText;
  if (!WriteFileText(temporary, list, errorText)) {
    RemoveFile(temporary);  // a half-written file would only litter the folder
    Log("Nie zapisałem listy narzędzi w pliku " + path + ": " + errorText);
    return;
  }
  std::uint32_t code = 0;
  if (!MoveFileOver(temporary, path, code)) {
    RemoveFile(temporary);
    Log("Nie zapisałem listy narzędzi w pliku " + path + " (kod " + ToDecimal(code) + ").");
  }
}

std::string LoadToolList(const std::string& path) {
  if (!FileExistsAt(path)) return std::string();
  std::string text;
  std::string errorText;
  if (!ReadFileText(path, text, errorText)) {
    Log("Nie odczytałem listy narzędzi z pliku " + path + ": " + errorText);
    return std::string();
  }
  const std::string why = WhyNotAToolList(text);
  if (why.empty()) return text;
  Log("Pominąłem plik z listą narzędzi " + path + ", bo " + why + ".");
  return std::string();
}

std::string MakeToolListReply(const std::string& path, const std::string& id, std::string& source) {
  const std::string cached = LoadToolList(path);
  if (cached.empty()) {
    source = "lista zastępcza (orvin_connect)";
    return MakePlaceholderToolList(id);
  }
  source = "lista z pliku (" + ToDecimal(static_cast<std::uint64_t>(cached.size())) + "B)";
  return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"result\":" + cached + "}";
}
