#pragma once
// The desktop chat client keeps its settings in memory while it runs and writes
// its whole file back from there: an entry added meanwhile is lost.

// The client runs as this Windows user, installed the classic way or from the Store,
// in this session or another one of the same user (a disconnected session of a
// terminal server shares the roaming folder).
bool DesktopChatAppRuns();
