#pragma once
// One line per event on stderr; callers from every thread.

void InitLog();
void LogLine(const char* format, ...);
