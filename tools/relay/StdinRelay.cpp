// StdinRelay.exe [-leak-input] [-pipe-output] [-launcher] <program.exe> [args...]
// Runs the program with a Windows anonymous pipe as its standard input and copies
// our own standard input into it. Under Wine a standard input inherited from Linux
// is a Unix pipe on which PeekNamedPipe fails; an anonymous pipe supports it.
// The program's output and error streams are ours, inherited unchanged.
// With -leak-input a second process holds the pipe's write end as well, as a
// sibling started at the same moment inherits it by mistake: when the relay dies,
// the program still sees no end of its input. That holder ends with the program,
// or after a minute.
// With -pipe-output the program's standard output is a Windows pipe too, copied
// to ours; once nobody reads ours, its read end closes, as a client closes it.
// With -launcher a process in between starts the program with our streams and
// ends at once, as `start /b` does; we still wait for the program itself.

#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

namespace {

const UINT kRelayFailed = 127;
const DWORD kLongestHold = 60000;

// The quoting that CommandLineToArgvW and the C runtime undo.
std::wstring QuoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  for (std::size_t i = 0;; ++i) {
    std::size_t backslashes = 0;
    while (i < argument.size() && argument[i] == L'\\') {
      ++backslashes;
      ++i;
    }
    if (i == argument.size()) {
      quoted.append(backslashes * 2, L'\\');  // the closing quote must stay a quote
      break;
    }
    if (argument[i] == L'"') {
      quoted.append(backslashes * 2 + 1, L'\\');
    } else {
      quoted.append(backslashes, L'\\');
    }
    quoted.push_back(argument[i]);
  }
  quoted.push_back(L'"');
  return quoted;
}

void Fail(const char* what) {
  char text[160];
  int length = wsprintfA(text, "StdinRelay: %s failed (error %lu).\r\n", what, GetLastError());
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(length), &written, nullptr);
  ExitProcess(kRelayFailed);
}

HANDLE InheritableCopy(HANDLE handle) {
  HANDLE copy = nullptr;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
    return nullptr;
  return copy;
}

// Copies until the source ends or the destination takes no more.
void Copy(HANDLE from, HANDLE to) {
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(from, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    DWORD written = 0;
    for (DWORD offset = 0; offset < read; offset += written) {
      if (!WriteFile(to, buffer + offset, read - offset, &written, nullptr)) return;
    }
  }
}

DWORD WINAPI CopyInput(LPVOID pipeWriteEnd) {
  Copy(GetStdHandle(STD_INPUT_HANDLE), pipeWriteEnd);
  CloseHandle(pipeWriteEnd);  // the program sees the end of its input
  return 0;
}

DWORD WINAPI CopyOutput(LPVOID pipeReadEnd) {
  Copy(pipeReadEnd, GetStdHandle(STD_OUTPUT_HANDLE));
  CloseHandle(pipeReadEnd);  // the program's next write fails
  return 0;
}

std::wstring OwnPath() {
  wchar_t self[MAX_PATH];
  if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) Fail("GetModuleFileNameW");
  return QuoteArgument(self);
}

// Starts "StdinRelay.exe -hold <program id>" with no handles of ours, then hands it the pipe's write end.
void LeakToHolder(HANDLE pipeWrite, DWORD programId) {
  std::wstring commandLine = OwnPath() + L" -hold " + std::to_wstring(programId);
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;  // none: it must not keep our output open
  PROCESS_INFORMATION holder;
  ZeroMemory(&holder, sizeof holder);
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &holder))
    Fail("CreateProcessW (holder)");
  HANDLE held = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), pipeWrite, holder.hProcess, &held, 0, FALSE, DUPLICATE_SAME_ACCESS))
    Fail("DuplicateHandle");
  CloseHandle(holder.hThread);
  CloseHandle(holder.hProcess);
}

int Hold(const wchar_t* programId) {
  HANDLE program = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(wcstoul(programId, nullptr, 10)));
  if (program == nullptr) return 0;
  WaitForSingleObject(program, kLongestHold);
  return 0;
}

