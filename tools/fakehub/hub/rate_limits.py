"""What answers cost (a round trip and a cost per listed item) and the hub's rate limits: fixed
windows per caller and bucket, with the RateLimit headers every answer carries."""

import math
import threading
import time
from email.utils import formatdate

from hub.responses import error_resp

# What the real hub's answers cost, from a measured 6,544-file dataset (recursive): about 2 s in
# 7 pages of 1,000 without dates, about 42 s in 66 pages of 100 with dates. A 40 ms round trip per
# answer and 0.3 ms per item give 7 x 40 ms + 6,544 x 0.3 ms = 2.2 s; 6 ms per dated item (20
# times as much) gives 66 x 40 ms + 6,544 x 6 ms = 41.9 s.
REALISTIC_COSTS = {"rtt_ms": 40.0, "item_ms": 0.3, "expand_item_ms": 6.0}


class Costs:
    """The time an answer takes before its head goes out: a round trip, plus a cost per listed item
    (higher for tree items with dates). All 0 by default, so tests stay fast. Each request waits on
    its own thread: parallel requests overlap, as on the real hub."""

    def __init__(self):
        self.lock = threading.Lock()
        self.rtt_ms = self.item_ms = self.expand_item_ms = 0.0

    def configure(self, **values):
        with self.lock:
            for k, v in values.items():
                if v is not None:
                    if float(v) < 0:
                        raise ValueError(f"{k} must not be negative")
                    setattr(self, k, float(v))

    def state(self):
        with self.lock:
            return {"rtt_ms": self.rtt_ms, "item_ms": self.item_ms,
                    "expand_item_ms": self.expand_item_ms}

    def seconds(self, resp):
        with self.lock:
            per_item = self.expand_item_ms if resp.dated else self.item_ms
            return (self.rtt_ms + resp.items * per_item) / 1000.0


# The real hub's quotas per 5-minute fixed window: (bucket, with a token) -> requests.
DEFAULT_QUOTAS = {("api", False): 500, ("resolvers", False): 3000,
                  ("api", True): 1000, ("resolvers", True): 5000}
DEFAULT_WINDOW = 300
# Commits per token and hour: the hub keeps such a quota without publishing it; 100 is our choice.
DEFAULT_COMMITS, DEFAULT_COMMIT_WINDOW = 100, 3600
LIFTED_QUOTA = 1000000       # what "lifted" means: headers as usual, a quota no test reaches
RETRY_AFTER_FORMS = ("seconds", "date", "none")


class Limit:
    def __init__(self, bucket, allowed, remaining, reset, quota, window, retry_after):
        self.bucket, self.allowed, self.remaining = bucket, allowed, remaining
        self.reset, self.quota, self.window, self.retry_after = reset, quota, window, retry_after

    def headers(self):
        h = [("RateLimit", f'"{self.bucket}";r={self.remaining};t={self.reset}'),
             ("RateLimit-Policy", f'"fixed window";"{self.bucket}";q={self.quota};w={self.window}')]
        if not self.allowed and self.retry_after == "seconds":
            h.append(("Retry-After", str(self.reset)))
        elif not self.allowed and self.retry_after == "date":
            h.append(("Retry-After", formatdate(time.time() + self.reset, usegmt=True)))
        return h


class RateLimits:
    """Fixed windows per caller (a known token, else the client address) and bucket ("api" for the
    API, "resolvers" for downloads through the hub). A request over the quota is answered 429 and
    not counted; its window starts at the caller's first request and lasts `window` seconds."""

    def __init__(self):
        self.lock = threading.Lock()
        self.quotas = dict(DEFAULT_QUOTAS)
        self.window = DEFAULT_WINDOW
        self.retry_after = "seconds"
        self.commits, self.commit_window = DEFAULT_COMMITS, DEFAULT_COMMIT_WINDOW
        self.windows = {}

    def configure(self, api=None, resolvers=None, api_token=None, resolvers_token=None,
                  window=None, retry_after=None, lift=False, commits=None, commit_window=None):
        with self.lock:
            if lift:
                self.quotas = {k: LIFTED_QUOTA for k in self.quotas}
                self.commits = LIFTED_QUOTA
            if commits is not None:
                if int(commits) < 0:
                    raise ValueError("a quota must not be negative")
                self.commits = int(commits)
            if commit_window is not None:
                if int(commit_window) < 1:
                    raise ValueError("the commit window must be at least 1 s")
                self.commit_window = int(commit_window)
            for key, v in ((("api", False), api), (("resolvers", False), resolvers),
                           (("api", True), api_token), (("resolvers", True), resolvers_token)):
                if v is not None:
                    if int(v) < 0:
                        raise ValueError("a quota must not be negative")
                    self.quotas[key] = int(v)
            if window is not None:
                if int(window) < 1:
                    raise ValueError("the window must be at least 1 s")
                self.window = int(window)
            if retry_after is not None:
                if retry_after not in RETRY_AFTER_FORMS:
                    raise ValueError(f"retry_after must be one of {', '.join(RETRY_AFTER_FORMS)}")
                self.retry_after = retry_after
            self.windows = {}

    def state(self):
        with self.lock:
            return {"api": self.quotas[("api", False)], "resolvers": self.quotas[("resolvers", False)],
                    "api_token": self.quotas[("api", True)],
                    "resolvers_token": self.quotas[("resolvers", True)],
                    "window": self.window, "retry_after": self.retry_after,
                    "commits": self.commits, "commit_window": self.commit_window}

    def commit_limit(self, token, count):
        """The token's commit window: the Limit a commit meets, counted when count (a commit made)."""
        now = time.monotonic()
        with self.lock:
            w = self.windows.get((token, "commit"))
            if w is None or now >= w[0] + self.commit_window:
                w = self.windows[(token, "commit")] = [now, 0]
            if count:
                w[1] += 1
            reset = max(1, math.ceil(w[0] + self.commit_window - now))
            return Limit("commit", w[1] < self.commits, max(0, self.commits - w[1]), reset,
                         self.commits, self.commit_window, self.retry_after)

    def take(self, caller, token, bucket):
        now = time.monotonic()
        with self.lock:
            quota = self.quotas[(bucket, token)]
            w = self.windows.get((caller, bucket))
            if w is None or now >= w[0] + self.window:
                w = self.windows[(caller, bucket)] = [now, 0]
            reset = max(1, math.ceil(w[0] + self.window - now))
            allowed = w[1] < quota
            if allowed:
                w[1] += 1
            return Limit(bucket, allowed, quota - w[1], reset, quota, self.window, self.retry_after)


def rate_bucket(raw):
    """The bucket a request counts in, from its target: None for routes without a limit."""
    path = raw.split("?", 1)[0]
    if path.startswith("/__fault/"):
        path = "/" + path[len("/__fault/"):].partition("/")[2]
    if path.startswith("/api/resolve-cache/"):
        return "resolvers"          # a download's second hop, served like the first
    if path.startswith("/api/"):
        return "api"
    segs = path.split("/")[1:]
    if segs and segs[0] in ("datasets", "spaces"):
        segs = segs[1:]
    return "resolvers" if len(segs) >= 4 and segs[2] == "resolve" else None



def over_quota(raw, limit):
    """The 429 of a request past its window's quota: JSON under /api/, the text elsewhere."""
    path = raw if not raw.startswith("/__fault/") else "/" + raw[9:].partition("/")[2]
    msg = (f"You have exceeded our hourly quotas for action: {limit.bucket}. "
           "We invite you to retry later.")
    return error_resp(429, msg, path.startswith("/api/"), headers=limit.headers())
