#include "hub/ratelimit.h"

// Until the answers' headers are read, nothing is known and nothing waits.
RateLimitView ApiRateLimit() { return RateLimitView(); }
