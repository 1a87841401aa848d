#include "core/Startup.h"

#include "common/Encodings.h"
#include "common/Text.h"
#include "core/CommandLine.h"
#include "core/InstallCommand.h"
#include "core/LinkState.h"
#include "common/Log.h"
#include "core/ManualStart.h"
#include "core/RequestLoop.h"
#include "core/StdStreams.h"
#include "link/ProxyWindow.h"

namespace {
constexpr int kExitDone = 0;
constexpr int kExitStartedByHand = 2;
constexpr int kExitNoProxyWindow = 3;

// A launcher (`start /b`, `Start-Process`) hands its streams on and ends at
// once; only a client that is gone as well ends the bridge.
void OnParentEnded(bool clientReads) {
  const std::string parentEnded = "Program, który uruchomił OrvinMCP, zakończył działanie";
  if (clientReads) {
    Log(parentEnded + ", ale klient nadal odbiera odpowiedzi - pracuję dalej.");
  } else {
    EndInput(parentEnded + " - nie przyjmuję nowych żądań i kończę pracę.");
  }
}

// However the loop is left, the proxy window goes with it.
struct ProxyWindowOwner {
  ~ProxyWindowOwner() {
    if (LinkState.ProxyWindow != 0) Os().DestroyWindow(LinkState.ProxyWindow);
    LinkState.ProxyWindow = 0;
  }
};
}  // namespace

int RunBridge() {
  // An administrator's command, perhaps from a script with no standard streams at all.
  if (InstallCommandGiven()) return RunInstallCommand();
  InputHandle = Os().StdHandle(StdStream::Input);
  OutputHandle = Os().StdHandle(StdStream::Output);
  // A process started with no standard handle at all gets NULL, not INVALID_HANDLE_VALUE.
  if (InputHandle == kInvalidHandle || OutputHandle == kInvalidHandle || InputHandle == kNullHandle ||
      OutputHandle == kNullHandle) {
    Log("Brak strumieni standardowych - ten program uruchamia klient MCP, nie użytkownik.");
    FinishLog();
    return kExitStartedByHand;
  }
  if (ExplainIfStartedByHand(InputHandle)) return kExitStartedByHand;
  LinkState.ProxyWindow = CreateProxyWindow();
  if (LinkState.ProxyWindow == 0) {
    const std::uint32_t code = Os().LastError();
    Log("Nie udało się utworzyć okna do odbioru odpowiedzi (kod " + ToDecimal(code) + ").");
    FinishLog();
    return kExitNoProxyWindow;
  }
  ProxyWindowOwner owner;
  Log("Start. Szukam Orvina w katalogu: " + GetCrmFolder() + ", klucz MCP: " + DescribeKey(GetMcpKey()));
  // A client that died may leave our input open in another process that
  // inherited it; but nobody reads our answers then either.
  WatchClientOutput([] { EndInput("Klient nie odbiera już odpowiedzi - nie przyjmuję nowych żądań i kończę pracę."); });
  const OsHandle parent = Os().OpenParentProcess();
  if (parent != kNullHandle) Os().WatchProcessEnd(parent, [] { AskWhetherClientReads(&OnParentEnded); });
  // The first attempt waits for the client's first message: a client that only
  // probes with a throwaway process must not make Orvin ask its user.
  RunRequestLoop();
  Log("Klient zamknął strumień - kończę pracę.");
  FinishLog();
  return kExitDone;
}
