#include "RecordFile.h"

#include <cstdio>

namespace {
FILE* g_recordFile = nullptr;
}

bool OpenRecordFile(const std::string& path, std::string& error) {
  g_recordFile = std::fopen(path.c_str(), "ab");
  if (g_recordFile == nullptr) {
    error = "cannot open the record file " + path;
    return false;
  }
  return true;
}

void AppendRecordLine(const std::string& json) {
  if (g_recordFile == nullptr) return;
  std::fputs(json.c_str(), g_recordFile);
  std::fputc('\n', g_recordFile);
  // Flushed at once: the process may be ended at any moment.
  std::fflush(g_recordFile);
}
