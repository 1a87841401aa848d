#pragma once
// What one pass of the request loop knows about the line it handles.

#include <string>

struct TRequestPass {
  std::string Line;         // UTF-8, as read
  std::string Description;  // opens the pass's log line
  std::string Id;           // raw JSON text; empty for a notification
  std::string Method;       // decoded: "tools\/list" is "tools/list"
};
