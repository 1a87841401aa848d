#include "platform/win32/Win32Impl.h"

#include <deque>

namespace {
// Workers take work from one queue and put it, finished, on another; the loop
// waits for the second one's event beside its window messages. A worker that
// finds the queue empty waits for more, so bursts reuse threads.
struct TWorkItem {
  LoopTask Work, Done;
};

struct TWorkerPool {
  CRITICAL_SECTION Lock;
  HANDLE Queued = nullptr;    // semaphore: one count per item in Waiting
  HANDLE Finished = nullptr;  // auto-reset: Done holds items for the loop
  std::deque<TWorkItem> Waiting, Done;  // guarded by Lock
  int IdleWorkers = 0;                  // guarded by Lock
};

TWorkerPool g_pool;
bool g_poolReady = false;

// The process whose end the loop waits for beside the rest.
struct TWatchedProcess {
  HANDLE Process = nullptr;
  LoopTask OnEnded;
};

TWatchedProcess g_watched;

bool PreparePool() {
  if (g_poolReady) return true;
  InitializeCriticalSection(&g_pool.Lock);
  g_pool.Queued = CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, nullptr);
  g_pool.Finished = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  g_poolReady = g_pool.Queued != nullptr && g_pool.Finished != nullptr;
  return g_poolReady;
}

DWORD WINAPI RunWorker(LPVOID) {
  for (;;) {
    if (WaitForSingleObject(g_pool.Queued, INFINITE) != WAIT_OBJECT_0) return 0;
    EnterCriticalSection(&g_pool.Lock);
    --g_pool.IdleWorkers;
    TWorkItem item = std::move(g_pool.Waiting.front());
    g_pool.Waiting.pop_front();
    LeaveCriticalSection(&g_pool.Lock);
    item.Work();
    item.Work = nullptr;  // what it captured goes before the loop sees the result
    EnterCriticalSection(&g_pool.Lock);
    g_pool.Done.push_back(std::move(item));
    ++g_pool.IdleWorkers;
    LeaveCriticalSection(&g_pool.Lock);
    SetEvent(g_pool.Finished);
  }
}

// Without a pool or a thread the work runs at once, on the loop's thread: late, but never lost.
void QueueOnPool(LoopTask work, LoopTask done) {
  if (!PreparePool()) {
    work();
    done();
    return;
  }
  EnterCriticalSection(&g_pool.Lock);
  g_pool.Waiting.push_back({std::move(work), std::move(done)});
  bool started = true;
  if (g_pool.IdleWorkers < static_cast<int>(g_pool.Waiting.size())) {
    HANDLE thread = CreateThread(nullptr, 256 * 1024, RunWorker, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread != nullptr) {
      ::CloseHandle(thread);
      ++g_pool.IdleWorkers;
    } else {
      started = g_pool.IdleWorkers > 0;
    }
  }
  TWorkItem item;
  if (!started) {
    item = std::move(g_pool.Waiting.back());
    g_pool.Waiting.pop_back();
  }
  LeaveCriticalSection(&g_pool.Lock);
  if (!started) {
    item.Work();
    item.Done();
    return;
  }
  ReleaseSemaphore(g_pool.Queued, 1, nullptr);
}

}  // namespace

bool PrepareLoopQueues() { return PreparePool(); }

bool PostToLoop(LoopTask done) {
  if (!g_poolReady) return false;
  EnterCriticalSection(&g_pool.Lock);
  g_pool.Done.push_back({nullptr, std::move(done)});
  LeaveCriticalSection(&g_pool.Lock);
  SetEvent(g_pool.Finished);
  return true;
}

namespace {
// Sent messages are delivered inside PeekMessage; posted ones are dispatched here.
void DispatchWaitingMessages() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

void RunFinishedWork() {
  if (!g_poolReady) return;
  EnterCriticalSection(&g_pool.Lock);
  std::deque<TWorkItem> finished;
  finished.swap(g_pool.Done);
  LeaveCriticalSection(&g_pool.Lock);
  for (TWorkItem& item : finished) item.Done();
}

void WaitForLoopEvents(DWORD timeout) {
  // Looking at the queue at every wait keeps the thread from counting as hung
  // (no message taken for 5 s), which makes SMTO_ABORTIFHUNG senders give up.
  DispatchWaitingMessages();
  HANDLE handles[2];
  DWORD count = 0;
  if (g_poolReady) handles[count++] = g_pool.Finished;
  const DWORD watchedIndex = count;
  if (g_watched.Process != nullptr) handles[count++] = g_watched.Process;
  const DWORD result = MsgWaitForMultipleObjectsEx(count, count > 0 ? handles : nullptr, timeout, QS_ALLINPUT,
                                                   MWMO_INPUTAVAILABLE);
  if (result == WAIT_FAILED) ::Sleep(timeout < 50 ? timeout : 50);  // keep a rhythm, never spin
  DispatchWaitingMessages();
  RunFinishedWork();
  if (g_watched.Process != nullptr &&
      (result == WAIT_OBJECT_0 + watchedIndex || WaitForSingleObject(g_watched.Process, 0) == WAIT_OBJECT_0)) {
    ::CloseHandle(g_watched.Process);
    g_watched.Process = nullptr;
    LoopTask onEnded = std::move(g_watched.OnEnded);
    onEnded();
  }
}
}  // namespace

std::uint32_t Win32PlatformImpl::TickCount() {
  ULONGLONG unbiased = 0;  // in units of 100 ns
  QueryUnbiasedInterruptTime(&unbiased);
  return static_cast<std::uint32_t>(unbiased / 10000);
}

void Win32PlatformImpl::Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

LocalTime Win32PlatformImpl::GetLocalTime() {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  LocalTime time;
  time.Hour = now.wHour;
  time.Minute = now.wMinute;
  time.Second = now.wSecond;
  time.Millisecond = now.wMilliseconds;
  return time;
}

char Win32PlatformImpl::TimeSeparator() {
  char buffer[8] = {};
  if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STIME, buffer, sizeof buffer) <= 0 || buffer[0] == '\0') return ':';
  return buffer[0];
}

void Win32PlatformImpl::QueueWork(LoopTask work, LoopTask done) { QueueOnPool(std::move(work), std::move(done)); }

void Win32PlatformImpl::RunLoopOnce(std::uint32_t timeoutMilliseconds) { WaitForLoopEvents(timeoutMilliseconds); }

void Win32PlatformImpl::WatchProcessEnd(OsHandle process, LoopTask onEnded) {
  if (g_watched.Process != nullptr) ::CloseHandle(g_watched.Process);
  g_watched.Process = ToHandle(process);
  g_watched.OnEnded = std::move(onEnded);
}
