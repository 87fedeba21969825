// The hub's API rate limit as its answers announce it ("RateLimit" and "RateLimit-Policy" headers, a
// 429 with "Retry-After"): whether API requests must wait, and how much of the window's budget is left.
// The state is plain atomics, so any thread may read it at any time, also while the process exits.
#pragma once

#include <cstdint>
#include <string>

struct RateLimitView {
  bool paused = false;          // no API request may be sent before the announced reset
  int64_t seconds_left = 0;     // while paused: seconds until requests may go out again
  int64_t remaining = -1;       // requests left in the current window as last announced; -1 unknown
  int64_t quota = -1;           // requests per window ("q"); -1 unknown
  int64_t window_seconds = -1;  // the window's length ("w"); -1 unknown
};

// The "api" bucket (listings, the key check) as last seen.
RateLimitView ApiRateLimit();

// ---- Reading an answer's headers ------------------------------------------------------------------

// What one answer says of one bucket ("api" for /api/, "resolvers" for downloads). Outside input:
// anything unreadable, another bucket's entry, a negative number or one of more than ten digits counts
// as absent (-1), and counts and seconds never exceed kMaxRateLimitNumber.
struct RateLimitHeaders {
  int64_t remaining = -1;       // RateLimit "r"
  int64_t reset_seconds = -1;   // RateLimit "t"
  int64_t quota = -1;           // RateLimit-Policy "q"
  int64_t window_seconds = -1;  // RateLimit-Policy "w"
  int64_t retry_after = -1;     // Retry-After in seconds from `now_unix` (a date: one more; one past: 0)
};
constexpr int64_t kMaxRateLimitNumber = 1000000000;

// `raw_headers` as HttpResponseHead::raw_headers holds them.
RateLimitHeaders ReadRateLimitHeaders(const std::string& raw_headers, const std::string& bucket, int64_t now_unix);

// ---- The API's pause --------------------------------------------------------------------------------

// A pause lasts the announced reset ("t"), else Retry-After, else this long; at least a second, and at
// most the bucket's window as the hub announced it ("w", itself taken up to an hour), else 300 s (the
// hub's fixed windows are 5 minutes).
constexpr int64_t kDefaultPauseSeconds = 60;
constexpr int64_t kMinPauseSeconds = 1;
constexpr int64_t kDefaultWindowSeconds = 300;
constexpr int64_t kMaxPauseSeconds = 3600;

// False while API requests must wait (HttpGet then sends nothing and reports a 429).
bool ApiRequestAllowed();
// Every API answer's status and headers: the budget left, and a pause at 0 remaining or after a 429
// (unless that 429 says the API has requests left: another limit refused it).
void NoteApiAnswer(uint32_t status, const std::string& raw_headers);

// ---- Downloads -------------------------------------------------------------------------------------

// A download's 429 is waited for (once) when its Retry-After is at most this long.
constexpr int64_t kMaxDownloadWaitSeconds = 30;
// A download that ends on a 429: logged with the message, and told once per window on the main thread.
void NoteDownloadRateLimited(const RateLimitHeaders& headers);

// ---- Telling the user -------------------------------------------------------------------------------

// On the host's main thread (elsewhere it does nothing): a limit reached since the last call, on this
// thread or another, is logged and told through the host's request callback, once per window.
void TellRateLimitsOnMainThread() noexcept;
// The texts told. Counts the headers did not give (-1) are left out; seconds_left -1: not known.
std::u16string ApiLimitMessage(int64_t quota, int64_t window_seconds, int64_t seconds_left);
std::u16string DownloadLimitMessage(int64_t quota, int64_t window_seconds, int64_t seconds_left);

// Every bucket forgotten, nothing left to tell: a module starting (FsInitW) knows nothing of the hub's
// limits yet. Not while another thread of the module may be sending requests.
void ForgetRateLimits();
// Tests: the millisecond clock the pauses run on (nullptr: the platform's tick).
void SetRateLimitClockForTesting(uint64_t (*tick_ms)());
