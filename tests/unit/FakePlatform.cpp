#include "tests/unit/FakePlatform.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {
constexpr std::uint32_t kBrokenPipe = 109;
constexpr std::uint32_t kFileNotFound = 2;

std::string CodePageName(unsigned codePage) {
  if (codePage == kCodePageUtf8) return "UTF-8";
  return "CP" + std::to_string(codePage);
}

// Converts with iconv; false when some input could not be converted.
bool Convert(const std::string& from, const std::string& to, const std::string& input, std::string& output) {
  output.clear();
  iconv_t converter = iconv_open(to.c_str(), from.c_str());
  if (converter == reinterpret_cast<iconv_t>(-1)) return false;
  std::string in = input;
  std::string out(input.size() * 4 + 16, '\0');
  char* inPtr = &in[0];
  std::size_t inLeft = in.size();
  char* outPtr = &out[0];
  std::size_t outLeft = out.size();
  const std::size_t result = iconv(converter, in.empty() ? nullptr : &inPtr, &inLeft, &outPtr, &outLeft);
  iconv_close(converter);
  out.resize(out.size() - outLeft);
  output = out;
  return result != static_cast<std::size_t>(-1) && inLeft == 0;
}

std::string ToUtf16Bytes(const std::u16string& text) {
  std::string bytes;
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

std::u16string FromUtf16Bytes(const std::string& bytes) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                  (static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  return text;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

FakeHttpResponse MakeSendFailure(std::uint32_t code) {
  FakeHttpResponse response;
  response.Failure = HttpFailure::Send;
  response.ErrorCode = code;
  return response;
}

int CopyName(const std::string& text, char* buffer, int size) {
  if (size <= 0) return 0;
  const int count = std::min(static_cast<int>(text.size()), size - 1);
  std::memcpy(buffer, text.data(), static_cast<std::size_t>(count));
  buffer[count] = '\0';
  return count;
}
}  // namespace

FakePlatform::FakePlatform() : Args{"C:\\Bridge\\OrvinMCP.exe"} {}
FakePlatform::~FakePlatform() = default;

void FakePlatform::AddInput(const std::string& bytes, std::uint32_t atTick) { Input.push_back({atTick, bytes, 0}); }

void FakePlatform::At(std::uint32_t tick, std::function<void()> action) { Events.emplace(tick, std::move(action)); }

FakeWindow& FakePlatform::AddCrmWindow(const std::string& imagePath, const std::string& caption,
                                       const std::string& className) {
  FakeWindow window;
  window.Handle = 0x100 + Windows.size() * 0x10;
  window.ClassName = className;
  window.Caption = caption;
  window.ProcessId = static_cast<std::uint32_t>(4000 + Windows.size());
  ProcessImages[window.ProcessId] = imagePath;
  Windows.push_back(window);
  return Windows.back();
}

void FakePlatform::AnswerNow(const std::string& answer) {
  const std::string block = answer + '\0';
  if (ProxyHandler != nullptr) ProxyHandler(kTag, block.data(), block.size());
}

void FakePlatform::AnswerLater(const std::string& answer, std::uint32_t delay, std::uintptr_t tag) {
  Messages.push_back({Tick + delay, tag == 0 ? kTag : tag, answer + '\0'});
}

std::vector<std::string> FakePlatform::LogLines() const {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = ErrorOutput.find("\r\n", start);
    if (end == std::string::npos) break;
    std::string line = ErrorOutput.substr(start, end - start);
    const std::size_t text = line.find("] ", line.find("] ") + 2);
    lines.push_back(text == std::string::npos ? line : line.substr(text + 2));
    start = end + 2;
  }
  return lines;
}

void FakePlatform::AdvanceTo(std::uint32_t tick) {
  while (!Events.empty() && Events.begin()->first <= tick) {
    auto action = Events.begin()->second;
    Tick = std::max(Tick, Events.begin()->first);
    Events.erase(Events.begin());
    action();
  }
  Tick = std::max(Tick, tick);
}

