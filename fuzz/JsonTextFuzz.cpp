// The JSON text scanners against the reference parser: the strict check of one
// object, the members picked out of a line, decoded method names, and replies.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/JsonText.h"
#include "fuzz/FuzzCheck.h"
#include "fuzz/ReferenceJson.h"

namespace {
// What JsonRawValue should give for `key` by the reference parse.
std::string ExpectedRawValue(const std::vector<TReferenceMember>& members, const std::string& key) {
  for (const TReferenceMember& member : members) {
    if (member.Name != key) continue;
    std::string raw = member.RawValue;
    if (!raw.empty() && (raw[0] == '{' || raw[0] == '[')) {
      for (char& c : raw) {
        if (c == '\r' || c == '\n') c = ' ';
      }
    }
    return raw;
  }
  return std::string();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 8192) return 0;  // the reference parser recurses
  const std::string text(reinterpret_cast<const char*>(data), size);

  std::vector<TReferenceMember> members;
  const bool valid = ParseReferenceObject(text, members);
  FUZZ_CHECK(IsSingleJsonObject(text) == valid);

  std::string decoded;
  FUZZ_CHECK(IsJsonString(text) == DecodeReferenceString(text, decoded));
  if (IsJsonString(text)) FUZZ_CHECK(JsonStringValue(text) == decoded);

  if (valid) {
    for (const char* key : {"id", "method", "params", "protocolVersion", "name"}) {
      FUZZ_CHECK(JsonRawValue(text, key) == ExpectedRawValue(members, key));
    }
    const std::string id = JsonRawValue(text, "id");
    if (!id.empty()) FUZZ_CHECK(IsSingleJsonObject("{\"id\":" + id + "}"));
    const std::string method = JsonRawValue(text, "method");
    if (DecodeReferenceString(method, decoded)) FUZZ_CHECK(JsonStringValue(method) == decoded);

    const bool result = !ExpectedRawValue(members, "result").empty();
    const bool errorObject = ExpectedRawValue(members, "error").rfind('{', 0) == 0;
    FUZZ_CHECK(IsJsonRpcResponse(text) == (result || errorObject) && IsErrorReply(text) == (errorObject && !result));
    std::string withId = text;
    PutRequestId(withId, "5");
    FUZZ_CHECK(ParseReferenceObject(withId, members) && ExpectedRawValue(members, "id") == "5");
    for (const TReferenceMember& member : members) FUZZ_CHECK(member.Name != "id" || member.RawValue == "5");
  }

  // Whatever the text, the rest only has to come back.
  (void)JsonMemberValue(text, "params");
  (void)JsonParamsValue(text, "name");
  (void)DescribeRequest(text);
  (void)JsonUnquote(text);
  return 0;
}