// "StdinRelay.exe -launch <command line>": starts it with our streams and ends at
// once; the exit code is the program's process id.
int Launch(std::wstring commandLine) {
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;  // ours, inherited from the relay
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION program;
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &program))
    Fail("CreateProcessW (launched)");
  return static_cast<int>(program.dwProcessId);
}

}  // namespace

int main() {
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) Fail("CommandLineToArgvW");
  if (count == 3 && lstrcmpW(arguments[1], L"-hold") == 0) return Hold(arguments[2]);
  bool leakInput = false, pipeOutput = false, launcher = false, launch = false;
  int first = 1;
  for (; first < count; ++first) {
    bool* option = lstrcmpW(arguments[first], L"-leak-input") == 0    ? &leakInput
                   : lstrcmpW(arguments[first], L"-pipe-output") == 0 ? &pipeOutput
                   : lstrcmpW(arguments[first], L"-launcher") == 0    ? &launcher
                   : lstrcmpW(arguments[first], L"-launch") == 0      ? &launch
                                                                       : nullptr;
    if (option == nullptr) break;
    *option = true;
  }
  if (count <= first) {
    const char usage[] = "usage: StdinRelay.exe [-leak-input] [-pipe-output] [-launcher] <program.exe> [args...]\r\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), usage, sizeof usage - 1, &written, nullptr);
    return kRelayFailed;
  }
  std::wstring commandLine;
  for (int i = first; i < count; ++i) {
    if (i > first) commandLine.push_back(L' ');
    commandLine += QuoteArgument(arguments[i]);
  }
  if (launch) return Launch(commandLine);
  if (launcher) commandLine = OwnPath() + L" -launch " + commandLine;

  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  HANDLE pipeRead = nullptr;
  HANDLE pipeWrite = nullptr;
  if (!CreatePipe(&pipeRead, &pipeWrite, &inheritable, 0)) Fail("CreatePipe");
  // The program must not hold the write end, or it would never see the end of input.
  SetHandleInformation(pipeWrite, HANDLE_FLAG_INHERIT, 0);
  HANDLE outputRead = nullptr;
  HANDLE outputWrite = nullptr;
  if (pipeOutput) {
    if (!CreatePipe(&outputRead, &outputWrite, &inheritable, 0)) Fail("CreatePipe (output)");
    SetHandleInformation(outputRead, HANDLE_FLAG_INHERIT, 0);
  }

  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = pipeRead;
  startup.hStdOutput = pipeOutput ? outputWrite : InheritableCopy(GetStdHandle(STD_OUTPUT_HANDLE));
  startup.hStdError = InheritableCopy(GetStdHandle(STD_ERROR_HANDLE));

  PROCESS_INFORMATION process;
  ZeroMemory(&process, sizeof process);
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
    Fail("CreateProcessW");
  CloseHandle(pipeRead);
  CloseHandle(process.hThread);
  HANDLE outputCopier = nullptr;
  if (pipeOutput) {
    CloseHandle(outputWrite);
    outputCopier = CreateThread(nullptr, 0, CopyOutput, outputRead, 0, nullptr);
    if (outputCopier == nullptr) Fail("CreateThread (output)");
  }
  HANDLE program = process.hProcess;
  if (launcher) {
    // The launcher's handle stays open, as a client's handle on `cmd` does: the
    // program can still open its parent, and finds it ended.
    DWORD programId = 0;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &programId);
    program = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, programId);
    if (program == nullptr) Fail("OpenProcess (launched)");
  }
  if (leakInput) LeakToHolder(pipeWrite, process.dwProcessId);

  HANDLE copier = CreateThread(nullptr, 0, CopyInput, pipeWrite, 0, nullptr);
  if (copier == nullptr) Fail("CreateThread");

  WaitForSingleObject(program, INFINITE);
  DWORD exitCode = kRelayFailed;
  GetExitCodeProcess(program, &exitCode);
  // What the program wrote last is still on its way; Wine's desktop process may
  // hold the pipe's write end, so its end is not waited for long.
  if (outputCopier != nullptr) WaitForSingleObject(outputCopier, 1000);
  // The copier may still wait on our input; ending the process ends it too.
  ExitProcess(exitCode);
}