std::size_t FakePlatform::AvailableInput() const {
  std::size_t total = 0;
  for (const auto& chunk : Input) {
    if (chunk.At > Tick) break;
    total += chunk.Bytes.size() - chunk.Taken;
  }
  return total;
}

std::vector<std::string> FakePlatform::CommandLineArguments() { return Args; }
std::uint32_t FakePlatform::CurrentProcessId() { return ProcessIdValue; }
std::uint32_t FakePlatform::LastError() { return LastErrorValue; }

OsHandle FakePlatform::StdHandle(StdStream stream) {
  ++StdHandleCalls;
  switch (stream) {
    case StdStream::Input: return InputHandleValue;
    case StdStream::Output: return OutputHandleValue;
    default: return ErrorHandleValue;
  }
}

FileType FakePlatform::GetFileType(OsHandle handle) {
  return handle == ErrorHandleValue ? ErrorFileType : FileType::Pipe;
}

bool FakePlatform::PeekPipe(OsHandle pipe, std::uint32_t& available) {
  available = 0;
  if (pipe == InputHandleValue && InputWatchPending) ++InputTouchedWhileWatched;
  // A file or console cannot be peeked; a pipe whose writer left fails too.
  if (pipe != InputHandleValue || !InputIsPipe || Input.empty()) {
    LastErrorValue = kBrokenPipe;
    return false;
  }
  available = static_cast<std::uint32_t>(AvailableInput());
  return true;
}

bool FakePlatform::ReadFile(OsHandle handle, char* buffer, std::uint32_t size, std::uint32_t& read) {
  read = 0;
  if (handle == InputHandleValue) {
    if (InputWatchPending) ++InputTouchedWhileWatched;
    if (Input.empty()) return true;  // end of input
    if (Input.front().At > Tick) AdvanceTo(Input.front().At);  // a blocking read waits
    InputChunk& chunk = Input.front();
    read = static_cast<std::uint32_t>(std::min<std::size_t>(size, chunk.Bytes.size() - chunk.Taken));
    std::memcpy(buffer, chunk.Bytes.data() + chunk.Taken, read);
    chunk.Taken += read;
    if (chunk.Taken == chunk.Bytes.size()) Input.pop_front();
    return true;
  }
  auto file = OpenFiles.find(handle);
  if (file == OpenFiles.end() || UnreadableFiles.count(file->second.Name)) return false;
  const std::string& content = Files[file->second.Name];
  read = static_cast<std::uint32_t>(std::min<std::size_t>(size, content.size() - file->second.Position));
  std::memcpy(buffer, content.data() + file->second.Position, read);
  file->second.Position += read;
  return true;
}

bool FakePlatform::WriteFile(OsHandle handle, const char* data, std::uint32_t size, std::uint32_t& written) {
  written = size;
  if (handle == OutputHandleValue) {
    Output.append(data, size);
    return true;
  }
  if (handle == ErrorHandleValue) {
    ErrorOutput.append(data, size);
    return true;
  }
  auto file = OpenFiles.find(handle);
  if (file == OpenFiles.end() || !file->second.Writable || ShortWriteFiles.count(file->second.Name)) {
    written = 0;
    return false;
  }
  Files[file->second.Name].append(data, size);
  return true;
}

void FakePlatform::CloseHandle(OsHandle handle) {
  OpenFiles.erase(handle);
  OpenProcesses.erase(handle);
}

OsHandle FakePlatform::CreateFile(const std::string& name, FileOpen mode) {
  if (mode == FileOpen::ReadExistingShared) {
    if (!Files.count(name)) {
      LastErrorValue = kFileNotFound;
      return kInvalidHandle;
    }
  } else {
    if (UnwritableFiles.count(name)) return kInvalidHandle;
    Files[name].clear();
  }
  const OsHandle handle = NextHandle++;
  OpenFiles[handle] = OpenFile{name, mode == FileOpen::CreateAlwaysExclusive};
  return handle;
}

