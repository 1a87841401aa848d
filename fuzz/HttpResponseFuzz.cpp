// One HTTP response, the CRM application's bytes on the connection, read through
// the platform double twice: as they come in reads of up to 64 KiB, and in small
// pieces. Nothing may be invented, a whole response has a final status (204 and
// 304 without a body), and the split may not change the verdict.
//
// Input: the size of the small reads; a byte that, when not 0, makes the byte at
// a chosen place a run of about 64 KiB (lines around the limit are otherwise out
// of reach); that place; where the connection breaks (0 to 127: it does not);
// then the response.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "http/McpEndpoint.h"
#include "tests/unit/FakePlatform.h"

namespace {
struct TVerdict {
  bool Whole = false;
  std::int32_t Status = 0;
  std::string Body, Error, ContentType;
  bool MayHaveRun = false;
};

TVerdict Exchange(const std::string& stream, std::size_t breakAt, std::uint32_t readSize) {
  FakePlatform fake;
  SetPlatform(&fake);
  fake.ReadChunkLimit = readSize;
  fake.Endpoint = [&stream, breakAt](const FakeHttpRequest&) {
    FakeHttpResponse response;
    response.Raw = stream;
    if (breakAt < stream.size()) {
      response.Failure = HttpFailure::Read;
      response.ErrorCode = 10054;
      response.ReadFailsAfter = breakAt;
    }
    return response;
  };
  TVerdict verdict;
  TPostResult post = PostToCrm("{}", 8123, "tok");
  verdict.Whole = post.Ok;
  verdict.Body = post.Reply;
  verdict.Status = post.StatusCode;
  verdict.Error = post.Message;
  verdict.MayHaveRun = post.MayHaveRun;
  verdict.ContentType = post.ContentType;
  return verdict;
}

// Every byte of `part` comes from `whole`, in order.
bool TakenFrom(const std::string& part, const std::string& whole) {
  std::size_t at = 0;
  for (char c : part) {
    at = whole.find(c, at);
    if (at == std::string::npos) return false;
    ++at;
  }
  return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;  // and an empty response would be no raw bytes for the double
  std::string stream(reinterpret_cast<const char*>(data) + 4, size - 4);
  if (data[1] != 0) {
    const std::size_t at = data[2] % stream.size();
    stream.insert(at, 65536 - 128 + data[1], stream[at]);
  }
  const std::size_t breakAt = data[3] < 128 ? std::string::npos : stream.size() * (data[3] - 128) / 128;

  const TVerdict once = Exchange(stream, breakAt, 1u << 20);
  const TVerdict pieces = Exchange(stream, breakAt, 1 + data[0] % 16);
  for (const TVerdict* verdict : {&once, &pieces}) {
    FUZZ_CHECK(TakenFrom(verdict->Body, stream));
    FUZZ_CHECK(stream.find(verdict->ContentType) != std::string::npos);
    FUZZ_CHECK(verdict->MayHaveRun == !verdict->Whole);
    FUZZ_CHECK(verdict->Whole == verdict->Error.empty());
    if (!verdict->Whole) continue;
    FUZZ_CHECK(verdict->Status >= 200 && verdict->Status <= 999);
    if (verdict->Status == 204 || verdict->Status == 304) FUZZ_CHECK(verdict->Body.empty());
  }
  FUZZ_CHECK(once.Whole == pieces.Whole);
  FUZZ_CHECK(once.Status == pieces.Status);
  FUZZ_CHECK(once.Error == pieces.Error);
  FUZZ_CHECK(once.ContentType == pieces.ContentType);
  if (once.Whole) FUZZ_CHECK(once.Body == pieces.Body);
  return 0;
}
