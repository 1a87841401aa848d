#pragma once
// What the request loop knows about one line of the client, from its arrival to its answer.

#include <cstdint>
#include <string>

struct TRequestPass {
  std::string Line;         // UTF-8, as read
  std::string Description;  // opens the pass's log line
  std::string Id;           // raw JSON text; empty for a notification
  std::string Method;       // decoded: "tools\/list" is "tools/list"
  bool Modern = false;      // of revision 2026-07-28: its results say what they are
  bool Repeat = false;      // sent once and rejected before it could run: waits for the new link
  std::uint32_t LinkWaitEnd = 0;  // while it waits for a link: when it is answered without one (0: not yet set)
  std::uint32_t Start = 0;        // multimedia time of its first send, for the log
  std::string Token;              // of the link it last went out on: the log never shows it
};
