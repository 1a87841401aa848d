#include "core/StdStreams.h"

#include "core/IdleWork.h"

OsHandle InputHandle = kNullHandle;
OsHandle OutputHandle = kNullHandle;

namespace {
constexpr std::uint32_t kReadChunk = 16384;
constexpr std::uint32_t kPollInterval = 50;
// Consumed bytes are dropped from the front only once they are the larger part
// of the buffer, so a burst of many lines costs time in proportion to its bytes.
constexpr std::size_t kCompactThreshold = 65536;

struct ReaderState {
  std::string InputBuffer;
  std::size_t LineStart = 0;  // first byte not yet handed out
  std::size_t Scanned = 0;    // bytes from LineStart on that hold no line feed
  bool InputEnded = false;
  bool PollInput = true;
};

ReaderState Reader;

std::string TakeBufferedLine(std::size_t lineFeed) {
  std::string line = Reader.InputBuffer.substr(Reader.LineStart, lineFeed - Reader.LineStart);
  Reader.LineStart = lineFeed + 1;
  Reader.Scanned = Reader.LineStart;
  if (Reader.LineStart >= kCompactThreshold && Reader.LineStart * 2 >= Reader.InputBuffer.size()) {
    Reader.InputBuffer.erase(0, Reader.LineStart);
    Reader.LineStart = Reader.Scanned = 0;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

void ReadMore() {
  char chunk[kReadChunk];
  std::uint32_t read = 0;
  if (!Os().ReadFile(InputHandle, chunk, kReadChunk, read) || read == 0) {
    Reader.InputEnded = true;
    return;
  }
  Reader.InputBuffer.append(chunk, read);
}
}  // namespace

void ResetClientReader() { Reader = ReaderState(); }

bool ReadClientLine(std::string& line) {
  line.clear();
  for (;;) {
    const std::size_t lineFeed = Reader.InputBuffer.find('\n', Reader.Scanned);
    if (lineFeed != std::string::npos) {
      line = TakeBufferedLine(lineFeed);
      return true;
    }
    Reader.Scanned = Reader.InputBuffer.size();
    if (Reader.InputEnded) {
      if (Reader.LineStart >= Reader.InputBuffer.size()) return false;
      line = Reader.InputBuffer.substr(Reader.LineStart);
      Reader.InputBuffer.clear();
      Reader.LineStart = Reader.Scanned = 0;
      return true;
    }
    if (Reader.PollInput) {
      std::uint32_t available = 0;
      if (!Os().PeekPipe(InputHandle, available)) {
        Reader.PollInput = false;
      } else if (available == 0) {
        DoIdleWork();
        Os().Sleep(kPollInterval);
        continue;
      }
    }
    ReadMore();
  }
}

void WriteClientLine(const std::string& text) {
  constexpr std::size_t kCopiedLineLimit = 64 * 1024;
  if (text.empty()) return;
  std::uint32_t written = 0;
  if (text.size() < kCopiedLineLimit) {
    const std::string line = text + '\n';  // one write: the client never sees half a line
    Os().WriteFile(OutputHandle, line.data(), static_cast<std::uint32_t>(line.size()), written);
    return;
  }
  // A large reply is not copied again just to add its line feed.
  Os().WriteFile(OutputHandle, text.data(), static_cast<std::uint32_t>(text.size()), written);
  Os().WriteFile(OutputHandle, "\n", 1, written);
}
