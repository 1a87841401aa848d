#include "core/Log.h"

#include "common/Encodings.h"
#include "common/Text.h"
#include "platform/Platform.h"

namespace {
enum class OutputKindValue { Undecided, Console, Pipe, Other };

// How long the end of the process waits for log lines still on their way.
constexpr std::uint32_t kFinishWritesWait = 500;

struct LogState {
  OsHandle ErrorHandle = kNullHandle;
  OutputKindValue OutputKind = OutputKindValue::Undecided;
  std::string LinePrefix;
  std::uint64_t DroppedLines = 0;  // refused by a pipe since the last line it took
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
  const std::string line = "[" + FormatTime() + "] [" + State.LinePrefix + "] " + ShowLineBreaks(text);
  std::string encoded = State.OutputKind == OutputKindValue::Console
                            ? WideToCodePage(Utf8ToWide(line), Os().ConsoleOutputCodePage())
                            : line;
  encoded += "\r\n";
  return encoded;
}

// A pipe that nobody reads must not stop the bridge: what it cannot take now is
// dropped, and counted in the first line that it takes again.
void WriteToPipe(std::string encoded) {
  if (State.DroppedLines > 0) {
    encoded = EncodeLine("Liczba pominiętych wierszy dziennika: " + ToDecimal(State.DroppedLines) +
                         " - odbiorca nie odczytywał strumienia błędów.") +
              encoded;
  }
  if (Os().WriteWithoutWaiting(State.ErrorHandle, encoded.data(), static_cast<std::uint32_t>(encoded.size()))) {
    State.DroppedLines = 0;
  } else {
    ++State.DroppedLines;
  }
}
}  // namespace

void ResetLogState() { State = LogState(); }

void Log(const std::string& text) {
  if (State.ErrorHandle == kNullHandle) State.ErrorHandle = Os().StdHandle(StdStream::Error);
  if (State.ErrorHandle == kNullHandle || State.ErrorHandle == kInvalidHandle) return;
  if (State.LinePrefix.empty()) State.LinePrefix = "OrvinMCP:" + ToDecimal(Os().CurrentProcessId());
  if (State.OutputKind == OutputKindValue::Undecided) {
    const FileType type = Os().GetFileType(State.ErrorHandle);
    State.OutputKind = type == FileType::Char   ? OutputKindValue::Console
                       : type == FileType::Pipe ? OutputKindValue::Pipe
                                                : OutputKindValue::Other;
  }
  if (State.OutputKind == OutputKindValue::Pipe) {
    WriteToPipe(EncodeLine(text));
    return;
  }
  const std::string encoded = EncodeLine(text);
  std::uint32_t written = 0;
  Os().WriteFile(State.ErrorHandle, encoded.data(), static_cast<std::uint32_t>(encoded.size()), written);
}

void FinishLog() {
  if (State.OutputKind == OutputKindValue::Pipe) Os().FinishWritesWithoutWaiting(kFinishWritesWait);
}

std::string FormatTiming(std::uint32_t elapsedMilliseconds, std::int32_t requestBytes, std::int32_t replyBytes) {
  return "t=" + ToDecimal(elapsedMilliseconds) + "ms, rq=" + ToDecimal(static_cast<int>(requestBytes)) +
         "B, rp=" + ToDecimal(static_cast<int>(replyBytes)) + "B";
}
