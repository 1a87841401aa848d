#include "http/HttpResponse.h"

#include <algorithm>
#include <cctype>

#include "common/Encodings.h"
#include "common/Text.h"

namespace {
constexpr std::uint32_t kReadChunk = 64 * 1024;
constexpr std::size_t kLongestHead = 64 * 1024;
constexpr std::uint64_t kLargestReservation = 1024ull * 1024 * 1024;  // a declared length is only a claim
constexpr int kLongestChunkSize = 15;                                 // hex digits; more would overflow

// What arrived and is not yet taken, and how the connection ended.
struct TReader {
  OsHandle Socket = kNullHandle;
  TDeadline Deadline;
  std::string Pending;
  std::size_t Position = 0;
  bool AnyReceived = false;
  bool Closed = false;       // the other side closed in order
  std::uint32_t Failure = 0;  // the code of a failed receive (kTimedOut past the deadline)
  bool Failed = false;
  // Where each receive lands, cleared once: growing the target for every receive
  // would clear a whole chunk for every few bytes that come.
  std::string Room = std::string(kReadChunk, '\0');
};

// Up to `wanted` more bytes appended to `to`; false, with the reader marked,
// when the connection failed or ended.
bool Receive(TReader& reader, std::string& to, std::uint32_t wanted) {
  std::uint32_t received = 0;
  if (!ReceiveBefore(reader.Deadline, reader.Socket, &reader.Room[0], wanted, received, reader.Failure)) {
    reader.Failed = true;
    return false;
  }
  if (to.capacity() < to.size() + received) to.reserve(std::max(to.capacity() * 3 / 2, to.size() + received));
  to.append(reader.Room, 0, received);
  reader.AnyReceived = reader.AnyReceived || received > 0;
  reader.Closed = received == 0;
  return received > 0;
}

// Receives up to one chunk more; false at the end of the connection.
bool ReceiveMore(TReader& reader) {
  if (reader.Closed || reader.Failed) return false;
  if (reader.Position >= kLongestHead) {  // a head stays whole, for the log of a bad one
    reader.Pending.erase(0, reader.Position);
    reader.Position = 0;
  }
  return Receive(reader, reader.Pending, kReadChunk);
}

// One line without its line end (LF, or CR LF); false when the connection ends
// first or the line is longer than `limit`, however its bytes were split.
bool ReadLine(TReader& reader, std::string& line, std::size_t limit) {
  std::size_t scanned = 0;  // of the line: bytes that came in small pieces are looked at once
  for (;;) {
    const std::size_t end = reader.Pending.find('\n', reader.Position + scanned);
    if (end != std::string::npos) {
      if (end - reader.Position > limit) return false;
      line.assign(reader.Pending, reader.Position, end - reader.Position);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      reader.Position = end + 1;
      return true;
    }
    scanned = reader.Pending.size() - reader.Position;
    if (scanned > limit || !ReceiveMore(reader)) return false;
  }
}

// Exactly `count` bytes appended to `body`.
bool ReadExactly(TReader& reader, std::uint64_t count, std::string& body) {
  const std::size_t buffered = std::min<std::uint64_t>(count, reader.Pending.size() - reader.Position);
  body.append(reader.Pending, reader.Position, buffered);
  reader.Position += buffered;
  count -= buffered;
  while (count > 0) {
    const std::size_t size = body.size();
    if (!Receive(reader, body, static_cast<std::uint32_t>(std::min<std::uint64_t>(count, kReadChunk)))) return false;
    count -= body.size() - size;
  }
  return true;
}

bool ReadToClose(TReader& reader, std::string& body) {
  for (;;) {
    if (!ReadExactly(reader, kReadChunk, body)) return reader.Closed;
  }
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  std::size_t i = 0;
  for (; prefix[i] != '\0'; ++i) {
    if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

std::string HeaderValue(const std::string& line) { return Trim(line.substr(line.find(':') + 1)); }

bool ParseDecimal(const std::string& text, std::uint64_t& value) {
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

// "HTTP/1.x 200 ..." gives 200; anything else is no status line.
bool ParseStatusLine(const std::string& line, std::uint32_t& status) {
  if (line.size() < 12 || line.compare(0, 7, "HTTP/1.") != 0 || line[8] != ' ') return false;
  if (line.size() > 12 && line[12] != ' ') return false;
  status = 0;
  for (int i = 9; i < 12; ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
    status = status * 10 + static_cast<std::uint32_t>(line[i] - '0');
  }
  return status >= 100;
}

struct THead {
  bool Chunked = false;
  bool HasLength = false;
  std::uint64_t Length = 0;
};

enum class THeadResult { Ok, Ended, Malformed };

// Why ReadLine gave no line: the connection ended, or the line was too long.
THeadResult LineMissing(const TReader& reader) {
  return reader.Closed || reader.Failed ? THeadResult::Ended : THeadResult::Malformed;
}

// The status line and the header lines up to the blank line.
THeadResult ReadHead(TReader& reader, THttpResponse& response, THead& head) {
  std::string line;
  std::size_t headBytes = 0;
  if (!ReadLine(reader, line, kLongestHead)) return LineMissing(reader);
  if (!ParseStatusLine(line, response.Status)) return THeadResult::Malformed;
  for (;;) {
    if (!ReadLine(reader, line, kLongestHead)) return LineMissing(reader);
    headBytes += line.size() + 2;
    if (headBytes > kLongestHead) return THeadResult::Malformed;
    if (line.empty()) return THeadResult::Ok;
    if (StartsWithNoCase(line, "content-type:")) {
      response.ContentType = HeaderValue(line);
    } else if (StartsWithNoCase(line, "transfer-encoding:")) {
      // Only chunked framing is ours to undo; any other coding stays in the body.
      const std::string codings = HeaderValue(line);
      head.Chunked = codings.size() >= 7 && StartsWithNoCase(codings.substr(codings.size() - 7), "chunked");
    } else if (StartsWithNoCase(line, "content-length:")) {
      std::uint64_t length = 0;
      if (!ParseDecimal(HeaderValue(line), length) || (head.HasLength && length != head.Length))
        return THeadResult::Malformed;
      head.HasLength = true;
      head.Length = length;
    }
  }
}

enum class TChunkResult { Ok, Ended, Malformed };

TChunkResult ReadChunkedBody(TReader& reader, std::string& body) {
  std::string line;
  for (;;) {
    if (!ReadLine(reader, line, kLongestHead)) {
      return reader.Closed || reader.Failed ? TChunkResult::Ended : TChunkResult::Malformed;
    }
    std::uint64_t size = 0;
    int digits = 0;
    for (char c : line) {
      const int value = c >= '0' && c <= '9' ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (value < 0) {
        if (c != ';' && c != ' ' && c != '\t') return TChunkResult::Malformed;
        break;
      }
      if (++digits > kLongestChunkSize) return TChunkResult::Malformed;
      size = size * 16 + static_cast<std::uint64_t>(value);
    }
    if (digits == 0) return TChunkResult::Malformed;
    if (size == 0) {
      // Trailer lines up to the blank one; a close among them loses nothing of the body.
      while (ReadLine(reader, line, kLongestHead) && !line.empty()) {
      }
      return TChunkResult::Ok;
    }
    if (!ReadExactly(reader, size, body)) return TChunkResult::Ended;
    if (!ReadLine(reader, line, 2)) return reader.Closed || reader.Failed ? TChunkResult::Ended : TChunkResult::Malformed;
    if (!line.empty()) return TChunkResult::Malformed;  // the chunk was longer than its size said
  }
}

// An answer that did not come whole: `amount` tells how much of the body did
// (empty while the head was not whole).
std::string BrokenOff(const TReader& reader, const std::string& amount) {
  const std::string code = reader.Failed ? "kod " + ToDecimal(reader.Failure) : std::string();
  const std::string details = amount.empty() || code.empty() ? amount + code : amount + ", " + code;
  const std::string ending = details.empty() ? "." : " (" + details + ").";
  if (reader.Failed && reader.Failure == kTimedOut) {
    return std::string("Odpowiedź Orvina nie nadeszła") + (reader.AnyReceived ? " w całości" : "") + " w ciągu " +
           ToDecimal(reader.Deadline.Milliseconds / 60000) + " min" + ending;
  }
  if (!reader.AnyReceived) return "Połączenie zerwało się, zanim nadeszła odpowiedź Orvina" + ending;
  return "Odpowiedź Orvina urwała się" + ending;
}
}  // namespace

bool ReadHttpResponse(OsHandle socket, const TDeadline& deadline, THttpResponse& response, std::string& errorText) {
  TReader reader;
  reader.Socket = socket;
  reader.Deadline = deadline;
  THead head;
  THeadResult headResult;
  do {  // interim responses (1xx) come before the final one
    response = THttpResponse();
    head = THead();
    headResult = ReadHead(reader, response, head);
  } while (headResult == THeadResult::Ok && response.Status < 200);

  if (headResult != THeadResult::Ok) {
    response.Body = reader.Pending;  // what came, for the log
    if (reader.Failed) {
      errorText = BrokenOff(reader, std::string());
    } else if (headResult == THeadResult::Malformed) {
      errorText = "Orvin odesłał coś, co nie jest odpowiedzią HTTP.";
    } else {
      errorText = "Orvin zamknął połączenie bez odpowiedzi HTTP (status " + ToDecimal(response.Status) + ").";
    }
    return false;
  }

  std::string& body = response.Body;
  bool whole = true;
  if (response.Status == 204 || response.Status == 304) {
    // no body by definition
  } else if (head.Chunked) {
    const TChunkResult chunks = ReadChunkedBody(reader, body);
    if (chunks == TChunkResult::Malformed) {
      errorText = "Odpowiedź Orvina ma błędnie podzielone ciało (chunked, po " +
                  ToDecimal(static_cast<std::uint64_t>(body.size())) + " B).";
      return false;
    }
    whole = chunks == TChunkResult::Ok;
  } else if (head.HasLength) {
    body.reserve(static_cast<std::size_t>(std::min(head.Length, kLargestReservation)));
    whole = ReadExactly(reader, head.Length, body);
  } else {
    whole = ReadToClose(reader, body);
  }
  if (whole) return true;
  errorText = BrokenOff(reader, ToDecimal(static_cast<std::uint64_t>(body.size())) +
                                    (head.HasLength && !head.Chunked ? " z " + ToDecimal(head.Length) : std::string()) +
                                    " B");
  return false;
}