bool FakePlatform::FileSize(OsHandle file, std::uint64_t& size) {
  auto open = OpenFiles.find(file);
  if (open == OpenFiles.end()) return false;
  size = Files[open->second.Name].size();
  return true;
}

bool FakePlatform::FileExists(const std::string& name) { return Files.count(name) > 0; }

bool FakePlatform::MoveFileReplace(const std::string& from, const std::string& to) {
  if (FailMove || !Files.count(from)) {
    LastErrorValue = MoveError;
    return false;
  }
  Files[to] = Files[from];
  Files.erase(from);
  return true;
}

bool FakePlatform::DeleteFile(const std::string& name) { return Files.erase(name) > 0; }
std::string FakePlatform::TempPath() { return TempFolder; }

std::uint32_t FakePlatform::TickCount() { return Tick; }
std::uint32_t FakePlatform::MultimediaTime() { return Tick; }

void FakePlatform::Sleep(std::uint32_t milliseconds) {
  ++SleepCalls;
  AdvanceTo(Tick + milliseconds);
}

LocalTime FakePlatform::GetLocalTime() { return Time; }
char FakePlatform::TimeSeparator() { return Separator; }
unsigned FakePlatform::ConsoleOutputCodePage() { return ConsoleCodePage; }

std::u16string FakePlatform::MultiByteToWide(unsigned codePage, const std::string& text) {
  const unsigned page = codePage == kCodePageAnsi ? ActiveCodePage : codePage;
  std::string utf16;
  Convert(CodePageName(page), "UTF-16LE", text, utf16);
  return FromUtf16Bytes(utf16);
}

std::string FakePlatform::WideToMultiByte(unsigned codePage, const std::u16string& text, bool* usedDefault) {
  const unsigned page = codePage == kCodePageAnsi ? ActiveCodePage : codePage;
  if (usedDefault != nullptr) *usedDefault = false;
  std::string result;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::size_t units = (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size()) ? 2 : 1;
    std::string bytes;
    if (Convert("UTF-16LE", CodePageName(page), ToUtf16Bytes(text.substr(i, units)), bytes)) {
      result += bytes;
    } else {
      result += '?';
      if (usedDefault != nullptr) *usedDefault = true;
    }
    i += units - 1;
  }
  return result;
}

bool FakePlatform::SameTextIgnoreCase(const std::string& a, const std::string& b) { return Lower(a) == Lower(b); }

void FakePlatform::EnumWindows(WindowVisitor visitor, void* context) {
  ++EnumCalls;
  const std::vector<FakeWindow> snapshot = Windows;
  for (const FakeWindow& window : snapshot) {
    if (!visitor(window.Handle, context)) break;
  }
}

const FakeWindow* FakePlatform::FindWindow(WindowHandle window) const {
  for (const FakeWindow& candidate : Windows) {
    if (candidate.Handle == window) return &candidate;
  }
  return nullptr;
}

int FakePlatform::GetWindowText(WindowHandle window, char* buffer, int size) {
  const FakeWindow* found = FindWindow(window);
  return found == nullptr ? 0 : CopyName(found->Caption, buffer, size);
}

int FakePlatform::GetClassName(WindowHandle window, char* buffer, int size) {
  const FakeWindow* found = FindWindow(window);
  return found == nullptr ? 0 : CopyName(found->ClassName, buffer, size);
}

std::uint32_t FakePlatform::WindowProcessId(WindowHandle window) {
  const FakeWindow* found = FindWindow(window);
  return found == nullptr ? 0 : found->ProcessId;
}

OsHandle FakePlatform::OpenProcessForQuery(std::uint32_t processId) {
  if (UnopenableProcesses.count(processId) || !ProcessImages.count(processId)) return kNullHandle;
  const OsHandle handle = 0x10000 + processId;
  OpenProcesses.insert(handle);
  return handle;
}

bool FakePlatform::LoadPsapi() {
  ++PsapiLoads;
  return PsapiPresent;
}

