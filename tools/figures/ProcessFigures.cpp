// ProcessFigures.exe <pid> [<pid> ...]
// Prints one JSON line per process: its working set, peak working set and private
// bytes, its thread and handle counts and its CPU time, as Windows itself reports
// them, for the soak's samples. A process that cannot be opened gets a line with
// "error" (the Windows error code) instead.
// GetProcessHandleCount gives 0 under Wine; the handles are then counted in the
// system's handle table ("handleSource":"table"), which Wine does fill.

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

unsigned long long Ms(const FILETIME& time) {
  ULARGE_INTEGER value;
  value.LowPart = time.dwLowDateTime;
  value.HighPart = time.dwHighDateTime;
  return value.QuadPart / 10000;  // 100-ns units
}

// Toolhelp's snapshot is the documented way to count another process's threads.
long CountThreads(DWORD pid) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  long count = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == pid) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

// SystemExtendedHandleInformation, as winternl.h leaves it out.
struct THandleEntry {
  PVOID Object;
  ULONG_PTR UniqueProcessId;
  ULONG_PTR HandleValue;
  ULONG GrantedAccess;
  USHORT CreatorBackTraceIndex;
  USHORT ObjectTypeIndex;
  ULONG HandleAttributes;
  ULONG Reserved;
};
struct THandleTable {
  ULONG_PTR Count;
  ULONG_PTR Reserved;
  THandleEntry Handles[1];
};
typedef LONG(WINAPI* TQuerySystemInformation)(ULONG, PVOID, ULONG, PULONG);

long CountHandlesInTable(DWORD pid) {
  auto query = reinterpret_cast<TQuerySystemInformation>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return -1;
  std::vector<unsigned char> buffer(1 << 20);
  for (int tries = 0; tries < 8; ++tries) {
    ULONG needed = 0;
    LONG status = query(64, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status == 0) {
      const THandleTable* table = reinterpret_cast<const THandleTable*>(buffer.data());
      long count = 0;
      for (ULONG_PTR i = 0; i < table->Count; ++i) {
        if (table->Handles[i].UniqueProcessId == pid) ++count;
      }
      return count;
    }
    buffer.resize(buffer.size() * 2 > needed ? buffer.size() * 2 : needed + 65536);
  }
  return -1;
}

void Report(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (process == nullptr) {
    std::printf("{\"pid\":%lu,\"error\":%lu}\n", pid, GetLastError());
    return;
  }
  PROCESS_MEMORY_COUNTERS_EX memory = {};
  memory.cb = sizeof memory;
  bool haveMemory = GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory);
  DWORD handles = 0;
  bool haveHandles = GetProcessHandleCount(process, &handles);
  FILETIME created, exited, kernel, user;
  bool haveTimes = GetProcessTimes(process, &created, &exited, &kernel, &user);
  DWORD exitCode = 0;
  GetExitCodeProcess(process, &exitCode);
  std::printf("{\"pid\":%lu,\"running\":%s", pid, exitCode == STILL_ACTIVE ? "true" : "false");
  if (haveMemory) {
    std::printf(",\"workingSet\":%llu,\"peakWorkingSet\":%llu,\"private\":%llu",
                static_cast<unsigned long long>(memory.WorkingSetSize),
                static_cast<unsigned long long>(memory.PeakWorkingSetSize),
                static_cast<unsigned long long>(memory.PrivateUsage));
  }
  if (haveHandles && handles > 0) {
    std::printf(",\"handles\":%lu,\"handleSource\":\"process\"", handles);
  } else {
    long counted = CountHandlesInTable(pid);
    if (counted >= 0) std::printf(",\"handles\":%ld,\"handleSource\":\"table\"", counted);
  }
  std::printf(",\"threads\":%ld", CountThreads(pid));
  if (haveTimes) std::printf(",\"cpuMs\":%llu", Ms(kernel) + Ms(user));
  std::printf("}\n");
  CloseHandle(process);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: ProcessFigures.exe <pid> [<pid> ...]\n");
    return 2;
  }
  for (int i = 1; i < argc; ++i) Report(static_cast<DWORD>(std::strtoul(argv[i], nullptr, 10)));
  std::fflush(stdout);
  return 0;
}
