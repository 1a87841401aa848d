#include "core/Log.h"

#include "common/AICommon.h"
#include "common/AICommonUtf8.h"
#include "platform/Platform.h"

namespace {
enum class OutputKindValue { Undecided, Console, Other };

struct LogState {
  OsHandle ErrorHandle = kNullHandle;
  OutputKindValue OutputKind = OutputKindValue::Undecided;
  std::string LinePrefix;
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
}  // namespace

void ResetLogState() { State = LogState(); }

void Log(const std::string& text) {
  if (State.ErrorHandle == kNullHandle) State.ErrorHandle = Os().StdHandle(StdStream::Error);
  if (State.ErrorHandle == kNullHandle || State.ErrorHandle == kInvalidHandle) return;
  if (State.LinePrefix.empty()) State.LinePrefix = "OrvinMCP:" + ToDecimal(Os().CurrentProcessId());
  if (State.OutputKind == OutputKindValue::Undecided) {
    State.OutputKind =
        Os().GetFileType(State.ErrorHandle) == FileType::Char ? OutputKindValue::Console : OutputKindValue::Other;
  }
  const std::string line = "[" + FormatTime() + "] [" + State.LinePrefix + "] " + text;
  std::string encoded = State.OutputKind == OutputKindValue::Console
                            ? WideToCodePage(Utf8ToWide(line), Os().ConsoleOutputCodePage())
                            : line;
  encoded += "\r\n";
  std::uint32_t written = 0;
  Os().WriteFile(State.ErrorHandle, encoded.data(), static_cast<std::uint32_t>(encoded.size()), written);
}

std::string FormatTiming(std::uint32_t elapsedMilliseconds, std::int32_t requestBytes, std::int32_t replyBytes) {
  return "t=" + ToDecimal(elapsedMilliseconds) + "ms, rq=" + ToDecimal(static_cast<int>(requestBytes)) +
         "B, rp=" + ToDecimal(static_cast<int>(replyBytes)) + "B";
}
