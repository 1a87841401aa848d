#include "core/LinkAttempts.h"

#include "common/HiddenToken.h"
#include "common/Text.h"
#include "core/CommandLine.h"
#include "core/IdleWork.h"
#include "core/LinkState.h"
#include "common/Log.h"
#include "core/RequestLoop.h"
#include "link/Connect.h"

namespace {
AttemptKind RunningKind = AttemptKind::StartUp;

void OnAttemptFinished(const TConnectOutcome& outcome) {
  const AttemptKind kind = RunningKind;
  if (outcome.Ok) {
    LinkState.Port = outcome.Port;
    LinkState.Token = outcome.Token;
    RememberToken(outcome.Token);
    ++LinkState.Generation;
    if (kind == AttemptKind::Reconnect) {
      Log("Połączono ponownie na porcie " + ToDecimal(static_cast<int>(LinkState.Port)) + ". Powtarzam żądanie.");
      NotifyListChangedIfPlaceholder();
    } else {
      AnnounceLink();
    }
  } else if (kind == AttemptKind::StartUp) {
    // A refusal at start-up is not kept: background attempts go on.
    Log("Na razie bez połączenia: " + outcome.Message);
  } else if (kind != AttemptKind::Idle) {
    LinkState.Refused = outcome.Refused;
  } else if (outcome.Refused) {
    LinkState.Refused = true;
    Log("Orvin odmówił: " + outcome.Message + " Przestaję pytać w tle - spróbuję przy kolejnym żądaniu.");
  }
  // The next attempt looks for the window that may stand in a closed one's place at once.
  if (outcome.WindowClosed) LinkState.LastIdleAttemptTick = 0;
  // Lines that waited for an idle attempt get one of their own.
  LinkAttemptEnded(outcome.Ok || kind == AttemptKind::Idle ? std::string() : outcome.Message);
}
}  // namespace

void StartLinkAttempt(AttemptKind kind) {
  if (ConnectAttemptRunning()) return;
  RunningKind = kind;
  // Any attempt counts: the next one in the background comes 3 s after it.
  const std::uint32_t now = Os().TickCount();
  LinkState.LastIdleAttemptTick = now == 0 ? 1 : now;
  TConnectSettings settings;
  settings.Folder = GetCrmFolder();
  settings.Key = GetMcpKey();
  settings.ProxyWindow = LinkState.ProxyWindow;
  settings.Background = kind == AttemptKind::StartUp || kind == AttemptKind::Idle;
  StartConnectAttempt(settings, &OnAttemptFinished);
}

bool LinkAttemptRunning() { return ConnectAttemptRunning(); }

bool DropLink(std::uint32_t generation) {
  if (!LinkState.Connected || generation != LinkState.Generation) return false;
  LinkState.Connected = false;
  LinkState.Port = 0;
  LinkState.Token.clear();
  return true;
}
