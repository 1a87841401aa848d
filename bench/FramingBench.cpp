// Prints how long the stream framing takes for bursts of growing size. Time per
// byte that stays flat as the input grows shows that framing is linear.
#include <chrono>
#include <cstdio>
#include <string>

#include "core/StdStreams.h"
#include "tests/unit/FakePlatform.h"

namespace {
std::size_t Lines = 0;
bool Ended = false;

struct Result {
  double Seconds;
  std::size_t Lines;
};

Result Frame(const std::string& input) {
  FakePlatform fake;
  SetPlatform(&fake);
  ResetClientReader();
  InputHandle = fake.InputHandleValue;
  fake.AddInput(input);
  Lines = 0;
  Ended = false;
  const auto start = std::chrono::steady_clock::now();
  StartReadingClientInput([](std::string) { ++Lines; }, [] { Ended = true; });
  while (!Ended) fake.RunLoopOnce(1000);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return {elapsed.count(), Lines};
}

void Report(const char* what, const std::string& input) {
  const Result result = Frame(input);
  std::printf("%-28s %10zu bytes %8zu lines %9.2f ms %8.2f ns/byte\n", what, input.size(), result.Lines,
              result.Seconds * 1e3, result.Seconds * 1e9 / static_cast<double>(input.size()));
}

std::string ShortLines(std::size_t count) {
  std::string input;
  const std::string line = R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})";
  for (std::size_t i = 0; i < count; ++i) input += line + "\n";
  return input;
}
}  // namespace

int main() {
  std::printf("Framing of standard input (one burst each)\n");
  for (std::size_t lines : {25000u, 50000u, 100000u}) {
    Report(("short lines x" + std::to_string(lines)).c_str(), ShortLines(lines));
  }
  for (std::size_t megabytes : {12u, 25u, 50u}) {
    Report(("one line of " + std::to_string(megabytes) + " MB").c_str(),
           std::string(megabytes * 1000 * 1000, 'x') + "\n");
  }
  return 0;
}
