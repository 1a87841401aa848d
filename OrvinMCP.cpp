// OrvinMCP: the MCP server an MCP client starts to reach the Orvin CRM application.
#include "core/Startup.h"
#include "platform/Platform.h"
#include "platform/Win32Platform.h"

int main() {
  SetPlatform(&Win32Platform());
  return RunBridge();
}
