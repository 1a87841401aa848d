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

struct TPostResult {
  bool Ok = false;
  std::string Reply;
  std::int32_t StatusCode = 0;
  std::string Message;
  bool MayHaveRun = false;
};

TPostResult Post(const std::string& line) {
  TPostResult result;
  result.Ok = PostToCrm(line, result.Reply, result.StatusCode, result.Message, result.MayHaveRun);
  return result;
}

std::string MayHaveRunText(const std::string& message) {
  return Ansi("Orvin nie odpowiedział w ciągu ") + ToDecimal(kReceiveTimeoutMinutes) +
         Ansi(" min albo połączenie zerwało się ") + "w trakcie (" + message +
         Ansi("). Żądanie MOGŁO zostać wykonane - nie ") +
         Ansi("powtarzam go automatycznie. Sprawdź stan w Orvinie przed ponowieniem.");
}

// A stale token or a switched-off endpoint means the link is gone, not an answer.
void TreatRejectionAsLostLink(TPostResult& post) {
  if (!post.Ok) return;
  if (post.StatusCode == 401) {
    post.Ok = false;
    post.Message =
        Ansi("Token stracił ważność (HTTP 401) - serwer MCP wygenerował nowy przy ponownym włączeniu.");
  } else if (post.StatusCode == 404) {
    post.Ok = false;
    post.Message = Ansi("Endpoint /mcp nie odpowiada (HTTP 404) - serwer MCP jest wyłączony.");
  }
}

// Drops the link, reconnects and repeats the request once; false when either fails.
bool ReconnectAndRepeat(const TRequestPass& pass, TPostResult& post) {
  Log(Ansi("Utrata łączności: ") + post.Message + Ansi(" Łączę się ponownie."));
  LinkState.Connected = false;
  LinkState.Port = 0;
  LinkState.Token.clear();
  bool refused = false;
  if (ConnectToCrm(false, post.Message, refused)) {
    Log(Ansi("Połączono ponownie na porcie ") + ToDecimal(static_cast<int>(LinkState.Port)) +
        Ansi(". Powtarzam żądanie."));
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

void AnswerMayHaveRun(const TRequestPass& pass, const std::string& message) {
  if (!pass.Id.empty()) WriteClientLine(MakeErrorReply(pass.Id, MayHaveRunText(message)));
  Log(pass.Description + Ansi(" | bez powtórki, mogło dotrzeć | ") + message);
}

void PassReplyOn(const TRequestPass& pass, std::string reply, std::int32_t statusCode, std::uint32_t elapsed) {
  if (Trim(reply).empty()) {
    if (!pass.Id.empty()) {
      // A request must get an answer, and this one reached the CRM application.
      AnswerMayHaveRun(pass, Ansi("Orvin odesłał pustą odpowiedź, HTTP ") + ToDecimal(static_cast<int>(statusCode)));
    } else {
      Log(pass.Description + " | " + FormatTiming(elapsed, static_cast<std::int32_t>(pass.Line.size()), 0) +
          " (notyfikacja, bez odpowiedzi)");
    }
    return;
  }
  bool storeList = false;
  if (IsErrorReply(reply)) {
    reply = FixErrorReplyId(reply, pass.Id);
    Log(pass.Description + Ansi(" | Orvin zwrócił błąd: ") + CutUtf8(reply, kLoggedErrorBytes));
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
      ScheduleListChangedRetry(Ansi("Lista narzędzi z Orvina przyszła z błędem - odsyłam: ") + source + ".");
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
    AnswerMayHaveRun(pass, post.Message);  // the link stays: the next request goes to the same port
    return;
  }
  TreatRejectionAsLostLink(post);
  if (!post.Ok && !ReconnectAndRepeat(pass, post)) {
    if (post.MayHaveRun) {
      // The repeat itself may have reached the CRM application: the client must know that too.
      AnswerMayHaveRun(pass, post.Message);
      return;
    }
    if (!pass.Id.empty()) WriteClientLine(MakeErrorReply(pass.Id, post.Message));
    Log(pass.Description + Ansi(" | nie powiodło się | ") + post.Message);
    return;
  }
  PassReplyOn(pass, post.Reply, post.StatusCode, Os().MultimediaTime() - start);
}
