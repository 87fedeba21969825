// The hub's API rate limit as its answers announce it ("RateLimit" and "RateLimit-Policy" headers, a
// 429 with "Retry-After"): whether API requests must wait, and how much of the window's budget is left.
// The state is plain atomics, so any thread may read it at any time, also while the process exits.
#pragma once

#include <cstdint>

struct RateLimitView {
  bool paused = false;          // no API request may be sent before the announced reset
  int64_t seconds_left = 0;     // while paused: seconds until requests may go out again
  int64_t remaining = -1;       // requests left in the current window as last announced; -1 unknown
  int64_t quota = -1;           // requests per window ("q"); -1 unknown
  int64_t window_seconds = -1;  // the window's length ("w"); -1 unknown
};

// The "api" bucket (listings, the key check) as last seen.
RateLimitView ApiRateLimit();
