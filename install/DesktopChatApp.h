#pragma once
// The desktop chat client keeps its settings in memory while it runs and writes
// its whole file back from there: an entry added meanwhile is lost.

// The client runs in this Windows session, installed the classic way or from the Store.
bool DesktopChatAppRuns();