std::uint32_t FakePlatform::ModuleFileNameEx(OsHandle process, char* buffer, std::uint32_t size) {
  auto image = ProcessImages.find(static_cast<std::uint32_t>(process - 0x10000));
  if (!OpenProcesses.count(process) || image == ProcessImages.end()) return 0;
  return static_cast<std::uint32_t>(CopyName(image->second, buffer, static_cast<int>(size)));
}

std::uint32_t FakePlatform::RegisterWindowMessage(const char* name) {
  return FailRegisterMessage || std::string(name) != "OrvinMCPMsg" ? 0 : kTag;
}

WindowHandle FakePlatform::CreateHiddenWindow(const char* className, CopyDataHandler handler) {
  if (FailCreateWindow || std::string(className) != "OrvinMCPProxyWnd") {
    LastErrorValue = CreateWindowError;
    return 0;
  }
  ProxyHandler = handler;
  ProxyHandle = 0x2A0ABC;
  return ProxyHandle;
}

void FakePlatform::DestroyWindow(WindowHandle window) {
  if (window == ProxyHandle) ProxyDestroyed = true;
}

bool FakePlatform::SendCopyData(WindowHandle target, std::uintptr_t tag, const char* data, std::uint32_t size,
                                std::uint32_t timeoutMilliseconds) {
  const FakeWindow* window = FindWindow(target);
  if (window == nullptr || tag != kTag || size == 0) return false;
  const std::string request(data, std::strlen(data) < size ? std::strlen(data) : size);
  HandshakeRequests.push_back(request);
  const auto respond = window->OnCopyData;  // the window may be changed while it answers
  if (!respond || !respond(request)) {
    AdvanceTo(Tick + timeoutMilliseconds);
    return false;
  }
  return true;
}

bool FakePlatform::PumpOneMessage() {
  for (auto it = Messages.begin(); it != Messages.end(); ++it) {
    if (it->At > Tick) continue;
    const QueuedMessage message = *it;
    Messages.erase(it);
    if (ProxyHandler != nullptr) ProxyHandler(message.Tag, message.Data.data(), message.Data.size());
    return true;
  }
  return false;
}

OsHandle FakePlatform::InternetOpen(const char* agent) {
  if (PreSendFailure.Failure == HttpFailure::Open) {
    LastErrorValue = PreSendFailure.ErrorCode;
    return kNullHandle;
  }
  const OsHandle handle = NextHandle++;
  InternetHandles[handle].Kind = 0;
  InternetHandles[handle].Request.Agent = agent;
  ++OpenInternetHandles;
  return handle;
}

OsHandle FakePlatform::InternetConnect(OsHandle root, const char* host, int port) {
  if (PreSendFailure.Failure == HttpFailure::Connect || !InternetHandles.count(root)) {
    LastErrorValue = PreSendFailure.ErrorCode;
    return kNullHandle;
  }
  const OsHandle handle = NextHandle++;
  InternetHandles[handle].Kind = 1;
  InternetHandles[handle].Request = InternetHandles[root].Request;
  InternetHandles[handle].Request.Port = port;
  ConnectHost = host;
  ++OpenInternetHandles;
  return handle;
}

OsHandle FakePlatform::HttpOpenRequest(OsHandle connection, const char* verb, const char* object,
                                       const char* version, std::uint32_t flags) {
  if (PreSendFailure.Failure == HttpFailure::OpenRequest || !InternetHandles.count(connection)) {
    LastErrorValue = PreSendFailure.ErrorCode;
    return kNullHandle;
  }
  const OsHandle handle = NextHandle++;
  InternetHandle& request = InternetHandles[handle];
  request.Kind = 2;
  request.Request = InternetHandles[connection].Request;
  request.Request.Verb = verb;
  request.Request.Object = object;
  request.Request.Version = version;
  request.Request.Flags = flags;
  ++OpenInternetHandles;
  return handle;
}

