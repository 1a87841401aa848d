#include "core/RequestLoop.h"

#include "common/AICommon.h"
#include "common/AICommonUtf8.h"
#include "core/Forwarding.h"
#include "core/IdleWork.h"
#include "core/LinkState.h"
#include "core/Log.h"
#include "core/RequestPass.h"
#include "core/StdStreams.h"
#include "link/Connect.h"
#include "mcp/JsonText.h"
#include "mcp/LocalMessages.h"
#include "mcp/ToolListCache.h"

#include <algorithm>
#include <utility>

namespace {
void AnswerLocally(const TRequestPass& pass, const std::string& message) {
  const std::string lead = pass.Description + " | ";
  if (pass.Id.empty()) {
    Log(lead + "notyfikacja, brak połączenia | " + message);
  } else if (pass.Method == "initialize") {
    WriteClientLine(MakeInitializeReply(pass.Line, pass.Id));
    Log(lead + "odpowiedź własna, brak Orvina | " + message);
  } else if (pass.Method == "ping") {
    WriteClientLine(MakePingReply(pass.Id));
    Log(lead + "odpowiedź własna, brak Orvina | " + message);
  } else if (pass.Method == "tools/list") {
    LinkState.PlaceholderListSent = true;
    std::string source;
    WriteClientLine(MakeToolListReply(pass.Id, source));
    Log(lead + source + " | " + message);
  } else if (pass.Method == "tools/call") {
    WriteClientLine(MakeNotConnectedResult(pass.Id, message));
    Log(lead + "odmowa wykonania, brak Orvina | " + message);
  } else {
    WriteClientLine(MakeErrorReply(pass.Id, message));
    Log(lead + "błąd -32000 | " + message);
  }
}

bool IsConnectShortCut(const TRequestPass& pass) {
  return pass.Method == "tools/call" && !pass.Id.empty() &&
         JsonStringValue(JsonParamsValue(pass.Line, "name")) == "orvin_connect";
}

// The client holds a list the bridge made; it learns of the real one through the notice.
void AnswerConnectShortCut(const TRequestPass& pass) {
  WriteClientLine(MakeConnectedResult(pass.Id));
  LinkState.PlaceholderListSent = false;
  LinkState.NoticeRetryTick = 0;
  WriteClientLine(MakeListChangedNotice());
  Log(pass.Description + " | klient ma starą listę - odpowiedź własna i "
      "ponowne powiadomienie o zmianie listy narzędzi");
}
}  // namespace

void HandleClientLine(std::string line) {
  // A line may be many megabytes: it is moved, never copied.
  if (std::all_of(line.begin(), line.end(), [](unsigned char c) { return c <= 32; })) return;
  TRequestPass pass;
  pass.Line = std::move(line);
  pass.Description = DescribeRequest(pass.Line);
  pass.Id = JsonRawValue(pass.Line, "id");
  pass.Method = JsonStringValue(JsonRawValue(pass.Line, "method"));

  if (!LinkState.Connected) {
    std::string message;
    bool refused = false;
    if (!ConnectToCrm(false, message, refused)) {
      LinkState.Refused = refused;
      AnswerLocally(pass, message);
      return;
    }
    AnnounceLink();
  }
  if (IsConnectShortCut(pass)) {
    AnswerConnectShortCut(pass);
    return;
  }
  ForwardRequest(pass);
}

void RunRequestLoop() {
  std::string line;
  while (ReadClientLine(line)) HandleClientLine(std::move(line));
}
