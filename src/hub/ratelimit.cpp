// The hub's rate limits: its headers read, the pause of API requests, and the user told once per window
// on the host's main thread. Every piece of state is a plain atomic of static storage: the date worker
// reads and writes it from a thread of its own, which may still run while the process exits.
#include "hub/ratelimit.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "core/host_callbacks.h"
#include "core/state.h"
#include "core/text.h"
#include "core/time.h"
#include "hub/headers.h"
#include "platform/platform.h"

namespace {

constexpr size_t kMaxNumberDigits = 10;
constexpr size_t kMaxListMembers = 64;  // a header of more members is read as far as that

// One bucket as last announced. Ticks are milliseconds of the clock below; 0 means none.
struct Bucket {
  std::atomic<int64_t> remaining{-1};
  std::atomic<int64_t> quota{-1};
  std::atomic<int64_t> window{-1};
  std::atomic<uint64_t> window_ends{0};    // when the window of `remaining` resets
  std::atomic<uint64_t> paused_until{0};   // API: nothing is sent before; downloads: the window told of
  std::atomic<bool> reset_known{false};    // downloads: the hub said when its window resets
  std::atomic<uint64_t> pauses{0};         // pauses begun
  std::atomic<uint64_t> told{0};           // pauses told (main thread only)
};

Bucket g_api;
Bucket g_resolvers;
std::atomic<uint64_t (*)()> g_clock{nullptr};

uint64_t NowMs() {
  const auto clock = g_clock.load();
  return clock ? clock() : PlatformTickMs();
}

std::string TrimBlanks(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Splits at `separator` outside double quotes (a backslash escapes the next character inside them).
std::vector<std::string> SplitOutsideQuotes(const std::string& text, char separator, size_t max_parts) {
  std::vector<std::string> parts;
  std::string part;
  bool quoted = false, escaped = false;
  for (char c : text) {
    if (escaped) {
      escaped = false;
    } else if (quoted && c == '\\') {
      escaped = true;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == separator && !quoted) {
      parts.push_back(TrimBlanks(part));
      part.clear();
      if (parts.size() >= max_parts) return parts;
      continue;
    }
    part.push_back(c);
  }
  parts.push_back(TrimBlanks(part));
  return parts;
}

// A name member: a quoted string (its escapes undone) or a bare token; empty for anything else.
std::string NameOf(const std::string& part) {
  if (part.size() >= 2 && part.front() == '"' && part.back() == '"') {
    std::string name;
    for (size_t i = 1; i + 1 < part.size(); ++i) {
      if (part[i] == '\\' && i + 2 < part.size()) ++i;
      name.push_back(part[i]);
    }
    return name;
  }
  return part.find_first_of("\"=") == std::string::npos ? part : std::string();
}

// 1 to 10 decimal digits, capped at kMaxRateLimitNumber; -1 for anything else.
int64_t BoundedNumber(const std::string& text) {
  if (text.empty() || text.size() > kMaxNumberDigits) return -1;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return std::min(value, kMaxRateLimitNumber);
}

// The members of a list header (`"api";r=485;t=163` or `"fixed window";"api";q=500;w=300`, several
// joined by commas) that name `bucket`; calls `take` with each key and value of theirs.
template <typename Take>
void ForBucket(const std::string& value, const std::string& bucket, Take take) {
  for (const std::string& member : SplitOutsideQuotes(value, ',', kMaxListMembers)) {
    const std::vector<std::string> parts = SplitOutsideQuotes(member, ';', kMaxListMembers);
    bool ours = false;
    for (const std::string& part : parts) {
      if (part.find('=') == std::string::npos && !part.empty() && NameOf(part) == bucket) ours = true;
    }
    if (!ours) continue;
    for (const std::string& part : parts) {
      const size_t eq = part.find('=');
      if (eq != std::string::npos) take(TrimBlanks(part.substr(0, eq)), TrimBlanks(part.substr(eq + 1)));
    }
  }
}

int64_t RetryAfterSeconds(const std::string& value, int64_t now_unix) {
  const std::string text = TrimBlanks(value);
  if (text.empty()) return -1;
  if (text.find_first_not_of("0123456789") == std::string::npos) return BoundedNumber(text);
  const int64_t date = ParseHttpDate(text);
  if (date == 0) return -1;
  // Both the date and the clock name a whole second: the moment meant may lie up to one second later.
  return std::clamp<int64_t>(date - now_unix + 1, 0, kMaxRateLimitNumber);
}

// The hub's windows are fixed and announced ("w"): no reset it names lies further away than one, so a
// longer one (a date years ahead, a huge "t") is a broken or hostile answer's and waits a window at most.
int64_t LongestPause(int64_t window_seconds) {
  return window_seconds > 0 ? std::min(window_seconds, kMaxPauseSeconds) : kDefaultWindowSeconds;
}

int64_t PauseSeconds(int64_t seconds, int64_t window_seconds) {
  return std::clamp(seconds, kMinPauseSeconds, LongestPause(window_seconds));
}

// Makes the bucket's pause last until at least `seconds` from now, `seconds` already bounded. A pause
// that begins while none runs is a new window, to be told of once.
void PauseFor(Bucket& bucket, int64_t seconds) {
  const uint64_t now = NowMs();
  const uint64_t until = now + static_cast<uint64_t>(seconds) * 1000u;
  uint64_t current = bucket.paused_until.load();
  while (until > current) {
    if (bucket.paused_until.compare_exchange_weak(current, until)) {
      if (current <= now) bucket.pauses.fetch_add(1);
      return;
    }
  }
}

int64_t SecondsLeft(const Bucket& bucket) {
  const uint64_t now = NowMs(), until = bucket.paused_until.load();
  return now < until ? static_cast<int64_t>((until - now + 999) / 1000) : 0;
}

std::u16string Plural(int64_t count, const char16_t* unit) {
  return WideDecimal(count) + u" " + unit + (count == 1 ? u"" : u"s");
}

// "(500 requests per 5 minutes)", or as much of it as is known.
std::u16string Counts(int64_t quota, int64_t window_seconds) {
  if (quota < 0) return std::u16string();
  std::u16string text = u" (" + Plural(quota, u"request");
  if (window_seconds > 0) {
    text += u" per ";
    if (window_seconds % 3600 == 0) {
      text += window_seconds == 3600 ? u"hour" : Plural(window_seconds / 3600, u"hour");
    } else if (window_seconds % 60 == 0) {
      text += window_seconds == 60 ? u"minute" : Plural(window_seconds / 60, u"minute");
    } else {
      text += Plural(window_seconds, u"second");
    }
  }
  return text + u")";
}

void Tell(const std::u16string& text) {
  LogMessage(text);
  AskHost(kRequestMessageOk, u"HuggingFace", text, nullptr);
}

// What was reached since the last call, once per window; the API only while its pause lasts.
void TellReached() {
  const uint64_t api = g_api.pauses.load();
  if (api != g_api.told.load()) {
    g_api.told = api;
    const int64_t left = SecondsLeft(g_api);
    if (left > 0) Tell(ApiLimitMessage(g_api.quota, g_api.window, left));  // over already: nothing to tell
  }
  const uint64_t downloads = g_resolvers.pauses.load();
  if (downloads != g_resolvers.told.load()) {
    g_resolvers.told = downloads;
    // The copy failed whenever this is told; the log had the line when it did.
    AskHost(kRequestMessageOk, u"HuggingFace",
            DownloadLimitMessage(g_resolvers.quota, g_resolvers.window,
                                 g_resolvers.reset_known ? SecondsLeft(g_resolvers) : -1),
            nullptr);
  }
}

}  // namespace

RateLimitHeaders ReadRateLimitHeaders(const std::string& raw_headers, const std::string& bucket, int64_t now_unix) {
  RateLimitHeaders out;
  ForBucket(HeaderValue(raw_headers, "RateLimit"), bucket, [&out](const std::string& key, const std::string& value) {
    if (key == "r") out.remaining = BoundedNumber(value);
    if (key == "t") out.reset_seconds = BoundedNumber(value);
  });
  ForBucket(HeaderValue(raw_headers, "RateLimit-Policy"), bucket,
            [&out](const std::string& key, const std::string& value) {
              if (key == "q") out.quota = BoundedNumber(value);
              if (key == "w") out.window_seconds = BoundedNumber(value);
            });
  // Repeated, the header is read as one list; only a single value is a time.
  const std::string retry = HeaderValue(raw_headers, "Retry-After");
  if (retry.find(", ") == std::string::npos || ParseHttpDate(retry) != 0) {
    out.retry_after = RetryAfterSeconds(retry, now_unix);
  }
  return out;
}

RateLimitView ApiRateLimit() {
  RateLimitView view;
  view.seconds_left = SecondsLeft(g_api);
  view.paused = view.seconds_left > 0;
  const uint64_t ends = g_api.window_ends.load();
  // Once the announced window is over, what it had left says nothing of the next one.
  view.remaining = ends != 0 && NowMs() >= ends ? -1 : g_api.remaining.load();
  view.quota = g_api.quota.load();
  view.window_seconds = g_api.window.load();
  return view;
}

bool ApiRequestAllowed() { return SecondsLeft(g_api) == 0; }

void NoteApiAnswer(uint32_t status, const std::string& raw_headers) {
  const RateLimitHeaders h = ReadRateLimitHeaders(raw_headers, "api", UnixNow());
  if (h.quota >= 0) g_api.quota = h.quota;
  if (h.window_seconds >= 0) g_api.window = h.window_seconds;
  if (h.remaining >= 0) {
    g_api.window_ends = h.reset_seconds >= 0 ? NowMs() + static_cast<uint64_t>(h.reset_seconds) * 1000u : 0;
    g_api.remaining = h.remaining;
  }
  // A 429 whose own headers say the API has requests left is another limit's (the hourly commit quota):
  // listings go on.
  if (h.remaining == 0 || (status == 429 && h.remaining < 0)) {
    const int64_t reset =
        h.reset_seconds >= 0 ? h.reset_seconds : h.retry_after >= 0 ? h.retry_after : kDefaultPauseSeconds;
    PauseFor(g_api, PauseSeconds(reset, g_api.window.load()));
  }
}

void NoteDownloadRateLimited(const RateLimitHeaders& headers) {
  const int64_t announced = headers.retry_after >= 0 ? headers.retry_after : headers.reset_seconds;
  const int64_t reset = announced >= 0 ? std::min(announced, LongestPause(headers.window_seconds)) : -1;
  g_resolvers.quota = headers.quota;
  g_resolvers.window = headers.window_seconds;
  g_resolvers.reset_known = reset >= 0;
  PauseFor(g_resolvers, PauseSeconds(reset >= 0 ? reset : kDefaultPauseSeconds, headers.window_seconds));
  LogMessage(DownloadLimitMessage(headers.quota, headers.window_seconds, reset));
}

void TellRateLimitsOnMainThread() noexcept {
  if (!IsMainThread()) return;
  try {
    TellReached();
  } catch (...) {
    // Out of memory for a message: the limit goes untold, the export goes on.
  }
}

std::u16string ApiLimitMessage(int64_t quota, int64_t window_seconds, int64_t seconds_left) {
  return u"The HuggingFace API limit is reached" + Counts(quota, window_seconds) + u". Listings continue in " +
         WideDecimal(std::max<int64_t>(seconds_left, 0)) + u" s.";
}

std::u16string DownloadLimitMessage(int64_t quota, int64_t window_seconds, int64_t seconds_left) {
  std::u16string text = u"The HuggingFace download limit is reached" + Counts(quota, window_seconds) + u".";
  if (seconds_left > 0) return text + u" Try the copy again in " + WideDecimal(seconds_left) + u" s.";
  return text + (seconds_left == 0 ? u" Try the copy again." : u" Try the copy again later.");
}

void ForgetRateLimits() {
  for (Bucket* bucket : {&g_api, &g_resolvers}) {
    bucket->remaining = -1;
    bucket->quota = -1;
    bucket->window = -1;
    bucket->window_ends = 0;
    bucket->paused_until = 0;
    bucket->reset_known = false;
    bucket->told = bucket->pauses.load();
  }
}

void SetRateLimitClockForTesting(uint64_t (*tick_ms)()) { g_clock = tick_ms; }
