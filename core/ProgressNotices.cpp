#include "core/ProgressNotices.h"

#include <algorithm>
#include <vector>

#include "common/JsonText.h"
#include "core/StdStreams.h"
#include "mcp/LocalMessages.h"

namespace {
constexpr std::uint32_t kFirstNotice = 5000;
constexpr std::uint32_t kNoticeInterval = 10000;

struct TWatched {
  std::string Id;     // raw JSON
  std::string Token;  // raw JSON, as the client wrote it
  std::uint32_t Since = 0;
  std::uint32_t Due = 0;
  std::uint32_t LastProgress = 0;
  int Sent = 0;
};

std::vector<TWatched> Watched;

bool IsDue(const TWatched& watched, std::uint32_t now) { return static_cast<std::int32_t>(now - watched.Due) >= 0; }

// A token is a string or a number; anything else the client sent is no token.
std::string ProgressToken(const std::string& line) {
  const std::string token = JsonRawValue(JsonParamsValue(line, "_meta"), "progressToken");
  if (token.empty() || JsonScalarEnd(token, 0) != token.size()) return std::string();
  return token[0] == '"' || token[0] == '-' || (token[0] >= '0' && token[0] <= '9') ? token : std::string();
}
}  // namespace

void WatchProgress(const TRequestPass& pass, std::uint32_t since) {
  if (pass.Id.empty()) return;
  if (std::any_of(Watched.begin(), Watched.end(), [&pass](const TWatched& w) { return w.Id == pass.Id; })) return;
  // Cheap for the many lines that carry none: no token, no scan of params.
  if (pass.Line.find("progressToken") == std::string::npos) return;
  TWatched watched;
  watched.Token = ProgressToken(pass.Line);
  if (watched.Token.empty()) return;
  watched.Id = pass.Id;
  watched.Since = since;
  watched.Due = since + kFirstNotice;
  Watched.push_back(std::move(watched));
}

int StopProgress(const std::string& id) {
  int sent = 0;
  for (auto it = Watched.begin(); it != Watched.end();) {
    if (it->Id == id) {
      sent += it->Sent;
      it = Watched.erase(it);
    } else {
      ++it;
    }
  }
  return sent;
}

void StopAllProgress() { Watched.clear(); }

void SendDueProgress(std::uint32_t now) {
  for (TWatched& watched : Watched) {
    if (!IsDue(watched, now)) continue;
    // Whole seconds since it went out, rising even when the loop woke late.
    const std::uint32_t seconds = std::max((now - watched.Since) / 1000, watched.LastProgress + 1);
    WriteClientLine(MakeProgressNotice(watched.Token, seconds));
    watched.LastProgress = seconds;
    ++watched.Sent;
    while (IsDue(watched, now)) watched.Due += kNoticeInterval;
  }
}

std::uint32_t ProgressWakeIn(std::uint32_t now) {
  std::uint32_t wake = 0xFFFFFFFF;
  for (const TWatched& watched : Watched) {
    wake = std::min(wake, IsDue(watched, now) ? 0u : watched.Due - now);
  }
  return wake;
}

void ResetProgressNotices() { Watched.clear(); }