void FakePlatform::InternetSetOption(OsHandle handle, std::uint32_t option, std::uint32_t value) {
  auto found = InternetHandles.find(handle);
  if (found != InternetHandles.end()) found->second.Request.Options[option] = value;
}

bool FakePlatform::HttpSendRequest(OsHandle request, const std::string& headers, const std::string& body) {
  InternetHandle& handle = InternetHandles.at(request);
  handle.Request.Headers = headers;
  handle.Request.Body = body;
  HttpRequests.push_back(handle.Request);
  handle.Response = Endpoint ? Endpoint(handle.Request) : MakeSendFailure(12029);
  if (handle.Response.Failure == HttpFailure::Send) {
    LastErrorValue = handle.Response.ErrorCode;
    return false;
  }
  return true;
}

bool FakePlatform::HttpQueryStatusCode(OsHandle request, std::uint32_t& status) {
  const InternetHandle& handle = InternetHandles.at(request);
  if (!handle.Response.StatusAvailable) return false;
  status = handle.Response.Status;
  return true;
}

bool FakePlatform::HttpQueryContentLength(OsHandle request, std::uint64_t& length) {
  const FakeHttpResponse& response = InternetHandles.at(request).Response;
  if (!response.DeclaresLength) return false;
  length = response.DeclaredLength == std::string::npos ? response.Body.size() : response.DeclaredLength;
  return true;
}

bool FakePlatform::InternetReadFile(OsHandle request, char* buffer, std::uint32_t size, std::uint32_t& read) {
  InternetHandle& handle = InternetHandles.at(request);
  read = 0;
  const std::string& body = handle.Response.Body;
  if (handle.Response.Failure == HttpFailure::Read && handle.ReadPosition >= handle.Response.ReadFailsAfter) {
    LastErrorValue = handle.Response.ErrorCode;
    return false;
  }
  std::size_t limit = std::min<std::size_t>({size, ReadChunkLimit, body.size() - handle.ReadPosition});
  if (handle.Response.Failure == HttpFailure::Read) {
    limit = std::min(limit, handle.Response.ReadFailsAfter - handle.ReadPosition);
  }
  std::memcpy(buffer, body.data() + handle.ReadPosition, limit);
  handle.ReadPosition += limit;
  read = static_cast<std::uint32_t>(limit);
  return true;
}

void FakePlatform::InternetCloseHandle(OsHandle handle) {
  if (InternetHandles.erase(handle) > 0) --OpenInternetHandles;
}

// ---- Waiting for standard input, and log writes that never wait ----

InputWait FakePlatform::WaitForInputOrMessages(OsHandle pipe, std::uint32_t timeoutMilliseconds) {
  if (!InputWatchStarts || pipe != InputHandleValue) return InputWait::Unavailable;
  ++InputWaits;
  InputWatchPending = true;
  const std::uint32_t deadline = Tick + timeoutMilliseconds;
  for (;;) {
    while (PumpOneMessage()) ++MessagesDispatchedWhileWaiting;
    if (Input.empty() || AvailableInput() > 0 || InputWatchWakesForNothing) {
      if (InputWatchWakesForNothing) AdvanceTo(Tick + 1);  // so that a loop that spins still ends
      InputWatchPending = false;
      return InputWait::Ready;
    }
    if (Tick >= deadline) return InputWait::TimedOut;
    std::uint32_t next = std::min(deadline, Input.front().At);
    for (const QueuedMessage& message : Messages) {
      if (message.At > Tick) next = std::min(next, message.At);
    }
    if (!Events.empty()) next = std::min(next, std::max(Tick, Events.begin()->first));
    AdvanceTo(std::max(next, Tick + 1));
  }
}

bool FakePlatform::WriteWithoutWaiting(OsHandle handle, const char* data, std::uint32_t size) {
  if (handle == ErrorHandleValue && ErrorWriterFull) return false;
  std::uint32_t written = 0;
  return WriteFile(handle, data, size, written);
}

void FakePlatform::FinishWritesWithoutWaiting(std::uint32_t) { ++FinishWritesCalls; }
