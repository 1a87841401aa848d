#include "core/StdStreams.h"

#include <algorithm>
#include <memory>
#include <vector>

OsHandle InputHandle = kNullHandle;
OsHandle OutputHandle = kNullHandle;

namespace {
constexpr std::uint32_t kReadChunk = 64 * 1024;
// Consumed bytes are dropped from the front only once they are the larger part
// of the buffer, so a burst of many lines costs time in proportion to its bytes.
constexpr std::size_t kCompactThreshold = 65536;
// A line longer than this is held in pieces of about this size until its line
// feed comes, then joined once: growing one buffer would hold it twice or more.
constexpr std::size_t kPieceSize = 1 << 20;

struct ReaderState {
  std::string InputBuffer;
  std::size_t LineStart = 0;  // first byte not yet handed out
  std::size_t Scanned = 0;    // bytes from LineStart on that hold no line feed
  std::vector<std::string> HeldPieces;  // the start of a long line, before InputBuffer
  bool InputEnded = false;
  void (*OnLine)(std::string) = nullptr;
  void (*OnEnd)() = nullptr;
};

// What the one read in flight brought. The worker writes it while the loop
// leaves it alone, and the loop takes it before it queues the next read.
struct ReadResult {
  std::string Bytes;
  bool Ended = false;
};

ReaderState Reader;
ReadResult LastRead;

// A pipe whose reader is gone fails every write at once with one of these
// (ERROR_BROKEN_PIPE, ERROR_NO_DATA, ERROR_PIPE_NOT_CONNECTED).
bool ReaderGone(std::uint32_t error) { return error == 109 || error == 232 || error == 233; }

// The line from the held pieces and InputBuffer up to `end`, taken whole.
std::string TakeLine(std::size_t end) {
  std::string line;
  if (Reader.HeldPieces.empty() && Reader.LineStart == 0 && end * 2 >= Reader.InputBuffer.size()) {
    // Most of the buffer is this line: hand the buffer over instead of copying it.
    std::string rest = Reader.InputBuffer.substr(std::min(end + 1, Reader.InputBuffer.size()));
    line.swap(Reader.InputBuffer);
    line.resize(end);
    Reader.InputBuffer.swap(rest);
    Reader.LineStart = Reader.Scanned = 0;
    return line;
  }
  std::size_t length = end - Reader.LineStart;
  for (const std::string& piece : Reader.HeldPieces) length += piece.size();
  line.reserve(length);
  for (std::string& piece : Reader.HeldPieces) {
    line += piece;
    std::string().swap(piece);
  }
  std::vector<std::string>().swap(Reader.HeldPieces);
  line.append(Reader.InputBuffer, Reader.LineStart, end - Reader.LineStart);
  Reader.LineStart = Reader.Scanned = std::min(end + 1, Reader.InputBuffer.size());
  if (Reader.LineStart >= kCompactThreshold && Reader.LineStart * 2 >= Reader.InputBuffer.size()) {
    Reader.InputBuffer.erase(0, Reader.LineStart);
    Reader.LineStart = Reader.Scanned = 0;
  }
  return line;
}

// Once the first bytes of one line fill a piece, the piece is set aside.
void HoldLongLinePiece() {
  if (Reader.InputBuffer.size() - Reader.LineStart < kPieceSize) return;
  Reader.InputBuffer.erase(0, Reader.LineStart);
  Reader.HeldPieces.push_back(std::move(Reader.InputBuffer));
  Reader.InputBuffer = std::string();
  Reader.LineStart = Reader.Scanned = 0;
}

// The next whole line, or the unterminated rest once input has ended; false when
// no line is complete yet.
bool NextLine(std::string& line) {
  const std::size_t lineFeed = Reader.InputBuffer.find('\n', Reader.Scanned);
  if (lineFeed != std::string::npos) {
    line = TakeLine(lineFeed);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
  }
  Reader.Scanned = Reader.InputBuffer.size();
  if (Reader.InputEnded) {
    if (Reader.LineStart >= Reader.InputBuffer.size() && Reader.HeldPieces.empty()) return false;
    line = TakeLine(Reader.InputBuffer.size());
    Reader.InputBuffer.clear();
    Reader.LineStart = Reader.Scanned = 0;
    return true;
  }
  HoldLongLinePiece();
  return false;
}

// Ordinary blocking reads on a worker, one at a time: nothing else touches
// standard input, so a pipe, a file, a console and NUL all behave alike.
void ReadChunk() {
  LastRead.Bytes.resize(kReadChunk);
  std::uint32_t read = 0;
  LastRead.Ended = !Os().ReadFile(InputHandle, &LastRead.Bytes[0], kReadChunk, read) || read == 0;
  LastRead.Bytes.resize(read);
}

void QueueRead();

void TakeChunk() {
  Reader.InputBuffer.append(LastRead.Bytes);
  Reader.InputEnded = LastRead.Ended;
  if (!Reader.InputEnded) QueueRead();  // the next read runs while these lines are handled
  std::string line;
  while (NextLine(line)) Reader.OnLine(std::move(line));
  if (Reader.InputEnded) Reader.OnEnd();
}

void QueueRead() { Os().QueueWork(ReadChunk, TakeChunk); }
}  // namespace

void ResetClientReader() {
  Reader = ReaderState();
  LastRead = ReadResult();
}

void StartReadingClientInput(void (*onLine)(std::string), void (*onEnd)()) {
  Reader.OnLine = onLine;
  Reader.OnEnd = onEnd;
  QueueRead();
}

void WriteClientLine(std::string text) {
  if (text.empty()) return;
  // Handed to the writer thread as it is: a client that reads slowly holds up
  // that thread, never the loop, and a large reply is never copied. The writer
  // alone writes standard output, so the line feed that follows stays with it.
  constexpr std::size_t kAppendedLimit = 64 * 1024;
  if (text.size() < kAppendedLimit || text.size() < text.capacity()) {
    text += '\n';
    Os().WriteInOrder(OutputHandle, std::move(text), 0);
    return;
  }
  Os().WriteInOrder(OutputHandle, std::move(text), 0);
  Os().WriteInOrder(OutputHandle, "\n", 0);
}

bool FinishClientOutput(std::uint32_t timeoutMilliseconds) { return Os().FinishWrites(OutputHandle, timeoutMilliseconds); }

void WatchClientOutput(void (*onGone)()) {
  Os().WatchWriteFailure(OutputHandle, [onGone](std::uint32_t error) {
    if (ReaderGone(error)) onGone();
  });
}

// On a worker: the writer thread may be in a write that waits for the client,
// and a synchronous handle makes every other write wait behind it.
void AskWhetherClientReads(void (*answer)(bool reads)) {
  auto error = std::make_shared<std::uint32_t>(0);
  Os().QueueWork(
      [error] {
        std::uint32_t written = 0;
        if (!Os().WriteFile(OutputHandle, "", 0, written)) *error = Os().LastError();
      },
      [error, answer] { answer(!ReaderGone(*error)); });
}
