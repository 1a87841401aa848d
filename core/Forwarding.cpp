#include "core/Forwarding.h"

#include "common/Encodings.h"
#include "common/JsonText.h"
#include "common/Log.h"
#include "common/Text.h"
#include "core/CommandLine.h"
#include "http/McpEndpoint.h"
#include "link/PortOwner.h"
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

// A refused connection cannot have reached the CRM application: a full listen
// queue refuses at once, so under a burst of calls a refusal is no lost link yet.
// Pauses between the tries, about a second in all.
constexpr std::uint32_t kRefusedRetryPauses[] = {100, 300, 600};

const char kEndpointOff[] = "Endpoint /mcp nie odpowiada (HTTP 404) - serwer MCP jest wyłączony.";

// Why a request that reached the CRM application got no answer of its own.
const char kOutOfMemory[] = "Zabrakło pamięci na odpowiedź Orvina";

// One request on its way: the worker fills Post, the loop reads it once the work is done.
struct TExchange {
  TRequestPass Pass;
  std::uint32_t Generation = 0;  // of the link it went out on
  std::uint16_t Port = 0;
  std::uint32_t CrmProcessId = 0;  // the one process that may take the connection
  bool LookForOwner = false;        // on every connection, before its first byte
  TConnectionOwner Owner;           // what the last look found
  bool HoldsBackOthers = false;
  bool Cancelled = false;  // by the client while it ran: its answer goes nowhere
  TPostResult Post;
  std::uint32_t RefusedFor = 0;  // how long refused connections were tried again
  ExchangeFinished OnFinished = nullptr;
};

struct TForwardingState {
  std::vector<std::shared_ptr<TExchange>> InFlight;
  int HoldingBack = 0;
};

TForwardingState State;

// A CRM application that stopped its MCP server may have left the port to
// another user's program, which must get neither the token nor the request.
// Nothing went out then, so the request cannot have run.
TPostResult PostToCrmOnly(TExchange& exchange) {
  if (!exchange.LookForOwner) return PostToCrm(exchange.Pass.Line, exchange.Port, exchange.Pass.Token);
  return PostToCrm(exchange.Pass.Line, exchange.Port, exchange.Pass.Token, [&exchange](OsHandle connection) {
    exchange.Owner = LookWhoOwns(connection, exchange.Port, exchange.CrmProcessId);
    return exchange.Owner.Refusal;
  });
}

// Runs on a worker: an answer too big to hold came after the request went out; the bridge goes on.
void Post(TExchange& exchange) {
  TPostResult& result = exchange.Post;
  try {
    result = PostToCrmOnly(exchange);
    const std::uint32_t start = Os().TickCount();
    for (std::uint32_t pause : kRefusedRetryPauses) {
      if (!result.Refused) break;
      Os().Sleep(pause);
      result = PostToCrmOnly(exchange);
      exchange.RefusedFor = Os().TickCount() - start;
    }
  } catch (const std::bad_alloc&) {
    result = TPostResult();
    result.MayHaveRun = true;
    result.Message = kOutOfMemory;
  }
}

// The cause when no whole reply came back after the request may have reached the
// CRM application. The message is a sentence of its own ("... (kod 10060)."), so
// it follows a colon rather than standing in brackets.
std::string NoWholeReplyText(const std::string& message) {
  return "Orvin nie odpowiedział w ciągu " + ToDecimal(kReceiveTimeoutMinutes) +
         " min albo połączenie zerwało się w trakcie: " + message;
}

// The cause when a whole reply came that is no JSON-RPC message: status, content type and length.
std::string DescribeUnusableReply(const std::string& reply, std::int32_t statusCode, const std::string& contentType) {
  const std::string type = contentType.empty() ? std::string("brak") : LogExcerpt(contentType, kLongestContentType);
  return "Orvin odpowiedział czymś, co nie jest komunikatem MCP (HTTP " + ToDecimal(static_cast<int>(statusCode)) +
         ", Content-Type: " + type + ", " + ToDecimal(static_cast<std::uint64_t>(reply.size())) + " B).";
}

