#include "tests/unit/FakePlatform.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace {
constexpr std::uint32_t kFileNotFound = 2;
constexpr std::uint32_t kAccessDenied = 5;
constexpr std::uint32_t kInvalidParameter = 87;
constexpr std::uint32_t kInvalidWindowHandle = 1400;
constexpr std::uint32_t kTimeout = 1460;

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
  // From a worker's send, the answer reaches the proxy window when the loop next looks.
  if (InWork) {
    Messages.push_back({WorkClock, kTag, block});
  } else if (ProxyHandler != nullptr) {
    ProxyHandler(kTag, block.data(), block.size());
  }
}

void FakePlatform::AnswerLater(const std::string& answer, std::uint32_t delay, std::uintptr_t tag) {
  Messages.push_back({Now() + delay, tag == 0 ? kTag : tag, answer + '\0'});
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

std::vector<std::string> FakePlatform::CommandLineArguments() { return Args; }
std::uint32_t FakePlatform::CurrentProcessId() { return ProcessIdValue; }
std::uint32_t FakePlatform::LastError() { return LastErrorValue; }
OsHandle FakePlatform::OpenParentProcess() { return ParentHandle; }

std::u16string FakePlatform::EnvironmentVariable(const std::u16string& name) {
  auto found = Environment.find(WideToMultiByte(kCodePageUtf8, name, nullptr));
  return found == Environment.end() ? std::u16string() : MultiByteToWide(kCodePageUtf8, found->second);
}

std::u16string FakePlatform::UserEnvironmentVariable(const std::u16string& name) {
  auto found = UserEnvironment.find(WideToMultiByte(kCodePageUtf8, name, nullptr));
  return found == UserEnvironment.end() ? std::u16string() : MultiByteToWide(kCodePageUtf8, found->second);
}

std::string FakePlatform::ProcessUserSid(OsHandle process) {
  auto user = ProcessUsers.find(static_cast<std::uint32_t>(process - 0x10000));
  return !OpenProcesses.count(process) ? "" : user == ProcessUsers.end() ? UserSid : user->second;
}

std::vector<ProcessEntry> FakePlatform::Processes() {
  std::vector<ProcessEntry> processes;
  for (const auto& [id, image] : ProcessImages) {
    processes.push_back({id, MultiByteToWide(kCodePageUtf8, image.substr(image.rfind('\\') + 1))});
  }
  return processes;
}

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

bool FakePlatform::ReadFile(OsHandle handle, char* buffer, std::uint32_t size, std::uint32_t& read) {
  read = 0;
  if (handle == InputHandleValue) {
    if ((!InWork && InputReaderStarted) || InputReadsInFlight > 0) ++InputTouchedWhileReading;
    InputReaderStarted = InputReaderStarted || InWork;
    WorkReadsInput = InWork;
    if (Input.empty()) return true;  // end of input
    if (Input.front().At > Now()) Block(Input.front().At);  // a blocking read waits
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
    if (OutputWriteError != 0) {
      written = 0;
      LastErrorValue = OutputWriteError;
      return false;
    }
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

bool FakePlatform::WriteConsole(OsHandle console, const std::u16string& text) {
  if (console != ErrorHandleValue || ErrorFileType != FileType::Char) return false;
  ErrorConsole += text;
  return true;
}

void FakePlatform::CloseHandle(OsHandle handle) {
  OpenFiles.erase(handle);
  OpenProcesses.erase(handle);
}

OsHandle FakePlatform::CreateFile(const std::u16string& wideName, FileOpen mode) {
  if (OnCreateFile) OnCreateFile();
  const std::string name = FileKey(wideName);
  if (mode == FileOpen::ReadExistingShared) {
    if (Held(name, true)) return kInvalidHandle;
    auto conflicts = ReadOpenConflicts.find(name);
    if (conflicts != ReadOpenConflicts.end() && !conflicts->second.empty()) {
      LastErrorValue = conflicts->second.front();
      conflicts->second.pop_front();
      return kInvalidHandle;
    }
    if (!Files.count(name)) {
      LastErrorValue = kFileNotFound;
      return kInvalidHandle;
    }
  } else {
    if (UnwritableFiles.count(name) || name[0] == '|') {
      LastErrorValue = kAccessDenied;
      return kInvalidHandle;
    }
    if (mode == FileOpen::CreateNewExclusive && Files.count(name)) {
      LastErrorValue = 80;  // ERROR_FILE_EXISTS
      return kInvalidHandle;
    }
    Files[name].clear();
  }
  const OsHandle handle = NextHandle++;
  OpenFiles[handle] = OpenFile{name, mode != FileOpen::ReadExistingShared};
  return handle;
}

bool FakePlatform::FileSize(OsHandle file, std::uint64_t& size) {
  auto open = OpenFiles.find(file);
  if (open == OpenFiles.end()) return false;
  size = Files[open->second.Name].size();
  return true;
}

bool FakePlatform::FlushFile(OsHandle file) {
  ++Flushes;
  return OpenFiles.count(file) > 0;
}

bool FakePlatform::FileExists(const std::u16string& name) {
  return Files.count(FileKey(name)) > 0;
}

bool FakePlatform::FolderExists(const std::u16string& name) {
  std::string folder = FileKey(name);
  while (!folder.empty() && folder.back() == '\\') folder.pop_back();
  return Folders.count(folder) > 0;
}

bool FakePlatform::ReplaceFile(const std::u16string& wideTarget, const std::u16string& wideReplacement) {
  const std::string target = FileKey(wideTarget);
  const std::string replacement = FileKey(wideReplacement);
  if (OnMove) OnMove();
  if (Held(target)) return false;
  if (!Files.count(target) || !Files.count(replacement)) {
    LastErrorValue = kFileNotFound;
    return false;
  }
  if (ReplaceError != 0) {
    if (ReplaceError == 1176) Files.erase(target);
    LastErrorValue = ReplaceError;
    return false;
  }
  ++Replaces;
  Files[target] = Files[replacement];
  Files.erase(replacement);
  return true;
}

bool FakePlatform::MoveFileReplace(const std::u16string& wideFrom, const std::u16string& wideTo) {
  const std::string from = FileKey(wideFrom);
  const std::string to = FileKey(wideTo);
  if (OnMove) OnMove();
  if (Held(to)) return false;
  if (!MoveConflicts.empty()) {
    LastErrorValue = MoveConflicts.front();
    MoveConflicts.pop_front();
    return false;
  }
  if (FailMove || !Files.count(from)) {
    LastErrorValue = MoveError;
    return false;
  }
  Files[to] = Files[from];
  Files.erase(from);
  return true;
}

bool FakePlatform::DeleteFile(const std::u16string& name) {
  return Files.erase(FileKey(name)) > 0;
}

std::u16string FakePlatform::TempPath() { return MultiByteToWide(kCodePageUtf8, TempFolder); }

bool FakePlatform::Held(const std::string& name, bool reading) {
  auto hold = HeldFiles.find(name);
  if (hold == HeldFiles.end() || Now() >= hold->second.Until || (reading && hold->second.LetsRead)) return false;
  LastErrorValue = hold->second.Error;
  return true;
}

// A \\?\ name stands for the same file. Without it, a name of MAX_PATH characters or more
// fails, as where Windows has long paths off: | in its key, which no file name holds.
std::string FakePlatform::FileKey(const std::u16string& wide) {
  const std::string name = WideToMultiByte(kCodePageUtf8, wide, nullptr);
  if (name.compare(0, 4, "\\\\?\\") == 0) return name.substr(4);
  return wide.size() >= 260 ? "|" + name : name;
}

bool FakePlatform::MoveFileToNewName(const std::u16string& wideFrom, const std::u16string& wideTo) {
  const std::string from = FileKey(wideFrom);
  const std::string to = FileKey(wideTo);
  if (OnMove) OnMove();
  if (Held(to)) return false;
  LastErrorValue = !Files.count(from) ? kFileNotFound : Files.count(to) ? 183 : FailMove ? MoveError : 0;
  if (LastErrorValue != 0) return false;
  Files[to] = Files[from];
  Files.erase(from);
  return true;
}

std::uint32_t FakePlatform::FileAttributes(const std::u16string& wideName) {
  const std::string name = FileKey(wideName);
  auto link = Links.find(name);
  if (link != Links.end()) return kAttributeReparsePoint | (Folders.count(link->second) ? kAttributeDirectory : 0);
  if (Files.count(name)) return 0x20 | (ReadOnlyFiles.count(name) ? kAttributeReadOnly : 0);  // FILE_ATTRIBUTE_ARCHIVE
  if (Folders.count(name)) return kAttributeDirectory;
  LastErrorValue = kFileNotFound;
  return kNoAttributes;
}

std::u16string FakePlatform::FinalPathName(const std::u16string& wideName) {
  std::string path = FileKey(wideName);
  for (const auto& [link, target] : Links) {
    if (path.compare(0, link.size(), link) == 0 && (path.size() == link.size() || path[link.size()] == '\\')) {
      path = target + path.substr(link.size());
    }
  }
  return Files.count(path) || Folders.count(path) ? MultiByteToWide(kCodePageUtf8, "\\\\?\\" + path) : std::u16string();
}

bool FakePlatform::FileHolders(const std::u16string& name, std::vector<std::u16string>& programs) {
  auto hold = HeldFiles.find(FileKey(name));
  programs = hold == HeldFiles.end() ? std::vector<std::u16string>() : hold->second.Holders;
  return true;
}

bool FakePlatform::FileSecurity(const std::u16string& name, ObjectSecurity& security) {
  auto found = Security.find(FileKey(name));
  if (found != Security.end()) security = found->second;
  return found != Security.end();
}

std::uint32_t FakePlatform::TickCount() { return Now(); }

void FakePlatform::Sleep(std::uint32_t milliseconds) {
  ++SleepCalls;
  Block(Now() + milliseconds);
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

// Windows' path rules, as far as the bridge's folders need them: slashes are
// separators, relative paths start in CurrentFolder, "." and ".." segments go,
// a segment's single trailing period goes, and without a final separator the
// last segment loses its trailing periods and blanks.
std::u16string FakePlatform::FullPathName(const std::u16string& path) {
  if (path.empty()) return std::u16string();
  std::u16string text = path;
  std::replace(text.begin(), text.end(), u'/', u'\\');
  if (text.size() < 3 || text[1] != u':' || text[2] != u'\\') {
    text = text[0] == u'\\' ? CurrentFolder.substr(0, 2) + text : CurrentFolder + text;
  }
  const bool endsInSeparator = text.back() == u'\\';
  std::vector<std::u16string> segments;
  std::size_t start = 3;
  while (start <= text.size()) {
    std::size_t end = text.find(u'\\', start);
    if (end == std::u16string::npos) end = text.size();
    std::u16string segment = text.substr(start, end - start);
    const bool last = end == text.size();
    if (last && !endsInSeparator) {
      while (!segment.empty() && (segment.back() == u'.' || segment.back() == u' ')) segment.pop_back();
    }
    if (segment == u"..") {
      if (!segments.empty()) segments.pop_back();
    } else if (!segment.empty() && segment != u".") {
      if (segment.size() > 1 && segment.back() == u'.' && segment[segment.size() - 2] != u'.') segment.pop_back();
      segments.push_back(segment);
    }
    start = end + 1;
  }
  std::u16string full = text.substr(0, 3);
  for (std::size_t i = 0; i < segments.size(); ++i) full += (i == 0 ? u"" : u"\\") + segments[i];
  if (endsInSeparator && !segments.empty()) full += u'\\';
  return full;
}

std::u16string FakePlatform::LongPathName(const std::u16string& path) {
  auto found = LongPaths.find(path);
  return found == LongPaths.end() ? std::u16string() : found->second;
}

namespace {
// Upper case of ASCII, Latin-1 and Latin Extended-A, enough for Polish folder names.
char16_t UpperUnit(char16_t unit) {
  if (unit >= u'a' && unit <= u'z') return static_cast<char16_t>(unit - 32);
  if (unit >= 0xE0 && unit <= 0xFE && unit != 0xF7) return static_cast<char16_t>(unit - 32);
  const bool oddIsLower = (unit >= 0x100 && unit <= 0x137) || (unit >= 0x14A && unit <= 0x177);
  const bool evenIsLower = (unit >= 0x139 && unit <= 0x148) || (unit >= 0x179 && unit <= 0x17E);
  if (oddIsLower && unit % 2 == 1) return static_cast<char16_t>(unit - 1);
  if (evenIsLower && unit % 2 == 0) return static_cast<char16_t>(unit - 1);
  return unit;
}
}  // namespace

bool FakePlatform::SameTextOrdinalIgnoreCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (UpperUnit(a[i]) != UpperUnit(b[i])) return false;
  }
  return true;
}

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
  WindowQueries.push_back("caption");
  const FakeWindow* found = FindWindow(window);
  return found == nullptr ? 0 : CopyName(found->Caption, buffer, size);
}

int FakePlatform::GetClassName(WindowHandle window, char* buffer, int size) {
  WindowQueries.push_back("class");
  const FakeWindow* found = FindWindow(window);
  return found == nullptr ? 0 : CopyName(found->ClassName, buffer, size);
}

std::uint32_t FakePlatform::WindowProcessId(WindowHandle window) {
  const FakeWindow* found = FindWindow(window);
  return found == nullptr ? 0 : found->ProcessId;
}

OsHandle FakePlatform::OpenProcessWithRights(std::uint32_t processId, bool denied) {
  if (denied) {
    LastErrorValue = kAccessDenied;
    return kNullHandle;
  }
  if (UnopenableProcesses.count(processId) || !ProcessImages.count(processId)) {
    LastErrorValue = kInvalidParameter;
    return kNullHandle;
  }
  const OsHandle handle = 0x10000 + processId;
  OpenProcesses.insert(handle);
  return handle;
}

OsHandle FakePlatform::OpenProcessLimited(std::uint32_t processId) {
  return OpenProcessWithRights(processId, ProtectedProcesses.count(processId) > 0);
}

std::u16string FakePlatform::QueryFullProcessImageName(OsHandle process) {
  auto image = ProcessImages.find(static_cast<std::uint32_t>(process - 0x10000));
  if (!OpenProcesses.count(process) || image == ProcessImages.end()) return std::u16string();
  return MultiByteToWide(kCodePageUtf8, image->second);
}

bool FakePlatform::AllowCopyDataFromLowerRights(WindowHandle window) {
  CopyDataAllowedFor = window;
  return true;
}

std::uint32_t FakePlatform::RegisterWindowMessage(const char* name) {
  return FailRegisterMessage || std::string(name) != "OrvinMCPMsg" ? 0 : kTag;
}

WindowHandle FakePlatform::CreateHiddenWindow(const char* className, CopyDataHandler onCopyData,
                                              CloseHandler onClose) {
  if (FailCreateWindow || std::string(className) != "OrvinMCPProxyWnd") {
    LastErrorValue = CreateWindowError;
    return 0;
  }
  ProxyHandler = onCopyData;
  ProxyCloseHandler = onClose;
  ProxyHandle = 0x2A0ABC;
  return ProxyHandle;
}

void FakePlatform::DestroyWindow(WindowHandle window) {
  if (window == ProxyHandle) ProxyDestroyed = true;
}

bool FakePlatform::SendCopyData(WindowHandle target, WindowHandle from, std::uintptr_t tag, const char* data,
                                std::uint32_t size, std::uint32_t timeoutMilliseconds) {
  LastSendFrom = from;
  const FakeWindow* window = FindWindow(target);
  if (window == nullptr || tag != kTag || size == 0) {
    LastErrorValue = kInvalidWindowHandle;
    return false;
  }
  if (window->SendError != 0) {
    LastErrorValue = window->SendError;
    return false;
  }
  const std::string request(data, std::strlen(data) < size ? std::strlen(data) : size);
  HandshakeRequests.push_back(request);
  const auto respond = window->OnCopyData;  // the window may be changed while it answers
  Block(Now() + std::min(window->TakesMs, timeoutMilliseconds));
  if (!respond || !respond(request)) {
    if (FindWindow(target) == nullptr) {  // SMTO_ERRORONEXIT: a window that is gone ends the wait
      LastErrorValue = kInvalidWindowHandle;
      return false;
    }
    Block(Now() + timeoutMilliseconds - std::min(window->TakesMs, timeoutMilliseconds));
    LastErrorValue = kTimeout;
    return false;
  }
  return true;
}

bool FakePlatform::WindowExists(WindowHandle window) { return FindWindow(window) != nullptr; }

bool FakePlatform::DeliverDueMessage() {
  for (auto it = Messages.begin(); it != Messages.end(); ++it) {
    if (it->At > Tick) continue;
    const QueuedMessage message = *it;
    Messages.erase(it);
    if (ProxyHandler != nullptr) ProxyHandler(message.Tag, message.Data.data(), message.Data.size());
    return true;
  }
  return false;
}

bool FakePlatform::SocketStartup() { return true; }

OsHandle FakePlatform::SocketOpen() {
  if (PreSendFailure.Failure == HttpFailure::Open) {
    LastErrorValue = PreSendFailure.ErrorCode;
    return kInvalidHandle;
  }
  const OsHandle handle = NextHandle++;
  Sockets[handle];
  ++OpenSockets;
  return handle;
}

bool FakePlatform::SocketSetReceiveTimeout(OsHandle socket, std::uint32_t milliseconds) {
  Sockets.at(socket).ReceiveTimeout = milliseconds;
  return true;
}

bool FakePlatform::SocketSetSendTimeout(OsHandle socket, std::uint32_t milliseconds) {
  Sockets.at(socket).SendTimeout = milliseconds;
  return true;
}

bool FakePlatform::SocketConnect(OsHandle socket, const char* address, std::uint16_t port) {
  if (PreSendFailure.Failure == HttpFailure::Connect) {
    LastErrorValue = PreSendFailure.ErrorCode;
    return false;
  }
  if (!Endpoint) {
    LastErrorValue = 10061;  // WSAECONNREFUSED: nothing listens
    return false;
  }
  if (!RefusedConnects.empty()) {
    LastErrorValue = RefusedConnects.front();
    RefusedConnects.pop_front();
    return false;
  }
  FakeSocket& s = Sockets.at(socket);
  s.Connected = true;
  s.Request.Port = port;
  ConnectHost = address;
  return true;
}

namespace {
std::string ResponseBytes(const FakeHttpResponse& response, std::size_t& bodyStart) {
  if (!response.Raw.empty()) {
    bodyStart = 0;
    return response.Raw;
  }
  if (!response.StatusAvailable) {
    bodyStart = 0;
    return std::string();
  }
  std::string head = "HTTP/1.1 " + std::to_string(response.Status) + " X\r\n";
  if (!response.ContentType.empty()) head += "Content-Type: " + response.ContentType + "\r\n";
  std::string body = response.Body;
  if (response.Chunked) {
    head += "Transfer-Encoding: chunked\r\n";
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", response.Body.size());
    body = (response.Body.empty() ? std::string() : size + response.Body + "\r\n") + "0\r\n\r\n";
  } else if (response.DeclaresLength) {
    const std::size_t length =
        response.DeclaredLength == std::string::npos ? response.Body.size() : response.DeclaredLength;
    head += "Content-Length: " + std::to_string(length) + "\r\n";
  }
  head += "\r\n";
  bodyStart = head.size();
  return head + body;
}

std::string HeaderValue(const std::string& headers, const std::string& name) {
  const std::size_t at = Lower(headers).find("\n" + Lower(name) + ":");
  if (at == std::string::npos) return std::string();
  std::size_t start = at + name.size() + 2;
  while (start < headers.size() && headers[start] == ' ') ++start;
  return headers.substr(start, headers.find('\r', start) - start);
}
}  // namespace

bool FakePlatform::SocketSend(OsHandle socket, const char* data, std::uint32_t size, std::uint32_t& sent) {
  FakeSocket& s = Sockets.at(socket);
  sent = 0;
  if (!s.Connected || s.Answered) {
    LastErrorValue = 10057;  // WSAENOTCONN
    return false;
  }
  if (s.Sent.size() + size > EndpointTakesAtMost) {
    Block(Now() + (s.SendTimeout != 0 ? s.SendTimeout : 24 * 3600000u));  // without one: for a day
    LastErrorValue = 10060;
    return false;
  }
  s.Sent.append(data, size);
  sent = size;
  const std::size_t headEnd = s.Sent.find("\r\n\r\n");
  if (headEnd == std::string::npos) return true;
  const std::string head = s.Sent.substr(0, headEnd + 2);
  const std::size_t lineEnd = head.find("\r\n");
  const std::string headers = head.substr(lineEnd + 2);
  const std::size_t length = std::stoul("0" + HeaderValue("\n" + headers, "Content-Length"));
  if (s.Sent.size() < headEnd + 4 + length) return true;

  // The request is whole: the endpoint reads it and answers.
  FakeHttpRequest& request = s.Request;
  const std::string requestLine = head.substr(0, lineEnd);
  const std::size_t space1 = requestLine.find(' ');
  const std::size_t space2 = requestLine.find(' ', space1 + 1);
  request.Verb = requestLine.substr(0, space1);
  request.Object = requestLine.substr(space1 + 1, space2 - space1 - 1);
  request.Version = requestLine.substr(space2 + 1);
  request.Headers = headers;
  request.Agent = HeaderValue("\n" + headers, "User-Agent");
  request.Body = s.Sent.substr(headEnd + 4, length);
  request.AtTick = Now();
  HttpRequests.push_back(request);
  s.Answered = true;
  const FakeHttpResponse response = Endpoint(request);
  if (response.Failure == HttpFailure::Send) {
    LastErrorValue = response.ErrorCode;
    return false;
  }
  std::size_t bodyStart = 0;
  s.Stream = ResponseBytes(response, bodyStart);
  s.AnsweredAt = Now();
  s.Delay = response.Delay;
  s.ByteInterval = response.ByteInterval;
  if (response.Failure == HttpFailure::Read) {
    s.FailAt = bodyStart + (response.ReadFailsAfter == std::string::npos ? 0 : response.ReadFailsAfter);
    s.FailCode = response.ErrorCode;
  }
  return true;
}

bool FakePlatform::SocketReceive(OsHandle socket, char* buffer, std::uint32_t size, std::uint32_t& received) {
  FakeSocket& s = Sockets.at(socket);
  received = 0;
  LargestRead = std::max(LargestRead, size);
  const std::uint64_t due = s.Delay + std::uint64_t(s.ByteInterval) * s.Position, waited = Now() - s.AnsweredAt;
  if (due > waited && s.ReceiveTimeout != 0 && due - waited > s.ReceiveTimeout) {
    Block(Now() + s.ReceiveTimeout);
    LastErrorValue = 10060;
    return false;
  }
  if (due > waited) Block(Now() + static_cast<std::uint32_t>(due - waited));
  if (s.Position >= s.FailAt) {
    LastErrorValue = s.FailCode;
    return false;
  }
  std::size_t count = std::min<std::size_t>({size, ReadChunkLimit, s.Stream.size() - s.Position});
  if (s.FailAt != std::string::npos) count = std::min(count, s.FailAt - s.Position);
  if (s.ByteInterval != 0) count = std::min<std::size_t>(count, 1);  // a trickle: the reader waits for each byte
  std::memcpy(buffer, s.Stream.data() + s.Position, count);
  s.Position += count;
  received = static_cast<std::uint32_t>(count);
  return true;
}

void FakePlatform::SocketClose(OsHandle socket) {
  if (Sockets.erase(socket) > 0) --OpenSockets;
}

// ---- The event loop, and log writes that never wait ----

void FakePlatform::Block(std::uint32_t until) {
  if (InWork) {
    WorkClock = std::max(WorkClock, until);
  } else {
    AdvanceTo(until);
  }
}

void FakePlatform::QueueWork(LoopTask work, LoopTask done) { Work.push_back({std::move(work), std::move(done)}); }

void FakePlatform::RunLoopOnce(std::uint32_t timeoutMilliseconds) {
  ++LoopWaits;
  WaitsAtThisTick = Tick == LastWaitTick ? WaitsAtThisTick + 1 : 1;
  LastWaitTick = Tick;
  MostWaitsAtOneTick = std::max(MostWaitsAtOneTick, WaitsAtThisTick);
  for (WorkItem& item : Work) {  // workers start as soon as the loop lets go
    if (item.Ran) continue;
    InWork = true;
    WorkClock = Tick;
    WorkReadsInput = false;
    item.Work();
    InWork = false;
    item.Ran = true;
    item.DueAt = WorkClock;
    item.ReadsInput = WorkReadsInput;
    if (WorkReadsInput) ++InputReadsInFlight;
  }
  const std::uint32_t deadline = Tick + timeoutMilliseconds;
  for (;;) {
    bool handled = false;
    while (DeliverDueMessage()) handled = true;
    // Finished work in the order it finished; a done may queue more.
    std::vector<WorkItem> finished;
    for (auto it = Work.begin(); it != Work.end();) {
      if (it->Ran && it->DueAt <= Tick) {
        finished.push_back(std::move(*it));
        it = Work.erase(it);
      } else {
        ++it;
      }
    }
    std::stable_sort(finished.begin(), finished.end(),
                     [](const WorkItem& a, const WorkItem& b) { return a.DueAt < b.DueAt; });
    for (WorkItem& item : finished) {
      if (item.ReadsInput) --InputReadsInFlight;
      item.Done();
      handled = true;
    }
    if (Watched != kNullHandle && Watched == ParentHandle && ParentEndsAt != 0 && Tick >= ParentEndsAt) {
      Watched = kNullHandle;
      LoopTask onEnded = std::move(OnWatchedEnded);
      onEnded();
      handled = true;
    }
    if (handled || Tick >= deadline) return;
    std::uint32_t next = deadline;
    for (const WorkItem& item : Work) {
      if (item.Ran) next = std::min(next, item.DueAt);
    }
    for (const QueuedMessage& message : Messages) next = std::min(next, std::max(message.At, Tick));
    if (Watched != kNullHandle && Watched == ParentHandle && ParentEndsAt != 0) next = std::min(next, ParentEndsAt);
    if (!Events.empty()) next = std::min(next, std::max(Tick, Events.begin()->first));
    AdvanceTo(next);
  }
}

void FakePlatform::WatchProcessEnd(OsHandle process, LoopTask onEnded) {
  Watched = process;
  OnWatchedEnded = std::move(onEnded);
}

bool FakePlatform::WriteInOrder(OsHandle handle, std::string block, std::size_t holdAtMost) {
  if (handle == ErrorHandleValue && ErrorWriterFull && holdAtMost != 0) return false;
  std::uint32_t written = 0;
  if (!WriteFile(handle, block.data(), static_cast<std::uint32_t>(block.size()), written) &&
      handle == OutputHandleValue && OnOutputWriteFailed) {
    const std::uint32_t error = LastErrorValue;
    QueueWork([] {}, [onFailed = OnOutputWriteFailed, error] { onFailed(error); });
  }
  return true;
}

bool FakePlatform::FinishWrites(OsHandle handle, std::uint32_t timeoutMilliseconds) {
  if (handle == ErrorHandleValue) ++FinishWritesCalls;
  LastFinishWritesWait = timeoutMilliseconds;
  return true;
}

void FakePlatform::WatchWriteFailure(OsHandle handle, std::function<void(std::uint32_t)> onFailed) {
  if (handle == OutputHandleValue) OnOutputWriteFailed = std::move(onFailed);
}

TIpAddress FakePlatform::Mapped(std::uint32_t address) {
  return {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, std::uint8_t(address >> 24), std::uint8_t(address >> 16),
          std::uint8_t(address >> 8), std::uint8_t(address)};
}

bool FakePlatform::SocketLocalAddress(OsHandle socket, std::uint32_t& address, std::uint16_t& port) {
  if (!Sockets.at(socket).Connected) return false;
  address = 0x7F000001;
  port = static_cast<std::uint16_t>(50000 + socket % 10000);
  return true;
}

bool FakePlatform::TcpConnections(bool ipv6, std::vector<TTcpConnection>& rows) {
  ++ConnectionTableReads;
  if (ConnectionTableError != 0) {
    LastErrorValue = ConnectionTableError;
    return false;
  }
  rows = ipv6 ? std::vector<TTcpConnection>() : OtherConnections;
  const TIpAddress loopback = Mapped(0x7F000001);
  for (const auto& socket : Sockets) {
    if (!socket.second.Connected) continue;
    const std::uint16_t port = static_cast<std::uint16_t>(socket.second.Request.Port);
    const std::uint16_t own = static_cast<std::uint16_t>(50000 + socket.first % 10000);
    // The bridge's own side, whichever table: only the server side tells who took the connection.
    if (!ipv6) rows.push_back({loopback, own, loopback, port, ProcessIdValue});
    const auto owner = PortOwners.find(port);
    if (ServerSideListed && ipv6 == ServerSideOnIpv6) {
      rows.push_back({loopback, port, loopback, own, owner == PortOwners.end() ? 4000 : owner->second});
    }
  }
  return true;
}

bool FakePlatform::ReadConsoleKey(OsHandle input, char16_t& key) {
  Block(Now() + KeyTypingMs);
  if (input != InputHandleValue || !InputIsConsole || ConsoleKeys.empty()) return false;
  key = ConsoleKeys.front();
  ConsoleKeys.pop_front();
  return true;
}
