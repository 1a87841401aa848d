#include "platform/win32/Win32Impl.h"

#include <deque>
#include <functional>

namespace {
// One writer thread per handle (standard output and the log): it takes whole
// blocks from its queue and writes each with blocking writes, so that a reader
// that stops reading stops only this thread.
struct TWriter {
  HANDLE Handle = nullptr;
  bool Started = false;
  CRITICAL_SECTION Lock;
  HANDLE Wake = nullptr;  // auto-reset: blocks were queued
  HANDLE Idle = nullptr;  // manual-reset: everything queued has been written
  std::deque<std::string> Queue;  // guarded by Lock
  std::size_t Held = 0;           // bytes queued or being written; guarded by Lock
  std::function<void(std::uint32_t)> OnFailed;  // guarded by Lock; runs for every failed write
};

// Only the loop's thread hands blocks over, so the slots need no lock of their own.
TWriter g_writers[2];

DWORD WINAPI WriteInBackground(LPVOID parameter) {
  TWriter* writer = static_cast<TWriter*>(parameter);
  for (;;) {
    if (WaitForSingleObject(writer->Wake, INFINITE) != WAIT_OBJECT_0) return 0;
    for (;;) {
      EnterCriticalSection(&writer->Lock);
      if (writer->Queue.empty()) {
        SetEvent(writer->Idle);
        LeaveCriticalSection(&writer->Lock);
        break;
      }
      std::string block = std::move(writer->Queue.front());
      writer->Queue.pop_front();
      LeaveCriticalSection(&writer->Lock);
      // A reader that is gone takes nothing more; what follows is dropped the same way.
      const bool written = WriteWhole(writer->Handle, block.data(), block.size());
      const DWORD error = written ? 0 : GetLastError();
      const std::size_t size = block.size();
      std::string().swap(block);  // a large line leaves memory once it is out
      EnterCriticalSection(&writer->Lock);
      writer->Held -= size;
      std::function<void(std::uint32_t)> onFailed;
      if (!written) onFailed = writer->OnFailed;
      LeaveCriticalSection(&writer->Lock);
      if (onFailed) PostToLoop([onFailed, error] { onFailed(error); });
    }
  }
}

bool Start(TWriter& writer, HANDLE handle) {
  InitializeCriticalSection(&writer.Lock);
  writer.Wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  writer.Idle = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  HANDLE thread = writer.Wake != nullptr && writer.Idle != nullptr
                      ? CreateThread(nullptr, 65536, WriteInBackground, &writer, STACK_SIZE_PARAM_IS_A_RESERVATION,
                                     nullptr)
                      : nullptr;
  if (thread == nullptr) {
    if (writer.Wake != nullptr) ::CloseHandle(writer.Wake);
    if (writer.Idle != nullptr) ::CloseHandle(writer.Idle);
    DeleteCriticalSection(&writer.Lock);
    writer.Wake = writer.Idle = nullptr;
    return false;
  }
  ::CloseHandle(thread);
  writer.Handle = handle;
  writer.Started = true;
  return true;
}

// The handle's writer, started on first use; null when none can be started.
TWriter* WriterFor(HANDLE handle) {
  for (TWriter& writer : g_writers) {
    if (writer.Started && writer.Handle == handle) return &writer;
  }
  for (TWriter& writer : g_writers) {
    if (!writer.Started) return Start(writer, handle) ? &writer : nullptr;
  }
  return nullptr;
}
}  // namespace

bool Win32PlatformImpl::WriteInOrder(OsHandle handle, std::string block, std::size_t holdAtMost) {
  TWriter* writer = WriterFor(ToHandle(handle));
  if (writer == nullptr) {
    WriteWhole(ToHandle(handle), block.data(), block.size());
    return true;
  }
  EnterCriticalSection(&writer->Lock);
  // An idle writer takes any block, however large.
  const bool fits = holdAtMost == 0 || writer->Held == 0 || writer->Held + block.size() <= holdAtMost;
  if (fits) {
    writer->Held += block.size();
    writer->Queue.push_back(std::move(block));
    ResetEvent(writer->Idle);
    SetEvent(writer->Wake);
  }
  LeaveCriticalSection(&writer->Lock);
  return fits;
}

bool Win32PlatformImpl::FinishWrites(OsHandle handle, std::uint32_t timeoutMilliseconds) {
  for (TWriter& writer : g_writers) {
    if (writer.Started && writer.Handle == ToHandle(handle)) {
      return WaitForSingleObject(writer.Idle, timeoutMilliseconds) == WAIT_OBJECT_0;
    }
  }
  return true;
}

void Win32PlatformImpl::WatchWriteFailure(OsHandle handle, std::function<void(std::uint32_t error)> onFailed) {
  TWriter* writer = WriterFor(ToHandle(handle));
  if (writer == nullptr || !PrepareLoopQueues()) return;
  EnterCriticalSection(&writer->Lock);
  writer->OnFailed = std::move(onFailed);
  LeaveCriticalSection(&writer->Lock);
}
