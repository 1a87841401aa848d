#include "mcp/ModernEra.h"

#include "common/Encodings.h"
#include "common/JsonText.h"
#include "common/Text.h"

namespace {
const char kRevision[] = "2026-07-28";
const char kRevisionKey[] = "io.modelcontextprotocol/protocolVersion";
constexpr std::size_t kLoggedClientInfoBytes = 200;
const char kServerInfoKey[] = "io.modelcontextprotocol/serverInfo";
const char kServerInfo[] = "{\"name\":\"orvin-crm\",\"title\":\"Orvin CRM\",\"version\":\"1.0\"}";

// Puts `members` (each with a comma behind it) first into the object that starts at `object`.
void InsertMembers(std::string& reply, std::size_t object, std::string members) {
  if (members.empty()) return;
  const std::size_t next = reply.find_first_not_of(" \t\r\n", object + 1);
  if (next != std::string::npos && reply[next] == '}') members.pop_back();  // an empty object takes no comma
  reply.insert(object + 1, members);
}

// Results a client may keep for ttlMs; kept, a list would hide the CRM application's tools.
bool IsCacheable(const std::string& method) {
  return method == "tools/list" || method == "prompts/list" || method == "resources/list" ||
         method == "resources/templates/list" || method == "resources/read";
}

std::string Meta(const std::string& line) { return JsonParamsValue(line, "_meta"); }
}  // namespace

std::string ModernRevision(const std::string& line) {
  // A line that never names the key's namespace is of the initialize era: one
  // quick search spares the scans of a line that may be many megabytes.
  if (line.find("modelcontextprotocol") == std::string::npos) return std::string();
  return JsonRawValue(Meta(line), kRevisionKey);
}

bool SpeaksRevision(const std::string& rawRevision) { return JsonStringValue(rawRevision) == kRevision; }

std::string ShownRevision(const std::string& rawRevision) {
  return IsJsonString(rawRevision) ? JsonStringValue(rawRevision) : rawRevision;
}

std::string DescribeModernClient(const std::string& line, const std::string& rawRevision) {
  std::string info = JsonRawValue(Meta(line), "io.modelcontextprotocol/clientInfo");
  if (info.empty()) info = "(brak)";
  return ShownRevision(rawRevision) + ", clientInfo: " + CutUtf8(info, kLoggedClientInfoBytes);
}

std::string MakeDiscoverReply(const std::string& id) {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"result\":{\"supportedVersions\":[\"" + kRevision +
         "\"],\"capabilities\":{\"tools\":{\"listChanged\":true}},\"resultType\":\"complete\",\"ttlMs\":0,"
         "\"cacheScope\":\"private\",\"_meta\":{\"" + kServerInfoKey + "\":" + kServerInfo + "}}}";
}

std::string MakeUnsupportedRevisionReply(const std::string& id, const std::string& rawRevision) {
  const std::string shown = JsonEscape(ShownRevision(rawRevision));
  return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"error\":{\"code\":-32022,\"message\":\"Unsupported protocol "
         "version: " + shown + "\",\"data\":{\"supported\":[\"" + kRevision + "\"],\"requested\":\"" + shown + "\"}}}";
}

bool AsksForToolListChanges(const std::string& line) {
  return JsonRawValue(JsonParamsValue(line, "notifications"), "toolsListChanged") == "true";
}

std::string MakeSubscriptionAcknowledged(const std::string& id, bool toolListChanges) {
  return std::string("{\"jsonrpc\":\"2.0\",\"method\":\"notifications/subscriptions/acknowledged\",\"params\":{"
                     "\"notifications\":") + (toolListChanges ? "{\"toolsListChanged\":true}" : "{}") +
         ",\"_meta\":{\"io.modelcontextprotocol/subscriptionId\":" + id + "}}}";
}

std::string MakeStampedListChangedNotice(const std::string& subscriptionId) {
  return "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/tools/list_changed\",\"params\":{\"_meta\":{"
         "\"io.modelcontextprotocol/subscriptionId\":" + subscriptionId + "}}}";
}

void CompleteModernResult(std::string& reply, const std::string& method) {
  const std::size_t result = JsonMemberAt(reply, "result");
  if (result == std::string::npos || reply[result] != '{') return;
  std::string members;
  const auto add = [&](const std::string& name, const std::string& value) {
    if (JsonMemberAt(reply, name, result) == std::string::npos) members += "\"" + name + "\":" + value + ",";
  };
  add("resultType", "\"complete\"");
  if (IsCacheable(method)) {
    add("ttlMs", "0");
    add("cacheScope", "\"private\"");
  }
  const std::size_t meta = JsonMemberAt(reply, "_meta", result);
  if (meta == std::string::npos) {
    members += "\"_meta\":{\"" + std::string(kServerInfoKey) + "\":" + kServerInfo + "},";
  } else if (reply[meta] == '{' && JsonMemberAt(reply, kServerInfoKey, meta) == std::string::npos) {
    InsertMembers(reply, meta, "\"" + std::string(kServerInfoKey) + "\":" + kServerInfo + ",");  // behind result: first
  }
  InsertMembers(reply, result, std::move(members));
}

void CompleteModernError(std::string& reply) {
  const std::size_t error = JsonMemberAt(reply, "error");
  if (error == std::string::npos || reply[error] != '{') return;
  const std::size_t code = JsonMemberAt(reply, "code", error);
  if (code == std::string::npos || JsonScalarEnd(reply, code) != code + 6 || reply.compare(code, 6, "-32002") != 0) return;
  reply.replace(code, 6, "-32602");
}
