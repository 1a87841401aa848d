// Test helper for StdinRelay: copies standard input to standard output byte for
// byte, polling with PeekNamedPipe (which needs a real Windows pipe), then writes its
// arguments to standard error, one "[arg]" per line, and exits with 42.
// Exit 3 when PeekNamedPipe fails on the input for another reason than its end.

#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  char buffer[4096];
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) {
      DWORD error = GetLastError();
      if (error == ERROR_BROKEN_PIPE) break;  // writer closed: end of input
      std::fprintf(stderr, "PeekNamedPipe failed (error %lu)\n", error);
      return 3;
    }
    if (available == 0) {
      Sleep(10);
      continue;
    }
    DWORD read = 0;
    if (!ReadFile(input, buffer, available < sizeof buffer ? available : sizeof buffer, &read, nullptr) || read == 0)
      break;
    DWORD written = 0;
    WriteFile(output, buffer, read, &written, nullptr);
  }
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  for (int i = 1; i < argc; ++i) {
    std::string line = std::string("[") + argv[i] + "]\n";
    DWORD written = 0;
    WriteFile(error, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
  return 42;
}
