#include "mcp/ToolListCache.h"

#include "common/AICommon.h"
#include "common/AICommonUtf8.h"
#include "core/CommandLine.h"
#include "core/Log.h"
#include "mcp/JsonText.h"
#include "mcp/LocalMessages.h"
#include "platform/Platform.h"

namespace {
bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

bool IsCompleteToolList(const std::string& list) {
  return IsSingleJsonObject(list) && Contains(list, "\"tools\"") && !Contains(list, "\"nextCursor\"");
}
}  // namespace

std::string ToolListCachePath() {
  std::string path = GetTempFolder() + "OrvinMCP_" + SanitizeFileName(GetCrmFolder());
  const std::string key = GetMcpKey();
  if (!key.empty()) path += SanitizeFileName(key) + "_";
  return path + "narzedzia.json";
}

void SaveToolList(const std::string& reply) {
  if (reply.empty() || reply.back() != '}') return;
  // Only the result member itself: the members around it belong to this one reply.
  const std::string list = JsonMemberValue(reply, "result");
  if (!IsCompleteToolList(list)) return;

  const std::string path = ToolListCachePath();
  const std::string temporary = path + "." + ToDecimal(Os().CurrentProcessId()) + ".tmp";
  std::string errorText;
  if (!WriteFileText(temporary, list, errorText)) {
    Os().DeleteFile(temporary);  // a half-written file would only litter the folder
    Log(Ansi("Nie zapisałem listy narzędzi w pliku ") + path + ": " + errorText);
    return;
  }
  if (!Os().MoveFileReplace(temporary, path)) {
    const std::uint32_t code = Os().LastError();
    Os().DeleteFile(temporary);
    Log(Ansi("Nie zapisałem listy narzędzi w pliku ") + path + " (kod " + ToDecimal(code) + ").");
  }
}

std::string LoadToolList() {
  const std::string path = ToolListCachePath();
  if (!Os().FileExists(path)) return std::string();
  std::string text;
  std::string errorText;
  if (!ReadFileText(path, text, errorText)) {
    Log(Ansi("Nie odczytałem listy narzędzi z pliku ") + path + ": " + errorText);
    return std::string();
  }
  // The list goes into a reply line as it is: no blanks around it, no line feed.
  if (!IsSingleJsonObject(text) || text.front() != '{' || text.back() != '}' || !Contains(text, "\"tools\""))
    return std::string();
  return text;
}

std::string MakeToolListReply(const std::string& id, std::string& source) {
  const std::string cached = LoadToolList();
  if (cached.empty()) {
    source = Ansi("lista zastępcza (orvin_connect)");
    return MakePlaceholderToolList(id);
  }
  source = "lista z pliku (" + ToDecimal(static_cast<std::uint64_t>(cached.size())) + "B)";
  return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"result\":" + cached + "}";
}
