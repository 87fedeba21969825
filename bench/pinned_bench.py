#!/usr/bin/env python3
"""Listings pinned to the hub's commits, at the real hub's costs (not a test: CTest never runs it).

Starts the fake hub with the scale scenario and the real hub's round trip, costs per item and rate
limits (a fresh hub per platform), runs tarn_scale_bench (bench/scale_bench.cpp) on a module file given
by path, and takes every figure from the hub's request log:

  small   the typical 15-file model opened from an empty cache: its requests and time
  change  the 15-file model listed (root and onnx/), a commit on the hub that adds a file and changes
          another, a minute of nothing, the same two listings: what they show and ask
  browse  the 100k-file dataset's root, data/ and 20 of its folders listed, then those 20 folders
          browsed round and round for two minutes: the requests of those two minutes

  bench/pinned_bench.py                          # build/linux's and build/win64's modules
  bench/pinned_bench.py --native build/main/bin/tarnfs.so --wine '' --label before
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
from urllib.request import Request, urlopen

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from scale_bench import FakeHub, ROOT, WINE_RUN, api_requests, build_driver, win_path  # noqa: E402

SMALL = ("model", "scale-org/small-15")
CRAWL = ("dataset", "scale-org/crawl-100k")
BROWSED = [f"data/{k:03d}" for k in range(0, 100, 5)]
NEW_CONFIG = '{"architectures": ["Bench"], "changed": "after the first listing", "pad": "' + "x" * 64 + '"}\n'
COMMIT = {"repo": SMALL[1], "title": "Add a file, change another",
          "files": [{"path": "added.txt", "text": "a file pushed after the first listing\n"},
                    {"path": "config.json", "text": NEW_CONFIG}]}


def cases():
    return {
        "small": (SMALL, ["list:"], 60),
        "change": (SMALL, ["list:", "list:onnx", "sleep:61", "phase:later", "list:", "list:onnx"], 180),
        "browse": (CRAWL, ["list:", "list:data"] + [f"list:{p}" for p in BROWSED] +
                   ["phase:browse", "browse:120:250:" + ",".join(BROWSED)], 400),
    }


def post(url, obj):
    req = Request(url, data=json.dumps(obj).encode(), headers={"Content-Type": "application/json"}, method="POST")
    with urlopen(req, timeout=60) as r:
        return json.loads(r.read())


def run_case(key, platform, module, driver, hub):
    repo, steps, timeout = cases()[key]
    hub.fresh()
    cmd = [driver, win_path(module) if platform == "wine" else module, hub.url, repo[0], repo[1]] + steps
    if platform == "wine":
        cmd = [WINE_RUN] + cmd
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, start_new_session=True)
    killer = threading.Timer(timeout, proc.kill)
    killer.start()
    listings, commit = [], None
    for line in proc.stdout:
        try:
            obj = json.loads(line)
        except ValueError:
            continue
        if "items" not in obj:
            continue
        listings.append(obj)
        if key == "change" and len(listings) == 2:  # both folders listed: the branch moves now
            commit = post(hub.url + "__admin/commit", COMMIT)
    proc.wait()
    killer.cancel()
    return {"listings": listings, "commit": commit, "api": api_requests(hub.get("__admin/log")),
            "load": os.getloadavg()[0]}


def kind_of(path):
    if "/revision/" in path:
        return "revision"
    return "tree" if "/tree/" in path else "other"


def during(result, listing):
    start, end = listing["wall"] - 0.01, listing["wall"] + listing["ms"] / 1000.0 + 0.01
    return [e for e in result["api"] if start <= e["time"] <= end]


def judge(key, result):
    listings = result["listings"]
    if key == "small":
        x = listings[0]
        asked = during(result, x)
        kinds = ", ".join(kind_of(e["path"]) for e in asked)
        return f"{x['ms']:.0f} ms, {len(asked)} request{'s' * (len(asked) != 1)} ({kinds}), {len(x['items'])} names"
    if key == "change":
        later = [x for x in listings if x["phase"] == "later"]
        if len(later) < 2 or not result["commit"]:
            return "did not finish"
        sha = result["commit"]["sha"]
        root = {n: s for n, _, s, _ in later[0]["items"]}
        shown = "added.txt" in root and root.get("config.json") == len(NEW_CONFIG.encode())
        asked = during(result, later[0])
        at_commit = all(sha in e["path"] for e in asked if kind_of(e["path"]) == "tree")
        text = ("both shown" if shown else "**not shown**: " + ("added.txt " if "added.txt" not in root else "") +
                f"config.json {root.get('config.json')} B (now {len(NEW_CONFIG.encode())} B)")
        text += (f" {later[0]['t'] - listings[0]['t']:.0f} s after the first listing, in {later[0]['ms']:.0f} ms; "
                 f"{len(asked)} requests ({', '.join(kind_of(e['path']) for e in asked)})"
                 + (", the tree at the new commit" if asked and at_commit else ""))
        text += f"; onnx/ then {len(during(result, later[1]))} requests"
        return text
    browse = [x for x in listings if x["phase"] == "browse"]
    if not browse:
        return "did not finish"
    start = browse[0]["wall"] - 0.01
    end = browse[-1]["wall"] + browse[-1]["ms"] / 1000.0 + 0.01
    asked = [e for e in result["api"] if start <= e["time"] <= end]
    revisions = sum(kind_of(e["path"]) == "revision" for e in asked)
    trees = sum(kind_of(e["path"]) == "tree" for e in asked)
    warm = len(result["api"]) - len(asked)
    return (f"{len(browse)} listings in {end - start:.0f} s: {revisions} revision requests, {trees} tree requests, "
            f"{len(asked) - revisions - trees} others (the first walk before them: {warm} requests)")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--native", default=os.path.join(ROOT, "build/linux/bin/tarnfs.so"),
                    help="native module to measure ('' skips)")
    ap.add_argument("--wine", default=os.path.join(ROOT, "build/win64/bin/tarnfs.wfx64"),
                    help="Windows x64 module to measure under Wine ('' skips)")
    ap.add_argument("--native-build", default=os.path.join(ROOT, "build/linux"))
    ap.add_argument("--win-build", default=os.path.join(ROOT, "build/win64"))
    ap.add_argument("--cases", default="small,change,browse")
    ap.add_argument("--label", default="")
    args = ap.parse_args()
    os.environ.setdefault("TARN_WINEPREFIX", os.path.join(tempfile.gettempdir(),
                                                          f"tarnfs-wineprefix-bench-{os.getuid()}"))
    runs = []
    if args.native:
        runs.append(("native", args.native, build_driver(args.native_build, "tarn_scale_bench")))
    if args.wine:
        runs.append(("Wine x64", args.wine, build_driver(args.win_build, "tarn_scale_bench.exe")))
    rows = []
    for platform, module, driver in runs:
        hub = FakeHub()  # the change case moves a branch: every platform starts from the scenario
        try:
            for key in args.cases.split(","):
                print(f"[{platform}] {key} ...", file=sys.stderr, flush=True)
                began = time.monotonic()
                result = run_case(key, "wine" if platform != "native" else "native", module, driver, hub)
                print(f"[{platform}] {key}: {time.monotonic() - began:.0f} s, load {result['load']:.1f}",
                      file=sys.stderr, flush=True)
                rows.append((key, platform, judge(key, result), result["load"]))
        finally:
            hub.stop()
    label = f"{args.label}, " if args.label else ""
    print("| Case | " + label + "platform | Figures (the fake hub's log) |\n|---|---|---|")
    for key, platform, text, _ in rows:
        print(f"| {key} | {label}{platform} | {text} |")
    loads = [r[3] for r in rows]
    if loads:
        print(f"\nload average (1 min) at the end of each case: {min(loads):.1f} to {max(loads):.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