// The first bytes of an answer that broke off or was no HTTP, for the log.
std::string WhatCame(const std::string& received) {
  if (received.empty()) return std::string();
  return " Otrzymano " + ToDecimal(static_cast<std::uint64_t>(received.size())) + " B: " +
         LogExcerpt(received, kLoggedUnusableBytes);
}

// A stale token or a switched-off endpoint means the link is gone, not an answer;
// but a 404 that brings a JSON-RPC response shows that the endpoint handled the request.
void TreatRejectionAsLostLink(TPostResult& post) {
  if (!post.Ok) return;
  if (post.StatusCode == 401) {
    post.Ok = false;
    post.Message =
        "Token stracił ważność (HTTP 401) - serwer MCP wygenerował nowy przy ponownym włączeniu.";
  } else if (post.StatusCode == 404 && !(IsSingleJsonObject(post.Reply) && IsJsonRpcResponse(post.Reply))) {
    post.Ok = false;
    post.Message = kEndpointOff;
  }
}

// The client's error answer (a request's only): `cause` tells the client what
// happened, and a missing full stop is added; the log is told `logged`, or the cause itself.
std::string AnswerMayHaveRun(const TRequestPass& pass, const std::string& cause, const std::string& logged = "") {
  Log(pass.Description + " | bez powtórki, mogło dotrzeć | " + (logged.empty() ? cause : logged));
  if (pass.Id.empty()) return std::string();
  const bool stopped = !cause.empty() && cause.back() == '.';
  return MakeErrorReply(pass.Id, cause + (stopped ? " " : ". ") +
                                     "Żądanie MOGŁO zostać wykonane - nie powtarzam go automatycznie. "
                                     "Sprawdź stan w Orvinie przed ponowieniem.");
}

// A whole reply came, but no JSON-RPC message: the request reached the CRM
// application, and no answer can be passed on.
std::string AnswerUnusableReply(const TRequestPass& pass, const std::string& reply, std::int32_t statusCode,
                                const std::string& contentType) {
  const std::string cause = DescribeUnusableReply(reply, statusCode, contentType);
  return AnswerMayHaveRun(pass, cause,
                          reply.empty() ? cause : cause + " Początek: " + LogExcerpt(reply, kLoggedUnusableBytes));
}

enum class TReplyVerdict { Answer, NoAnswer, Unusable, OutOfMemory };

void LogUnansweredNotification(const TRequestPass& pass, std::uint32_t elapsed) {
  Log(pass.Description + " | " + FormatTiming(elapsed, static_cast<std::int32_t>(pass.Line.size()), 0) +
      " (notyfikacja, bez odpowiedzi)");
}

// Judges the reply and makes it the client's line. Nothing goes to the client
// here, so that memory running out on the way still leaves the one answer to give.
TReplyVerdict PrepareReply(const TRequestPass& pass, std::string& reply, std::uint32_t elapsed,
                           TExchangeResult& result) {
  // A request is answered only by a response; a notification may get any message.
  if (!IsSingleJsonObject(reply) || (!pass.Id.empty() && !IsJsonRpcResponse(reply))) return TReplyVerdict::Unusable;
  const std::size_t replaced = ReplaceInvalidUtf8(reply);  // a client's strict reader would refuse the whole line
  if (replaced > 0) {
    Log(pass.Description + " | Orvin odesłał tekst, który nie jest poprawnym UTF-8 - błędne sekwencje zastąpiłem "
        "znakiem U+FFFD (" + ToDecimal(static_cast<std::uint64_t>(replaced)) + ").");
  }
  if (!pass.Id.empty()) {
    const std::string ownId = JsonRawValue(reply, "id");
    if (PutRequestId(reply, pass.Id)) {
      Log(pass.Description +
          (ownId.empty() ? " | Orvin nie podał id w odpowiedzi"
                         : " | Orvin podał w odpowiedzi inne id: " + LogExcerpt(ownId, kLoggedUnusableBytes)) +
          " - przekazuję ją z id żądania.");
    }
  }
  bool storeList = false;
  if (IsErrorReply(reply)) {
    Log(pass.Description + " | Orvin zwrócił błąd: " + LogExcerpt(reply, kLoggedErrorBytes));
    if (pass.Id.empty() && IsSingleJsonObject(pass.Line)) {
      // Nobody answers a notification, not even with an error: the log keeps it.
      // A line that is no JSON gets the CRM application's parse error as ever.
      LogUnansweredNotification(pass, elapsed);
      return TReplyVerdict::NoAnswer;
    }
    if (pass.Method == "tools/list" && !pass.Id.empty()) {  // a list needs an id to answer
      // A file that another bridge replaces just now gives the placeholder: the
      // notice that follows makes the client ask again anyway.
      std::string source;
      reply = MakeToolListReply(GetToolListCacheFile(), pass.Id, source);
      result.NoticeRetry = "Lista narzędzi z Orvina przyszła z błędem - odsyłam: " + source + ".";
    }
  } else if (pass.Method == "tools/list") {
    result.CrmListArrived = true;
    storeList = true;
  }
  for (char& c : reply) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  if (storeList) SaveToolList(GetToolListCacheFile(), reply);
  return TReplyVerdict::Answer;
}

