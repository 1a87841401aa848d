#include "core/Startup.h"

#include "common/AICommon.h"
#include "common/AICommonUtf8.h"
#include "core/CommandLine.h"
#include "core/IdleWork.h"
#include "core/LinkState.h"
#include "core/Log.h"
#include "core/ManualStart.h"
#include "core/RequestLoop.h"
#include "core/StdStreams.h"
#include "link/Connect.h"
#include "link/ProxyWindow.h"

namespace {
constexpr int kExitDone = 0;
constexpr int kExitStartedByHand = 2;
constexpr int kExitNoProxyWindow = 3;

// However the loop is left, the proxy window goes with it.
struct ProxyWindowOwner {
  ~ProxyWindowOwner() {
    if (LinkState.ProxyWindow != 0) Os().DestroyWindow(LinkState.ProxyWindow);
    LinkState.ProxyWindow = 0;
  }
};

void FirstConnectionAttempt() {
  std::string message;
  bool refused = false;
  // A refusal at start-up is not kept: background attempts begin at once.
  if (ConnectToCrm(true, message, refused)) {
    AnnounceLink();
  } else {
    Log("Na razie bez połączenia: " + message);
  }
}
}  // namespace

int RunBridge() {
  InputHandle = Os().StdHandle(StdStream::Input);
  OutputHandle = Os().StdHandle(StdStream::Output);
  if (InputHandle == kInvalidHandle || OutputHandle == kInvalidHandle) {
    Log("Brak strumieni standardowych - ten program uruchamia klient MCP, nie użytkownik.");
    FinishLog();
    return kExitStartedByHand;
  }
  if (ExplainIfStartedByHand(InputHandle)) return kExitStartedByHand;
  if (!CreateProxyWindow()) {
    const std::uint32_t code = Os().LastError();
    Log("Nie udało się utworzyć okna do odbioru odpowiedzi (kod " + ToDecimal(code) + ").");
    FinishLog();
    return kExitNoProxyWindow;
  }
  ProxyWindowOwner owner;
  Log("Start. Szukam Orvina w katalogu: " + GetCrmFolder() + ", klucz MCP: " + DescribeKey(GetMcpKey()));
  FirstConnectionAttempt();
  RunRequestLoop();
  Log("Klient zamknął strumień - kończę pracę.");
  FinishLog();
  return kExitDone;
}
