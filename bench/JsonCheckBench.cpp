// Prints how long the check that a reply is one valid JSON object takes, for
// replies of the shapes the bridge relays, up to 200 MB. Time per byte that stays
// flat as the reply grows shows that the check is linear.
#include <chrono>
#include <cstdio>
#include <string>

#include "common/JsonText.h"

namespace {
// One tool result with one long text, escapes and Polish letters in it.
std::string TextReply(std::size_t bytes) {
  std::string reply = R"({"jsonrpc":"2.0","id":7,"result":{"content":[{"type":"text","text":")";
  const std::string piece = "Faktura nr 12/2025 dla \\\"Łódź Sp. z o.o.\\\"\\n\\tkwota: 1 234,56 zł; ";
  while (reply.size() < bytes) reply += piece;
  return reply + R"("}],"isError":false}})";
}

// Many small records: names, numbers, literals and nesting.
std::string RecordsReply(std::size_t bytes) {
  std::string reply = R"({"jsonrpc":"2.0","id":7,"result":{"structuredContent":{"rows":[)";
  const std::string row = R"({"id":123456,"name":"Kowalski","paid":true,"note":null,"sum":-1.5e3,"tags":["a","b"]},)";
  while (reply.size() < bytes) reply += row;
  reply.back() = ']';
  return reply + "}}}";
}

// The fastest of three runs: the machine may be busy with other work.
void Report(const char* what, const std::string& reply) {
  double best = 0;
  bool valid = false;
  for (int run = 0; run < 3; ++run) {
    const auto start = std::chrono::steady_clock::now();
    valid = IsSingleJsonObject(reply);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (run == 0 || elapsed.count() < best) best = elapsed.count();
  }
  std::printf("%-20s %11zu bytes %-9s %8.2f ms %7.3f ns/byte\n", what, reply.size(), valid ? "valid" : "NOT VALID",
              best * 1e3, best * 1e9 / static_cast<double>(reply.size()));
}
}  // namespace

int main() {
  std::printf("Check of a reply: one valid JSON object\n");
  for (std::size_t megabytes : {20u, 200u}) {
    const std::string size = std::to_string(megabytes) + " MB";
    Report(("text of " + size).c_str(), TextReply(megabytes * 1000 * 1000));
    Report(("records of " + size).c_str(), RecordsReply(megabytes * 1000 * 1000));
  }
  return 0;
}
