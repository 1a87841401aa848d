#pragma once
// A fresh bridge process on a new fake Windows: every module's state as at
// start-up. Unit tests and the fuzz targets start each run from it.

#include "common/HiddenToken.h"
#include "core/Forwarding.h"
#include "core/LinkState.h"
#include "common/Log.h"
#include "core/RequestLoop.h"
#include "core/StdStreams.h"
#include "link/Connect.h"
#include "link/HandshakeRecords.h"
#include "link/PortOwner.h"
#include "link/ProxyWindow.h"
#include "link/WindowDiscovery.h"
#include "mcp/ToolListCache.h"
#include "tests/unit/FakePlatform.h"

inline void StartFreshProcess(FakePlatform& fake) {
  SetPlatform(&fake);
  LinkState = TLinkState();
  ResetLogState();
  ForgetTokens();
  ResetClientReader();
  ResetRequestLoop();
  ResetExchanges();
  ResetConnectAttempt();
  ResetToolListCache();
  ResetHandshakeTag();
  ResetOwnerLooks();
  ResetProxyWindow();
  InputHandle = fake.InputHandleValue;
  OutputHandle = fake.OutputHandleValue;
}