void PassReplyOn(const TRequestPass& pass, std::string& reply, std::int32_t statusCode,
                 const std::string& contentType, std::uint32_t elapsed, TExchangeResult& result) {
  if (IsAllBlankOrControl(reply)) {
    if (!pass.Id.empty()) {
      // A request must get an answer, and this one reached the CRM application.
      result.Answer = AnswerUnusableReply(pass, reply, statusCode, contentType);
    } else {
      LogUnansweredNotification(pass, elapsed);
    }
    return;
  }
  const std::size_t replyBytes = reply.size();
  TReplyVerdict verdict = TReplyVerdict::OutOfMemory;
  try {
    verdict = PrepareReply(pass, reply, elapsed, result);
  } catch (const std::bad_alloc&) {
    std::string().swap(reply);  // what the reply held is needed to go on
    result.NoticeRetry.clear();
    result.CrmListArrived = false;
  }
  switch (verdict) {
    case TReplyVerdict::Answer: break;
    case TReplyVerdict::NoAnswer: return;
    case TReplyVerdict::Unusable:
      // A cut body, a page, compressed bytes, an event stream, header text or an
      // object that is no response.
      result.Answer = AnswerUnusableReply(pass, reply, statusCode, contentType);
      return;
    case TReplyVerdict::OutOfMemory:
      result.Answer = AnswerMayHaveRun(
          pass, kOutOfMemory + std::string(" (") + ToDecimal(static_cast<std::uint64_t>(replyBytes)) + " B)");
      return;
  }
  const std::size_t answerBytes = reply.size();
  result.Answer = std::move(reply);
  result.FromCrm = true;
  Log(pass.Description + " | " +
      FormatTiming(elapsed, static_cast<std::int32_t>(pass.Line.size()), static_cast<std::int32_t>(answerBytes)));
}

// It cannot have run: the link it went out on is lost.
void LoseLink(const TExchange& exchange, TExchangeResult& result) {
  result.Link = LinkVerdict::Lost;
  result.LostBecause = exchange.Post.Message;
}

