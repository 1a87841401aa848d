// Test helper: WindowProbe.exe <class> <process id> null|close
// Finds the top-level window of that class that belongs to that process, then
//   null   sends it WM_NULL as a CRM application sends its answer
//          (SendMessageTimeout, SMTO_ABORTIFHUNG, 5 s) and prints how many
//          milliseconds the call took;
//   close  posts it WM_CLOSE, as taskkill without /F does.
// Exit codes: 0 done, 1 no such window, 2 the message failed, 3 bad command line.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct TSearch {
  const char* ClassName;
  DWORD ProcessId;
  HWND Found;
};

BOOL CALLBACK Match(HWND window, LPARAM parameter) {
  TSearch* search = reinterpret_cast<TSearch*>(parameter);
  DWORD processId = 0;
  char className[256] = {};
  GetWindowThreadProcessId(window, &processId);
  if (processId != search->ProcessId || GetClassNameA(window, className, sizeof className) == 0 ||
      std::strcmp(className, search->ClassName) != 0) {
    return TRUE;
  }
  search->Found = window;
  return FALSE;
}

}  // namespace

int main(int argc, char** argv) {
  const bool knownAction = argc == 4 && (std::strcmp(argv[3], "null") == 0 || std::strcmp(argv[3], "close") == 0);
  if (!knownAction) {
    std::fprintf(stderr, "usage: WindowProbe.exe <class> <process id> null|close\n");
    return 3;
  }
  TSearch search = {argv[1], static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)), nullptr};
  EnumWindows(Match, reinterpret_cast<LPARAM>(&search));
  if (search.Found == nullptr) {
    std::fprintf(stderr, "no window of class %s in process %s\n", argv[1], argv[2]);
    return 1;
  }
  if (std::strcmp(argv[3], "close") == 0) {
    if (PostMessageA(search.Found, WM_CLOSE, 0, 0)) return 0;
    std::fprintf(stderr, "PostMessage failed (error %lu)\n", GetLastError());
    return 2;
  }
  const ULONGLONG start = GetTickCount64();
  DWORD_PTR result = 0;
  const LRESULT sent = SendMessageTimeoutA(search.Found, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &result);
  const DWORD error = GetLastError();
  std::printf("%llu\n", GetTickCount64() - start);
  if (sent != 0) return 0;
  std::fprintf(stderr, "SendMessageTimeout failed (error %lu)\n", error);
  return 2;
}
