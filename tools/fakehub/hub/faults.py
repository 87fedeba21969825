"""Fault modes picked per request by a /__fault/MODE/ prefix: parsing them, the hold gate, and the
answers of the modes that replace the route's (redirects, status codes) or change a listing; the
write modes act in the routes they concern (uploads, commits)."""

import threading
from http import HTTPStatus

from hub.content import wrong_digest
from hub.responses import error_resp, redirect_resp

REDIRECT_FAULTS = {"redirect_loop", "redirects", "redirect_host2", "redirect_relative"}
INT_FAULTS = {"status", "cut_at", "slow", "fake_length", "delay", "redirects"}
FLAG_FAULTS = {"malformed", "no_length", "redirect_host2", "redirect_relative", "no_link",
               "link_loop", "link_relative", "hold"}
# Download modes: parallel ranges, resumes and checked content.
RANGE_INT_FAULTS = {"rate", "change_after"}
RANGE_FLAG_FAULTS = {"no_ranges", "range_200", "wrong_hash", "mask_hash"}
# Write modes, N[:K] (K: only the first K requests they meet): a storage upload cut off after N bytes,
# a commit answered N without committing, or answered N after committing.
PAIR_FAULTS = {"cut_range", "cut_upload", "fail_commit", "fail_after_commit"}
HOLD_LIMIT = 60.0   # a held request answers anyway after this long, so a failed test cannot hang it

STATUS_TEXT = {
    429: "You have exceeded our hourly quotas for action: api. We invite you to retry later.",
    500: "Internal Error - We're working hard to fix this as soon as possible!",
}


class FaultError(Exception):
    pass


class HoldGate:
    """Requests with the `hold` fault wait here until /__admin/release opens the gate once."""

    def __init__(self):
        self.cond = threading.Condition()
        self.releases = 0

    def wait(self):
        with self.cond:
            seen = self.releases
            self.cond.wait_for(lambda: self.releases != seen, timeout=HOLD_LIMIT)

    def release(self):
        with self.cond:
            self.releases += 1
            self.cond.notify_all()


class Fault:
    def __init__(self, name, value, page, token):
        self.name, self.value, self.page, self.token = name, value, page, token


def parse_faults(cfg):
    out = []
    for tok in cfg.split("+"):
        if not tok:
            continue
        body, at, page = tok.partition("@")
        name, eq, val = body.partition("=")
        try:
            page = int(page) if at else None
            if name == "fail_page":
                n, _, code = val.partition(":")
                name, page, val = "status", int(n), int(code)
            elif name in INT_FAULTS:
                val = int(val)
            elif name == "redirect_loop":
                val = int(val) if eq else 0
            elif name in FLAG_FAULTS:
                if eq:
                    raise ValueError
                val = True
            else:
                val = parse_range_fault(name, val, eq)
                if val is None:
                    raise ValueError
        except ValueError:
            raise FaultError(f"bad fault token {tok!r}")
        out.append(Fault(name, val, page, tok))
    return out


def parse_range_fault(name, val, eq):
    """The value of a download fault token, or raises ValueError (None: not one of these)."""
    if name in RANGE_INT_FAULTS:
        return int(val)
    if name in RANGE_FLAG_FAULTS:
        if eq:
            raise ValueError
        return True
    if name in PAIR_FAULTS:
        n, _, k = val.partition(":")
        return (int(n), int(k) if k else None)
    return None


def fault_prefix(tokens):
    return "/__fault/" + "+".join(tokens) if tokens else ""


def fault_redirect(c, f):
    others = [x.token for x in c.faults if x is not f]
    if f.name == "redirect_loop":
        # A new counter on each hop, so a client cannot spot the loop by comparing URLs.
        toks = [x.token if x is not f else f"redirect_loop={f.value + 1}" for x in c.faults]
        return redirect_resp(302, c.origin + fault_prefix(toks) + c.target)
    if f.name == "redirects":
        toks = [x.token if x is not f else f"redirects={f.value - 1}" for x in c.faults
                if x is not f or f.value > 1]
        return redirect_resp(302, c.origin + fault_prefix(toks) + c.target)
    if f.name == "redirect_host2":
        return redirect_resp(302, c.origins["host2"] + fault_prefix(others) + c.target)
    return redirect_resp(307, fault_prefix(others) + c.target, [("Vary", "Origin, Accept")])


def fault_status(c, code):
    msg = STATUS_TEXT.get(code) or (HTTPStatus(code).phrase if code in
                                    HTTPStatus._value2member_map_ else f"Status {code}")
    extra = []
    if code == 429:
        bucket, q = ("api", 500) if c.api else ("resolvers", 3000)
        extra = [("RateLimit", f'"{bucket}";r=0;t=120'),
                 ("RateLimit-Policy", f'"fixed window";"{bucket}";q={q};w=300')]
    return error_resp(code, msg, c.api, www=code == 401, headers=extra)


def listing_hash_faults(item, names):
    """wrong_hash / mask_hash on one tree item (a copy)."""
    if item.get("type") != "file" or not ({"wrong_hash", "mask_hash"} & set(names)):
        return item
    item = dict(item)
    if "lfs" in item:
        item["lfs"] = dict(item["lfs"])
        item["lfs"]["oid"] = "*" * 64 if "mask_hash" in names else wrong_digest(item["lfs"]["oid"])
    elif "wrong_hash" in names:
        item["oid"] = wrong_digest(item["oid"])
    return item


def pair_fault(c, name, *key):
    """N of a write mode N[:K] in force for this request, or None: absent, or past its first K
    requests (counted per mode and key; /__admin/reset starts the count again)."""
    f = c.names.get(name)
    if f is None:
        return None
    n, k = f.value
    if k is not None and c.versions.count((name, f.token) + key) > k:
        return None
    return n
