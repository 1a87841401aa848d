#include "Log.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>

namespace {
CRITICAL_SECTION g_logLock;
}

void InitLog() { InitializeCriticalSection(&g_logLock); }

void LogLine(const char* format, ...) {
  SYSTEMTIME t;
  GetLocalTime(&t);
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  EnterCriticalSection(&g_logLock);
  std::fprintf(stderr, "[%02u:%02u:%02u.%03u] [standin:%lu] %s\n", t.wHour, t.wMinute, t.wSecond,
               t.wMilliseconds, static_cast<unsigned long>(GetCurrentProcessId()), text);
  std::fflush(stderr);
  LeaveCriticalSection(&g_logLock);
}
