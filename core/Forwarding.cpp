#include "core/Forwarding.h"

#include "common/AICommon.h"
#include "common/AICommonUtf8.h"
#include "core/IdleWork.h"
#include "core/LinkState.h"
#include "core/Log.h"
#include "core/StdStreams.h"
#include "http/McpEndpoint.h"
#include "core/LinkAttempts.h"
#include "core/RequestLoop.h"
#include "mcp/JsonText.h"
#include "mcp/LocalMessages.h"
#include "mcp/ToolListCache.h"
#include "platform/Platform.h"

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

namespace {
constexpr int kReceiveTimeoutMinutes = 10;
constexpr std::size_t kLoggedErrorBytes = 400;
constexpr std::size_t kLoggedUnusableBytes = 80;
constexpr std::size_t kLongestContentType = 100;

struct TPostResult {
  bool Ok = false;
  std::string Reply;
  std::int32_t StatusCode = 0;
  std::string Message;
  bool MayHaveRun = false;
  std::string ContentType;
};

// One request on its way: the worker fills Post, the loop reads it once the work is done.
struct TExchange {
  TRequestPass Pass;
  std::uint32_t Generation = 0;  // of the link it went out on
  bool HoldsBackOthers = false;
  TPostResult Post;
};

std::vector<std::shared_ptr<TExchange>> InFlight;
int HoldingBack = 0;

// Runs on a worker: a reply that cannot be held is an answer too, not the end of the process.
void Post(TExchange& exchange) {
  TPostResult& result = exchange.Post;
  try {
    result.Ok = PostToCrm(exchange.Pass.Line, result.Reply, result.StatusCode, result.Message, result.MayHaveRun,
                          result.ContentType);
  } catch (const std::bad_alloc&) {
    result = TPostResult();
    result.MayHaveRun = true;
    result.Message = "zabrakło pamięci na odpowiedź Orvina";
  }
}

std::string MayHaveRunText(const std::string& message) {
  return "Orvin nie odpowiedział w ciągu " + ToDecimal(kReceiveTimeoutMinutes) +
         " min albo połączenie zerwało się w trakcie (" + message +
         "). Żądanie MOGŁO zostać wykonane - nie "
         "powtarzam go automatycznie. Sprawdź stan w Orvinie przed ponowieniem.";
}

// Bytes from outside as one readable log line: printable ASCII stays, the rest
// is shown by its code.
std::string Printable(const std::string& bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned char c : bytes) {
    if (c == '\r') {
      text += "\\r";
    } else if (c == '\n') {
      text += "\\n";
    } else if (c >= 32 && c < 127) {
      text += static_cast<char>(c);
    } else {
      text += "\\x";
      text += kHex[c >> 4];
      text += kHex[c & 15];
    }
  }
  return text;
}

bool IsBlank(const std::string& text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) > 32) return false;
  }
  return true;
}

// What came instead of a JSON-RPC message: status, content type and length.
std::string DescribeUnusableReply(const std::string& reply, std::int32_t statusCode, const std::string& contentType) {
  const std::string type =
      contentType.empty() ? std::string("brak") : Printable(FirstBytesWithoutToken(contentType, kLongestContentType));
  return "Orvin odesłał odpowiedź, która nie jest komunikatem JSON-RPC (HTTP " +
         ToDecimal(static_cast<int>(statusCode)) + ", Content-Type: " + type + ", " +
         ToDecimal(static_cast<std::uint64_t>(reply.size())) + " B)";
}

// The first bytes of an answer that broke off or was no HTTP, for the log.
std::string WhatCame(const std::string& received) {
  if (received.empty()) return std::string();
  return " Otrzymano " + ToDecimal(static_cast<std::uint64_t>(received.size())) + " B: " +
         Printable(FirstBytesWithoutToken(received, kLoggedUnusableBytes));
}

// A stale token or a switched-off endpoint means the link is gone, not an answer.
void TreatRejectionAsLostLink(TPostResult& post) {
  if (!post.Ok) return;
  if (post.StatusCode == 401) {
    post.Ok = false;
    post.Message =
        "Token stracił ważność (HTTP 401) - serwer MCP wygenerował nowy przy ponownym włączeniu.";
  } else if (post.StatusCode == 404) {
    post.Ok = false;
    post.Message = "Endpoint /mcp nie odpowiada (HTTP 404) - serwer MCP jest wyłączony.";
  }
}

// `logged` adds what only the log is told.
void AnswerMayHaveRun(const TRequestPass& pass, const std::string& message, const std::string& logged = "") {
  if (!pass.Id.empty()) WriteClientLine(MakeErrorReply(pass.Id, MayHaveRunText(message)));
  Log(WithoutToken(pass.Description + " | bez powtórki, mogło dotrzeć | " + message + logged));
}

