// OrvinMCP: the MCP server an MCP client starts to reach the Orvin CRM application.
#include <windows.h>

#include "core/Startup.h"
#include "platform/Platform.h"
#include "platform/Win32Platform.h"

namespace {
// A DLL that a system DLL loads later on the bridge's behalf is then looked for in
// System32 only, never beside the exe (in Downloads, say) or in the current
// folder. Windows 7 without KB2533623 lacks the call: the bridge starts all the same.
void LoadDllsFromSystem32Only() {
  using SetDirectories = BOOL(WINAPI*)(DWORD);
  const FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
  if (found == nullptr) return;
  reinterpret_cast<SetDirectories>(reinterpret_cast<void (*)()>(found))(LOAD_LIBRARY_SEARCH_SYSTEM32);
}
}  // namespace

int main() {
  LoadDllsFromSystem32Only();
  SetPlatform(&Win32Platform());
  // Workers may still wait in a send or a receive: they end with the process,
  // before any static object is destroyed under them.
  ExitProcess(static_cast<UINT>(RunBridge()));
}
