#!/usr/bin/env python3
"""Fake HuggingFace hub for tarnfs tests and demos.

Serves owner listings, recursive trees, collections, whoami and file downloads from
JSON scenario files, in the response shapes of the real hub, takes writes (preupload, LFS
uploads, commits) as the hub does, plus a second host that stands in for the storage
network. Faults are picked per request by a /__fault/MODE/ path prefix. Python standard library only; the parts live in hub/, one module per concern.
"""

import argparse
import json
import os
import signal
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

# What the self-test and other tools reach through this module.
from hub.commits import CommitError, make_commit  # noqa: E402,F401
from hub.common import ScenarioError  # noqa: E402
from hub.content import lfs_pointer_bytes, prehash_large_files  # noqa: E402,F401
from hub.downloads import Versions  # noqa: E402
from hub.faults import HoldGate  # noqa: E402
from hub.rate_limits import LIFTED_QUOTA, REALISTIC_COSTS, RETRY_AFTER_FORMS, Costs, RateLimits  # noqa: E402
from hub.scenario import Hub, load_hub  # noqa: E402,F401
from hub.server import RequestLog, Server  # noqa: E402
from hub.uploads import Storage  # noqa: E402


def main(argv=None):
    ap = argparse.ArgumentParser(description="Fake HuggingFace hub for tarnfs tests.")
    ap.add_argument("--scenario", action="append", default=[],
                    help="scenario JSON (path or name in scenarios/); repeat to merge")
    ap.add_argument("--port", type=int, default=0, help="hub port (0 = any free port)")
    ap.add_argument("--port2", type=int, default=0, help="second host's port (0 = any)")
    ap.add_argument("--bind", default="127.0.0.1")
    ap.add_argument("--verbose", action="store_true", help="log each request to stderr")
    ap.add_argument("--exit-on-stdin-eof", action="store_true",
                    help="stop when stdin closes (used by run_with_hub.py so a killed parent "
                         "never leaves the hub behind)")
    cost = ap.add_argument_group("costs (0 by default; --realistic-costs: "
                                 + ", ".join(f"{k}={v:g}" for k, v in REALISTIC_COSTS.items()) + ")")
    cost.add_argument("--realistic-costs", action="store_true",
                      help="the real hub's round trip and costs per item")
    cost.add_argument("--rtt-ms", type=float, help="round trip added to every answer")
    cost.add_argument("--item-ms", type=float, help="cost per item of a listing page")
    cost.add_argument("--expand-item-ms", type=float, help="cost per tree item with dates")
    lim = ap.add_argument_group("rate limits (the real hub's by default)")
    lim.add_argument("--api-quota", type=int, help="API requests per window, anonymous (500)")
    lim.add_argument("--resolvers-quota", type=int, help="downloads per window, anonymous (3000)")
    lim.add_argument("--api-quota-token", type=int, help="API requests per window with a token (1000)")
    lim.add_argument("--resolvers-quota-token", type=int,
                     help="downloads per window with a token (5000)")
    lim.add_argument("--rate-window", type=int, help="window length in seconds (300)")
    lim.add_argument("--retry-after", choices=RETRY_AFTER_FORMS,
                     help="the 429's Retry-After: seconds (default), an HTTP date, or none")
    lim.add_argument("--lift-rate-limits", action="store_true",
                     help=f"every quota {LIFTED_QUOTA} (headers as usual): for tests of other things")
    lim.add_argument("--commit-quota", type=int, help="commits per token and window (100)")
    lim.add_argument("--commit-window", type=int, help="the commit quota's window in seconds (3600)")
    up = ap.add_argument_group("uploads to the storage host")
    up.add_argument("--upload-rate", type=int, help="bytes a second per upload connection (0: no cap)")
    up.add_argument("--part-size", type=int, help="part size of multipart uploads (104857600)")
    up.add_argument("--multipart-threshold", type=int,
                    help="objects above this size upload in parts (104857600)")
    args = ap.parse_args(argv)
    try:
        hub = load_hub(args.scenario)
    except ScenarioError as e:
        sys.stderr.write(f"fakehub: {e}\n")
        return 2
    costs, limits = Costs(), RateLimits()
    try:
        if args.realistic_costs:
            costs.configure(**REALISTIC_COSTS)
        costs.configure(rtt_ms=args.rtt_ms, item_ms=args.item_ms, expand_item_ms=args.expand_item_ms)
        limits.configure(api=args.api_quota, resolvers=args.resolvers_quota,
                         api_token=args.api_quota_token, resolvers_token=args.resolvers_quota_token,
                         window=args.rate_window, retry_after=args.retry_after,
                         lift=args.lift_rate_limits)
        limits.configure(commits=args.commit_quota, commit_window=args.commit_window)
        hub.storage = Storage()
        hub.storage.configure(upload_rate=args.upload_rate, part_size=args.part_size,
                              multipart_threshold=args.multipart_threshold)
    except ValueError as e:
        sys.stderr.write(f"fakehub: {e}\n")
        return 2
    hub.gate = HoldGate()
    log, origins = RequestLog(), {}
    servers = [Server((args.bind, args.port), "hub", hub, log, origins, args.verbose),
               Server((args.bind, args.port2), "host2", hub, log, origins, args.verbose)]
    versions = Versions()
    for s in servers:
        s.versions, s.costs, s.limits = versions, costs, limits
    threading.Thread(target=prehash_large_files, args=(hub,), daemon=True).start()
    host = "127.0.0.1" if args.bind in ("0.0.0.0", "") else args.bind
    for s in servers:
        origins[s.host_name] = f"http://{host}:{s.server_address[1]}"
    for s in servers:
        threading.Thread(target=s.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *a: stop.set())
    signal.signal(signal.SIGINT, lambda *a: stop.set())
    if args.exit_on_stdin_eof:
        def watch_stdin():
            while sys.stdin.buffer.read(4096):
                pass
            stop.set()
        threading.Thread(target=watch_stdin, daemon=True).start()
    print(json.dumps({"port": servers[0].server_address[1], "port2": servers[1].server_address[1]}),
          flush=True)
    while not stop.wait(0.1):
        pass
    for s in servers:
        s.shutdown()
        s.server_close()
    hub.storage.remove()
    sys.stdout.flush()
    sys.stderr.flush()
    # A thread blocked reading stdin cannot be woken; a normal interpreter exit would
    # abort on it, so leave at once now that the sockets are closed.
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main())