TExchangeResult Judge(TExchange& exchange) {
  TRequestPass& pass = exchange.Pass;
  TPostResult& post = exchange.Post;
  TExchangeResult result;
  result.Generation = exchange.Generation;
  const std::string ownerNote = OwnerLookNote(exchange.Owner, exchange.Port);
  if (!ownerNote.empty()) Log(ownerNote);
  if (exchange.RefusedFor > 0) {
    Log(pass.Description + " | Orvin odrzucał połączenie - ponawiałem je przez " + ToDecimal(exchange.RefusedFor) +
        " ms.");
  }
  TreatRejectionAsLostLink(post);
  result.Cancelled = exchange.Cancelled;
  // A cancelled tool call that may have run is abandoned: a retry may take its answer.
  const bool abandoned =
      exchange.Cancelled && pass.Method == "tools/call" && !pass.Id.empty() && (post.Ok || post.MayHaveRun);
  if (exchange.Cancelled && !abandoned) {
    // MCP asks no answer for a cancelled request, and the client no longer knows its id.
    if (!post.Ok && !post.MayHaveRun && !pass.Repeat) LoseLink(exchange, result);
    Log(pass.Description + " | anulowane przez klienta - odpowiedź Orvina pomijam");
  } else if (!post.Ok && post.MayHaveRun) {
    // The link stays, the next request goes to the same port; but a new link
    // that fails its first repeat is no link. The client must know that even a
    // repeat may have reached the CRM application.
    if (pass.Repeat) result.Link = LinkVerdict::Down;
    result.Answer = AnswerMayHaveRun(pass, post.Message == kOutOfMemory ? post.Message : NoWholeReplyText(post.Message),
                                     post.Message + WhatCame(post.Reply));
  } else if (!post.Ok && !pass.Repeat) {
    // It cannot have run: one reconnect for all requests the link lost, then one repeat each.
    LoseLink(exchange, result);
    result.Repeat = true;
    pass.Repeat = true;
  } else if (!post.Ok) {
    // Rejected again: the client is told why, in the same words, and the link stays down.
    result.Link = post.Message == kEndpointOff ? LinkVerdict::EndpointOff : LinkVerdict::Down;
    if (!pass.Id.empty()) result.Answer = MakeErrorReply(pass.Id, post.Message);
    Log(pass.Description + " | nie powiodło się | " + post.Message);
  } else {
    PassReplyOn(pass, post.Reply, post.StatusCode, post.ContentType, Os().TickCount() - pass.Start, result);
  }
  result.Pass = std::move(pass);
  return result;
}

void FinishExchange(const std::shared_ptr<TExchange>& finished) {
  State.InFlight.erase(std::find(State.InFlight.begin(), State.InFlight.end(), finished));
  if (finished->HoldsBackOthers) --State.HoldingBack;
  finished->OnFinished(Judge(*finished));
}
}  // namespace

bool HoldsBackOthers(const TRequestPass& pass) {
  return pass.Method == "initialize" || (pass.Id.empty() && pass.Method != "notifications/cancelled");
}

void StartExchange(TRequestPass pass, const TLinkState& link, ExchangeFinished onFinished) {
  if (!pass.Repeat) pass.Start = Os().TickCount();
  pass.Token = link.Token;
  auto exchange = std::make_shared<TExchange>();
  exchange->HoldsBackOthers = HoldsBackOthers(pass);
  exchange->Pass = std::move(pass);
  exchange->Generation = link.Generation;
  exchange->Port = link.Port;
  exchange->CrmProcessId = link.CrmProcessId;
  exchange->LookForOwner = OwnerLookWorthIt();
  exchange->OnFinished = onFinished;
  if (exchange->HoldsBackOthers) ++State.HoldingBack;
  State.InFlight.push_back(exchange);
  Os().QueueWork([exchange] { Post(*exchange); }, [exchange] { FinishExchange(exchange); });
}

std::size_t ExchangesInFlight() { return State.InFlight.size(); }

std::size_t ExchangesAwaited() {
  return static_cast<std::size_t>(std::count_if(State.InFlight.begin(), State.InFlight.end(),
                                                [](const std::shared_ptr<TExchange>& e) { return !e->Cancelled; }));
}

bool OthersHeldBack() { return State.HoldingBack > 0; }

const TRequestPass* MarkCancelled(const std::string& requestId) {
  const TRequestPass* named = nullptr;
  for (const auto& exchange : State.InFlight) {
    if (exchange->Pass.Id == requestId) {
      exchange->Cancelled = true;
      named = &exchange->Pass;
    }
  }
  return named;
}

std::string EndpointOffText() { return kEndpointOff; }

void LogUnfinishedExchanges() {
  const std::uint32_t now = Os().TickCount();
  for (const auto& exchange : State.InFlight) {
    Log(exchange->Pass.Description + " | bez odpowiedzi - klient zamknął strumień, nie czekam dłużej (t=" +
        ToDecimal(now - exchange->Pass.Start) + "ms)");
  }
}

void ResetExchanges() { State = TForwardingState(); }
