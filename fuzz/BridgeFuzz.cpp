// One client line through the request loop and forwarding on the fake Windows,
// unlinked or linked, with a scripted CRM answer and cache file. For a line that
// is valid JSON every line the bridge writes must be one valid JSON object, a
// request gets exactly one line with its id, and a notification none with an id.
//
// A line of revision 2026-07-28 gets results that say what they are; a
// subscriptions/listen request is acknowledged by a notification instead.
//
// Input: one byte of switches, then the client line, a line feed, the CRM
// application's body, a line feed, and the cache file's content.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "common/Encodings.h"
#include "common/JsonText.h"
#include "common/Log.h"
#include "core/CommandLine.h"
#include "core/LinkState.h"
#include "core/RequestLoop.h"
#include "core/StdStreams.h"
#include "fuzz/FuzzCheck.h"
#include "link/HandshakeRecords.h"
#include "link/ProxyWindow.h"
#include "link/WindowDiscovery.h"
#include "mcp/ModernEra.h"
#include "mcp/ToolListCache.h"
#include "tests/unit/FakePlatform.h"
#include "tests/unit/FreshProcess.h"

namespace {
enum TReplyKind { EchoResult, NullIdError, OwnIdError, Blank, RawBody, MayHaveRun, NotDelivered, Rejected };

std::string Take(const std::string& text, std::size_t& from) {
  const std::size_t end = text.find('\n', from);
  const std::string part = text.substr(from, end == std::string::npos ? std::string::npos : end - from);
  from = end == std::string::npos ? text.size() : end + 1;
  return part;
}

std::vector<std::string> Lines(const std::string& output) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  while (from < output.size()) lines.push_back(Take(output, from));
  return lines;
}

FakeHttpResponse Answer(std::uint32_t status, const std::string& body) {
  FakeHttpResponse response;
  response.Status = status;
  response.Body = body;
  return response;
}

FakeHttpResponse Failure(HttpFailure failure) {
  FakeHttpResponse response;
  response.Failure = failure;
  response.ErrorCode = 12030;
  response.ReadFailsAfter = 0;
  return response;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t switches = data[0];
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::size_t from = 0;
  std::string line = Take(rest, from);
  // The first of two params counts: the line becomes one of revision 2026-07-28.
  if ((switches & 32) && !line.empty() && line[0] == '{') {
    line.insert(1, "\"params\":{\"_meta\":{\"io.modelcontextprotocol/protocolVersion\":\"2026-07-28\"}},");
  }
  const std::string body = Take(rest, from);
  const std::string cache = rest.substr(from);
  const bool linked = switches & 1;
  const auto kind = static_cast<TReplyKind>((switches >> 1) & 7);

  FakePlatform fake;
  StartFreshProcess(fake);
  fake.Args = {"C:\\Bridge\\OrvinMCP.exe", "-dir", "C:\\Crm"};
  LinkState.ProxyWindow = CreateProxyWindow();
  FUZZ_CHECK(LinkState.ProxyWindow != 0);
  if (switches & 16) fake.Files[GetToolListCacheFile()] = cache;
  if (linked) {
    fake.AddCrmWindow("C:\\Crm\\Orvin.exe").OnCopyData = [&fake](const std::string&) {
      fake.AnswerNow("OK\r\n8123\r\ntok\r\n");
      return true;
    };
  }

  const std::string id = JsonRawValue(line, "id");
  const std::string echo =
      "{\"jsonrpc\":\"2.0\",\"id\":" + (id.empty() ? std::string("null") : id) + ",\"result\":" +
      (IsSingleJsonObject(body) && body.find_first_of("\r\n") == std::string::npos ? body : std::string("{}")) + "}";
  std::deque<FakeHttpResponse> answers;
  switch (kind) {
    case EchoResult: answers.push_back(Answer(200, echo)); break;
    case NullIdError: answers.push_back(Answer(200, "{\"jsonrpc\":\"2.0\",\"id\":null,\"error\":{\"code\":-32603}}")); break;
    case OwnIdError:
      answers.push_back(Answer(500, "{\"jsonrpc\":\"2.0\",\"id\":" + (id.empty() ? std::string("null") : id) +
                                        ",\"error\":{\"code\":-32603,\"message\":\"x\"}}"));
      break;
    case Blank: answers.push_back(Answer(200, " \r\n")); break;
    case RawBody: answers.push_back(Answer(200, body)); break;
    case MayHaveRun: answers.push_back(Failure(HttpFailure::Send)); break;
    case NotDelivered: answers.push_back(Failure(HttpFailure::Connect)); break;
    case Rejected: answers.push_back(Answer(401, "")); break;
  }
  fake.Endpoint = [&answers, &echo](const FakeHttpRequest&) {
    if (answers.empty()) return Answer(200, echo);  // the repeat after a reconnection
    FakeHttpResponse next = answers.front();
    answers.pop_front();
    return next;
  };

  HandleClientLine(line);
  RunLoopUntilSettled();

  // Only a valid line binds the bridge; then the answer is valid UTF-8 when what
  // the bridge was given is, whatever the CRM application sent.
  if (!IsSingleJsonObject(line)) return 0;
  std::string given = line + cache;
  const bool validUtf8Given = ReplaceInvalidUtf8(given) == 0;
  int withId = 0;
  const bool modern = SpeaksRevision(ModernRevision(line));
  const bool listen = JsonStringValue(JsonRawValue(line, "method")) == "subscriptions/listen";
  for (const std::string& out : Lines(fake.Output)) {
    FUZZ_CHECK(IsSingleJsonObject(out));
    FUZZ_CHECK(out.find('\r') == std::string::npos);
    std::string repaired = out;
    FUZZ_CHECK(!validUtf8Given || ReplaceInvalidUtf8(repaired) == 0);
    if (!id.empty() && JsonRawValue(out, "id") == id) ++withId;
    const std::string result = JsonRawValue(out, "result");
    if (modern && !result.empty() && result[0] == '{') FUZZ_CHECK(!JsonRawValue(result, "resultType").empty());
    // A notification: only the CRM application's own result may carry an id (null).
    if (id.empty() && !(linked && (kind == EchoResult || kind == RawBody || kind == NotDelivered || kind == Rejected))) {
      FUZZ_CHECK(JsonRawValue(out, "id").empty());
    }
  }
  if (!id.empty()) FUZZ_CHECK(withId == (listen ? 0 : 1));
  if (id.empty() && !linked) FUZZ_CHECK(fake.Output.empty());
  return 0;
}
