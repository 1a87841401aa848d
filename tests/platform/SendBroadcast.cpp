// Test helper: broadcasts WM_SETTINGCHANGE to every top-level window with a
// 10-second time-out per window, as installers and the system settings do, and
// prints how many milliseconds the broadcast took.

#include <windows.h>

#include <cstdio>

int main() {
  const DWORD start = GetTickCount();
  DWORD_PTR result = 0;
  SendMessageTimeoutA(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>("Environment"), SMTO_NORMAL,
                      10000, &result);
  std::printf("%lu\n", static_cast<unsigned long>(GetTickCount() - start));
  return 0;
}
