#include "core/Forwarding.h"

#include "common/AICommon.h"
#include "common/AICommonUtf8.h"
#include "core/IdleWork.h"
#include "core/LinkState.h"
#include "core/Log.h"
#include "core/StdStreams.h"
#include "http/McpEndpoint.h"
#include "link/Connect.h"
#include "mcp/JsonText.h"
#include "mcp/LocalMessages.h"
#include "mcp/ToolListCache.h"
#include "platform/Platform.h"

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

TPostResult Post(const std::string& line) {
  TPostResult result;
  result.Ok =
      PostToCrm(line, LinkState.Port, LinkState.Token, result.Reply, result.StatusCode, result.Message,
                result.MayHaveRun, result.ContentType);
  return result;
}

// The message is a sentence of its own ("... (kod 10060)."), so it follows a
// colon rather than standing in brackets; a missing full stop is added.
std::string MayHaveRunText(const std::string& message) {
  const bool stopped = !message.empty() && message.back() == '.';
  return "Orvin nie odpowiedział w ciągu " + ToDecimal(kReceiveTimeoutMinutes) +
         " min albo połączenie zerwało się w trakcie: " + message + (stopped ? "" : ".") +
         " Żądanie MOGŁO zostać wykonane - nie powtarzam go automatycznie. Sprawdź stan w Orvinie przed ponowieniem.";
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

// Drops the link, reconnects and repeats the request once; false when either fails.
bool ReconnectAndRepeat(const TRequestPass& pass, TPostResult& post) {
  Log(WithoutToken("Utrata łączności: " + post.Message + " Łączę się ponownie."));
  LinkState.Connected = false;
  LinkState.Port = 0;
  LinkState.Token.clear();
  bool refused = false;
  if (ConnectToCrm(false, post.Message, refused)) {
    Log("Połączono ponownie na porcie " + ToDecimal(static_cast<int>(LinkState.Port)) +
        ". Powtarzam żądanie.");
    NotifyListChangedIfPlaceholder();
  } else {
    LinkState.Refused = refused;
  }
  if (LinkState.Connected) {
    // Whatever the repeat brings is the answer: its status is not judged again.
    post = Post(pass.Line);
    if (post.Ok) return true;
  }
  LinkState.Connected = false;
  return false;
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
}  // namespace

void ForwardRequest(const TRequestPass& pass) {
  const std::uint32_t start = Os().MultimediaTime();
  TPostResult post = Post(pass.Line);
  if (!post.Ok && post.MayHaveRun) {
    // The link stays: the next request goes to the same port.
    AnswerMayHaveRun(pass, post.Message, WhatCame(post.Reply));
    return;
  }
  TreatRejectionAsLostLink(post);
  if (!post.Ok && !ReconnectAndRepeat(pass, post)) {
    if (post.MayHaveRun) {
      // The repeat itself may have reached the CRM application: the client must know that too.
      AnswerMayHaveRun(pass, post.Message, WhatCame(post.Reply));
      return;
    }
    if (!pass.Id.empty()) WriteClientLine(MakeErrorReply(pass.Id, post.Message));
    Log(WithoutToken(pass.Description + " | nie powiodło się | " + post.Message));
    return;
  }
  PassReplyOn(pass, post.Reply, post.StatusCode, post.ContentType, Os().MultimediaTime() - start);
}