void PassReplyOn(const TRequestPass& pass, std::string& reply, std::int32_t statusCode,
                 const std::string& contentType, std::uint32_t elapsed) {
  if (IsBlank(reply)) {
    if (!pass.Id.empty()) {
      // A request must get an answer, and this one reached the CRM application.
      AnswerMayHaveRun(pass, "Orvin odesłał pustą odpowiedź, HTTP " + ToDecimal(static_cast<int>(statusCode)));
    } else {
      Log(pass.Description + " | " + FormatTiming(elapsed, static_cast<std::int32_t>(pass.Line.size()), 0) +
          " (notyfikacja, bez odpowiedzi)");
    }
    return;
  }
  if (!IsSingleJsonObject(reply)) {
    // A cut body, a page, compressed bytes, an event stream or header text: the
    // request reached the CRM application, but no answer can be passed on.
    AnswerMayHaveRun(pass, DescribeUnusableReply(reply, statusCode, contentType),
                     ". Początek: " + Printable(FirstBytesWithoutToken(reply, kLoggedUnusableBytes)));
    return;
  }
  bool storeList = false;
  if (IsErrorReply(reply)) {
    reply = FixErrorReplyId(reply, pass.Id);
    Log(pass.Description + " | Orvin zwrócił błąd: " + CutUtf8(FirstBytesWithoutToken(reply, kLoggedErrorBytes), kLoggedErrorBytes));
    if (pass.Id.empty() && IsSingleJsonObject(pass.Line)) {
      // Nobody answers a notification, not even with an error: the log keeps it.
      // A line that is no JSON gets the CRM application's parse error as ever.
      Log(pass.Description + " | " + FormatTiming(elapsed, static_cast<std::int32_t>(pass.Line.size()), 0) +
          " (notyfikacja, bez odpowiedzi)");
      return;
    }
    if (pass.Method == "tools/list" && !pass.Id.empty()) {  // a list needs an id to answer
      std::string source;
      reply = MakeToolListReply(pass.Id, source);
      LinkState.PlaceholderListSent = true;
      ScheduleListChangedRetry("Lista narzędzi z Orvina przyszła z błędem - odsyłam: " + source + ".");
    }
  } else if (pass.Method == "tools/list") {
    LinkState.NoticeRetryCount = 0;
    storeList = true;
  }
  for (char& c : reply) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  if (storeList) SaveToolList(reply);
  WriteClientLine(reply);
  Log(pass.Description + " | " +
      FormatTiming(elapsed, static_cast<std::int32_t>(pass.Line.size()), static_cast<std::int32_t>(reply.size())));
}

void FinishExchange(const std::shared_ptr<TExchange>& finished) {
  InFlight.erase(std::find(InFlight.begin(), InFlight.end(), finished));
  if (finished->HoldsBackOthers) --HoldingBack;
  TExchange& exchange = *finished;
  TRequestPass& pass = exchange.Pass;
  TPostResult& post = exchange.Post;
  if (!post.Ok && post.MayHaveRun) {
    // The link stays, the next request goes to the same port; but a new link
    // that fails its first repeat is no link. The client must know that even a
    // repeat may have reached the CRM application.
    if (pass.Repeat) DropLink(exchange.Generation);
    AnswerMayHaveRun(pass, post.Message, WhatCame(post.Reply));
    return;
  }
  // Whatever the repeat brings is the answer: its status is not judged again.
  if (!pass.Repeat) TreatRejectionAsLostLink(post);
  if (!post.Ok && !pass.Repeat) {
    // It cannot have run: one reconnect for all requests the link lost, then one repeat each.
    if (DropLink(exchange.Generation)) {
      Log(WithoutToken("Utrata łączności: " + post.Message + " Łączę się ponownie."));
      StartLinkAttempt(AttemptKind::Reconnect);
    }
    pass.Repeat = true;
    WaitForLinkAgain(std::move(pass));
    return;
  }
  if (!post.Ok) {
    DropLink(exchange.Generation);
    if (!pass.Id.empty()) WriteClientLine(MakeErrorReply(pass.Id, post.Message));
    Log(WithoutToken(pass.Description + " | nie powiodło się | " + post.Message));
    return;
  }
  PassReplyOn(pass, post.Reply, post.StatusCode, post.ContentType, Os().MultimediaTime() - pass.Start);
}
}  // namespace

bool HoldsBackOthers(const TRequestPass& pass) {
  return pass.Method == "initialize" || (pass.Id.empty() && pass.Method != "notifications/cancelled");
}

void StartExchange(TRequestPass pass) {
  ClientId();  // built once here, on the loop's thread, before workers read it
  if (!pass.Repeat) pass.Start = Os().MultimediaTime();
  auto exchange = std::make_shared<TExchange>();
  exchange->HoldsBackOthers = HoldsBackOthers(pass);
  exchange->Pass = std::move(pass);
  exchange->Generation = LinkState.Generation;
  if (exchange->HoldsBackOthers) ++HoldingBack;
  InFlight.push_back(exchange);
  Os().QueueWork([exchange] { Post(*exchange); }, [exchange] { FinishExchange(exchange); });
}

std::size_t ExchangesInFlight() { return InFlight.size(); }

bool OthersHeldBack() { return HoldingBack > 0; }

void LogUnfinishedExchanges() {
  const std::uint32_t now = Os().MultimediaTime();
  for (const auto& exchange : InFlight) {
    Log(exchange->Pass.Description + " | bez odpowiedzi - klient zamknął strumień, nie czekam dłużej (t=" +
        ToDecimal(now - exchange->Pass.Start) + "ms)");
  }
}

void ResetExchanges() {
  InFlight.clear();
  HoldingBack = 0;
}
