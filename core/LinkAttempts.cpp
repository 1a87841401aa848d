#include "core/LinkAttempts.h"

#include "common/Text.h"
#include "core/CommandLine.h"

namespace {
AttemptKind RunningKind = AttemptKind::StartUp;
AttemptEnded OnEnded = nullptr;

TAttemptResult Judge(AttemptKind kind, const TConnectOutcome& outcome) {
  TAttemptResult result;
  result.Outcome = outcome;
  if (outcome.Ok) {
    const std::string port = ToDecimal(static_cast<int>(outcome.Port));
    result.Announcement = kind == AttemptKind::Reconnect ? "Połączono ponownie na porcie " + port + ". Powtarzam żądanie."
                                                         : "Połączono z Orvinem na porcie " + port + ".";
    return result;
  }
  if (kind == AttemptKind::StartUp) {
    // A refusal at start-up is not kept: background attempts go on.
    result.Note = "Na razie bez połączenia: " + outcome.Message;
  } else if (kind != AttemptKind::Idle) {
    result.Refused = outcome.Refused;
  } else if (outcome.Refused) {
    result.Refused = true;
    result.Note = "Orvin odmówił: " + outcome.Message + " Przestaję pytać w tle - spróbuję przy kolejnym żądaniu.";
  }
  // Lines that waited for an idle attempt get one of their own.
  if (kind != AttemptKind::Idle) result.FailureForWaiting = outcome.Message;
  return result;
}

void OnConnectFinished(const TConnectOutcome& outcome) { OnEnded(Judge(RunningKind, outcome)); }
}  // namespace

void StartLinkAttempt(AttemptKind kind, WindowHandle proxyWindow, AttemptEnded onEnded) {
  if (ConnectAttemptRunning()) return;
  RunningKind = kind;
  OnEnded = onEnded;
  TConnectSettings settings;
  settings.Folder = GetCrmFolder();
  settings.Key = GetMcpKey();
  settings.ProxyWindow = proxyWindow;
  settings.Background = kind == AttemptKind::StartUp || kind == AttemptKind::Idle;
  StartConnectAttempt(settings, &OnConnectFinished);
}

bool LinkAttemptRunning() { return ConnectAttemptRunning(); }
