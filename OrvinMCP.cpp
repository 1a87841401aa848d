// OrvinMCP: the MCP server an MCP client starts to reach the Orvin CRM application.
#include <windows.h>

#include "core/Startup.h"
#include "platform/Platform.h"
#include "platform/Win32Platform.h"

int main() {
  SetPlatform(&Win32Platform());
  // Workers may still wait in a send or a receive: they end with the process,
  // before any static object is destroyed under them.
  ExitProcess(static_cast<UINT>(RunBridge()));
}
