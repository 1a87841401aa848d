#include "mcp/ToolListCache.h"

#include "common/Files.h"
#include "common/JsonText.h"
#include "common/Log.h"
#include "common/Text.h"
#include "mcp/LocalMessages.h"
#include "platform/Platform.h"

#include <memory>

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

namespace {
// One replace at a time waits for another bridge on a worker; a list that comes
// meanwhile follows it, and only the newest one.
struct TCacheWriter {
  bool Waiting = false;
  std::string NextPath, NextList;
};

TCacheWriter Writer;

void LogNotSaved(const std::string& path, std::uint32_t code) {
  Log("Nie zapisałem listy narzędzi w pliku " + path + " (kod " + ToDecimal(code) + ").");
}

void StoreList(const std::string& path, const std::string& list) {
  const std::string temporary = path + "." + ToDecimal(Os().CurrentProcessId()) + ".tmp";
  std::string errorText;
  if (!WriteFileText(temporary, list, errorText)) {
    RemoveFile(temporary);  // a half-written file would only litter the folder
    Log("Nie zapisałem listy narzędzi w pliku " + path + ": " + errorText);
    return;
  }
  std::uint32_t code = 0;
  if (MoveFileOver(temporary, path, code, TPatience::None)) return;
  if (!IsSharingConflict(code)) {
    RemoveFile(temporary);
    LogNotSaved(path, code);
    return;
  }
  Writer.Waiting = true;
  auto failure = std::make_shared<std::uint32_t>(0);  // the error code, when the move failed for good
  Os().QueueWork(
      [temporary, path, failure] {
        std::uint32_t code = 0;
        if (MoveFileOver(temporary, path, code, TPatience::Brief)) return;
        RemoveFile(temporary);
        *failure = code;
      },
      [path, failure] {
        Writer.Waiting = false;
        if (*failure != 0) LogNotSaved(path, *failure);
        if (Writer.NextPath.empty()) return;
        const std::string nextPath = std::move(Writer.NextPath);
        const std::string nextList = std::move(Writer.NextList);
        Writer = TCacheWriter();
        StoreList(nextPath, nextList);
      });
}
}  // namespace

void SaveToolList(const std::string& path, const std::string& reply) {
  if (reply.empty() || reply.back() != '}') return;
  // Only the result member itself: the members around it belong to this one reply.
  const std::string list = JsonMemberValue(reply, "result");
  if (!IsCompleteToolList(list)) return;
  if (Writer.Waiting) {
    Writer.NextPath = path;
    Writer.NextList = list;
    return;
  }
  StoreList(path, list);
}

TCacheFile ReadCacheFile(const std::string& path, bool patiently) {
  TCacheFile file;
  if (!FileExistsAt(path)) return file;
  file.Exists = true;
  std::uint32_t code = 0;
  if (!ReadFileText(path, file.Text, file.Error, code, patiently ? TPatience::Brief : TPatience::None)) {
    file.Busy = IsSharingConflict(code);
  }
  return file;
}

std::string JudgeCacheFile(const std::string& path, const TCacheFile& file) {
  if (!file.Exists || file.Busy) return std::string();
  if (!file.Error.empty()) {
    Log("Nie odczytałem listy narzędzi z pliku " + path + ": " + file.Error);
    return std::string();
  }
  const std::string why = WhyNotAToolList(file.Text);
  if (why.empty()) return file.Text;
  Log("Pominąłem plik z listą narzędzi " + path + ", bo " + why + ".");
  return std::string();
}

std::string ToolListReply(const std::string& list, const std::string& id, std::string& source) {
  if (list.empty()) {
    source = "lista zastępcza (orvin_connect)";
    return MakePlaceholderToolList(id);
  }
  source = "lista z pliku (" + ToDecimal(static_cast<std::uint64_t>(list.size())) + "B)";
  return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"result\":" + list + "}";
}

void ResetToolListCache() { Writer = TCacheWriter(); }

std::string LoadToolList(const std::string& path) { return JudgeCacheFile(path, ReadCacheFile(path, false)); }

std::string MakeToolListReply(const std::string& path, const std::string& id, std::string& source) {
  return ToolListReply(LoadToolList(path), id, source);
}
