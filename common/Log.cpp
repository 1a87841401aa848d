#include "common/Log.h"

#include "common/Encodings.h"
#include "common/HiddenToken.h"
#include "common/Text.h"
#include "platform/Platform.h"

namespace {
// The writer holds at most this much that the error stream has not taken yet;
// more would only grow while nobody reads.
constexpr std::size_t kLogHeldAtMost = 256 * 1024;

struct LogState {
  OsHandle ErrorHandle = kNullHandle;
  bool Decided = false;
  bool Console = false;
  std::string LinePrefix;
  std::uint64_t DroppedLines = 0;  // refused by the writer since the last line it took
};

LogState State;

std::string TwoDigits(int value) { return std::string(1, char('0' + value / 10 % 10)) + char('0' + value % 10); }

std::string FormatTime() {
  const LocalTime time = Os().GetLocalTime();
  const char separator = Os().TimeSeparator();
  const int ms = time.Millisecond;
  return TwoDigits(time.Hour) + separator + TwoDigits(time.Minute) + separator + TwoDigits(time.Second) + "." +
         char('0' + ms / 100 % 10) + char('0' + ms / 10 % 10) + char('0' + ms % 10);
}

std::string EncodeLine(const std::string& text) {
  // One line per event: a line break in a text from outside must not start a line
  // that looks like one of the log's own.
  const std::string line = "[" + FormatTime() + "] [" + State.LinePrefix + "] " + ShowLineBreaks(HideTokens(text));
  std::string encoded = State.Console ? WideToCodePage(Utf8ToWide(line), Os().ConsoleOutputCodePage()) : line;
  encoded += "\r\n";
  return encoded;
}
}  // namespace

void ResetLogState() { State = LogState(); }

// A stream that nobody reads (or a console frozen by a selection) must not stop
// the bridge: what its writer cannot hold now is dropped, and counted in the
// first line that it takes again.
void Log(const std::string& text) {
  if (State.ErrorHandle == kNullHandle) State.ErrorHandle = Os().StdHandle(StdStream::Error);
  if (State.ErrorHandle == kNullHandle || State.ErrorHandle == kInvalidHandle) return;
  if (!State.Decided) {
    State.Decided = true;
    State.LinePrefix = "OrvinMCP:" + ToDecimal(Os().CurrentProcessId());
    State.Console = Os().GetFileType(State.ErrorHandle) == FileType::Char;
  }
  std::string encoded = EncodeLine(text);
  if (State.DroppedLines > 0) {
    encoded = EncodeLine("Liczba pominiętych wierszy dziennika: " + ToDecimal(State.DroppedLines) +
                         " - odbiorca nie odczytywał strumienia błędów.") +
              encoded;
  }
  if (Os().WriteInOrder(State.ErrorHandle, std::move(encoded), kLogHeldAtMost)) {
    State.DroppedLines = 0;
  } else {
    ++State.DroppedLines;
  }
}

void FinishLog(std::uint32_t waitAtMost) {
  if (State.Decided) Os().FinishWrites(State.ErrorHandle, waitAtMost);
}

// A text from outside may itself end inside a token: a reply that breaks off in a
// JSON string is whole as HTTP goes. So every excerpt counts as a fragment.
std::string LogExcerpt(const std::string& bytes, std::size_t maxBytes) {
  return ShowAsText(HideTokensInFragment(CutUtf8(bytes, maxBytes)));
}

std::string FormatTiming(std::uint32_t elapsedMilliseconds, std::int32_t requestBytes, std::int32_t replyBytes) {
  return "t=" + ToDecimal(elapsedMilliseconds) + "ms, rq=" + ToDecimal(static_cast<int>(requestBytes)) +
         "B, rp=" + ToDecimal(static_cast<int>(replyBytes)) + "B";
}
