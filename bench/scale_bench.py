#!/usr/bin/env python3
"""Listings at the real hub's scale, natively and under Wine (not a test: CTest never runs it).

Starts the fake hub with the scale scenario, the real hub's round trip and costs per item and its
rate limits, runs tarn_scale_bench (bench/scale_bench.cpp) once per case on a module file given by
path, counts the hub's API requests from its log, checks every name, size and date shown against the
hub's own tree (/__admin/tree), and prints the table of bench/README.md ("Listings at scale").

  bench/scale_bench.py                                  # the modules of build/linux and build/win64
  bench/scale_bench.py --native /work/bench-before/tarnfs.so --wine /work/bench-before/tarnfs.wfx64 \\
      --label before --json before.json
  bench/scale_bench.py --compare before.json after.json   # one table with both

Every case starts from an empty configuration and cache and a fresh rate-limit window, and has a time
limit: a case that runs out is reported as "timeout" with what it had shown by then.
"""

import argparse
import calendar
import json
import math
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from urllib.parse import quote
from urllib.request import urlopen

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HUB = os.path.join(ROOT, "tools", "fakehub", "fakehub.py")
WINE_RUN = os.path.join(ROOT, "cmake", "wine-run.sh")
CRAWL = ("dataset", "scale-org/crawl-100k")
WIDE = ("model", "scale-org/wide-10k")
SMALL = ("model", "scale-org/small-15")
FOLDER = "data/050"                          # the 1,000-file folder of the folder and dates cases
WALKED = [f"data/{k:03d}" for k in range(0, 100, 5)]   # 20 folders, 20,000 files
ALL = [f"data/{k:03d}" for k in range(100)]
API_PAGE = 1000                              # the most a tree page holds without dates


class Case:
    def __init__(self, key, title, goal, repo, steps, timeout):
        self.key, self.title, self.goal, self.repo = key, title, goal, repo
        self.steps, self.timeout = steps, timeout


def cases():
    walk = ["list:", "list:data"] + [f"list:{p}" for p in WALKED]
    return [
        Case("root", "A 100k-file dataset: first listing of the repository folder", "<= 1 s",
             CRAWL, ["list:"], 240),
        Case("folder", "One folder of 1,000 files, first listing", "<= 1.5 s", CRAWL,
             [f"list:{FOLDER}"], 240),
        Case("wide", "The 10,000-file folder, all names", "<= 5 s", WIDE, ["list:images"], 240),
        Case("small", "A 15-file model repository, with dates", "one request, <= 0.5 s", SMALL,
             ["list:"], 60),
        Case("walk", "Walk of the repository root, data, and 20 of its folders (20,000+ files), "
             "all names right", "API requests <= 1.5x the fewest possible", CRAWL,
             walk + ["phase:cached"] + walk, 900),
        Case("memory", "Memory of the module after listing all 100 folders", "<= 64 MiB peak", CRAWL,
             ["list:", "list:data"] + [f"list:{p}" for p in ALL], 1200),
        Case("dates", "Dates of a 1,000-file folder, all right", "within 60 s of its first listing, "
             "never a wrong date", CRAWL, [f"watch:{FOLDER}:3:60:TRUTH"], 400),
        Case("data_dates", "data/ (100 folders), first listing with dates", "<= 1.5 s", CRAWL,
             ["list:data"], 240),
    ]


# The cached row comes from the walk's second half.
ROWS = [("root", None), ("folder", None), ("wide", None), ("small", None), ("walk", None),
        ("walk", "cached"), ("memory", None), ("dates", None), ("data_dates", None)]
CACHED_TITLE = ("Cached listing of any folder of the 100k-file repository", "< 5 ms native, < 30 ms under Wine")


# ---------------------------------------------------------------- the hub

class FakeHub:
    def __init__(self):
        self.proc = subprocess.Popen([sys.executable, HUB, "--scenario", "scale", "--realistic-costs",
                                      "--exit-on-stdin-eof"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        ports = json.loads(self.proc.stdout.readline())
        self.url = f"http://127.0.0.1:{ports['port']}/"
        self.truth_cache = {}

    def get(self, rest):
        with urlopen(self.url + rest, timeout=120) as r:
            return json.loads(r.read())

    def fresh(self):
        """A new log and new rate-limit windows: each case is a user starting afresh."""
        self.get("__admin/reset")
        return self.get("__admin/limits")

    def truth(self, repo, folder):
        """{name: (folder, size, unix date)} of the folder's direct children, from the hub itself."""
        key = (repo, folder)
        if key not in self.truth_cache:
            kind, rid = repo
            path = "/".join(quote(s, safe="") for s in folder.split("/")) if folder else ""
            items = self.get(f"__admin/tree/{kind}s/{rid}" + (f"/{path}" if path else ""))
            out = {}
            for i in items:
                date = i.get("lastCommit", {}).get("date", "")
                unix = calendar.timegm(time.strptime(date[:19], "%Y-%m-%dT%H:%M:%S")) if date else 0
                out[i["path"].rsplit("/", 1)[-1]] = (i["type"] == "directory", i["size"], unix)
            self.truth_cache[key] = out
        return self.truth_cache[key]

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()


def api_requests(log):
    """The hub's API requests (listings; not downloads), in arrival order."""
    out = []
    for e in log:
        path = e["path"]
        if path.startswith("/__fault/"):
            path = "/" + path[9:].partition("/")[2]
        if e["host"] == "hub" and path.startswith("/api/") and not path.startswith("/api/resolve-cache/"):
            out.append(e)
    return out


# ---------------------------------------------------------------- running a case

def win_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run_case(case, platform, module, driver, hub, workdir):
    hub.fresh()
    steps = []
    for step in case.steps:
        if step.startswith("watch:"):
            folder = step.split(":")[1]
            truth_file = os.path.join(workdir, f"truth-{case.key}.tsv")
            with open(truth_file, "w", encoding="utf-8") as f:
                for name, (_, _, unix) in hub.truth(case.repo, folder).items():
                    f.write(f"{name}\t{unix}\n")
            step = step.replace("TRUTH", win_path(truth_file) if platform == "wine" else truth_file)
        steps.append(step)
    kind, rid = case.repo
    cmd = [driver, win_path(module) if platform == "wine" else module, hub.url, kind, rid] + steps
    if platform == "wine":
        cmd = [WINE_RUN] + cmd
    out_path = os.path.join(workdir, f"{platform}-{case.key}.jsonl")
    load = os.getloadavg()[0]
    began = time.monotonic()
    with open(out_path, "wb") as out:
        proc = subprocess.Popen(cmd, stdout=out, stderr=subprocess.DEVNULL, start_new_session=True)
        try:
            proc.wait(case.timeout)
            timed_out = False
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)   # the driver's own session: Wine's processes too
            proc.wait()
            timed_out = True
    elapsed = time.monotonic() - began
    listings, logs, requests_to_user, memory = [], [], [], None
    with open(out_path, encoding="utf-8", errors="replace") as f:
        for line in f:
            try:
                obj = json.loads(line)
            except ValueError:
                continue
            if "items" in obj:
                listings.append(obj)
            elif "log" in obj:
                logs.append(obj["log"])
            elif "request" in obj:
                requests_to_user.append(obj["request"])
            elif "peak_rss" in obj:
                memory = obj
    log = api_requests(hub.get("__admin/log"))
    return {"case": case.key, "platform": platform, "timed_out": timed_out, "seconds": elapsed,
            "timeout": case.timeout, "load": [load, os.getloadavg()[0]], "listings": listings,
            "logs": logs[-20:], "requests_to_user": requests_to_user, "memory": memory,
            "api": [{"time": e["time"], "answered": e["answered"], "status": e["status"],
                     "path": e["path"]} for e in log]}


# ---------------------------------------------------------------- judging

def judge_listing(listing, truth, dates):
    """Counts for one listing against the truth: names right, sizes right, dates right and wrong."""
    shown = {n: (d, s, t) for n, d, s, t in listing["items"]}
    names = sum(1 for n in truth if n in shown and shown[n][0] == truth[n][0])
    extra = sum(1 for n in shown if n not in truth)
    sizes = sum(1 for n, (d, s, _) in truth.items() if n in shown and (d or shown[n][1] == s))
    right = sum(1 for n, (_, _, t) in truth.items() if n in shown and shown[n][2] == t)
    wrong = sum(1 for n, (_, _, t) in truth.items() if n in shown and shown[n][2] not in (0, t))
    return {"n": len(truth), "names": names, "extra": extra, "sizes": sizes, "dates_right": right,
            "dates_wrong": wrong, "complete": names == len(truth) and extra == 0 and sizes == len(truth),
            "dates": dates}


def attribute(result, slack=0.01):
    """Each API request to the listing running when it arrived (listings run one after another; the
    slack covers the two clocks' rounding, so the latest listing begun takes a request that arrives
    as one ends and the next begins): a count per listing, and the requests outside any."""
    counts = [0] * len(result["listings"])
    outside = 0
    for e in result["api"]:
        for i, x in reversed(list(enumerate(result["listings"]))):
            if x["wall"] - slack <= e["time"] <= x["wall"] + x["ms"] / 1000.0 + slack:
                counts[i] += 1
                break
        else:
            outside += 1
    return counts, outside


def requests_during(result, listing):
    counts, _ = attribute(result)
    return counts[result["listings"].index(listing)]


def secs(ms):
    return f"{ms / 1000:.2f} s" if ms >= 1000 else f"{ms:.0f} ms" if ms >= 10 else f"{ms:.1f} ms"


def too_many(result):
    n = sum(1 for e in result["api"] if e["status"] == 429)
    return f", {n} answered 429" if n else ""


def cell_single(result, hub, case, with_dates):
    if not result["listings"]:
        return f"timeout after {result['timeout']} s, nothing shown" if result["timed_out"] else "no listing"
    listing = result["listings"][0]
    folder = listing["path"]
    j = judge_listing(listing, hub.truth(case.repo, folder), with_dates)
    req = len(result["api"])
    text = f"{secs(listing['ms'])}, {req} request{'s' * (req != 1)}{too_many(result)}"
    if j["complete"]:
        text += f", all {j['n']} names"
    else:
        text += f", **cut**: {j['names']} of {j['n']} names" + (f" (+{j['extra']} not on the hub)" if j["extra"] else "")
    if with_dates or j["dates_right"] or j["dates_wrong"]:
        text += f", dates {j['dates_right']}/{j['n']} right"
        if j["dates_wrong"]:
            text += f", **{j['dates_wrong']} wrong**"
    return text


def names_text(names, total):
    return f"all {total} names" if names == total else f"**cut**: {names} of {total} names"


def cell_walk(result, hub, case, phase):
    listings = [x for x in result["listings"] if x["phase"] == phase]
    planned = (len(case.steps) - 1) // 2
    names = total = 0
    fewest = 0
    for x in listings:
        truth = hub.truth(case.repo, x["path"])
        j = judge_listing(x, truth, False)
        names, total = names + j["names"], total + j["n"]
        fewest += max(1, math.ceil(len(truth) / API_PAGE))
    done = f"{len(listings)} of {planned} listings" if len(listings) < planned else ""
    if phase == "main":
        req = sum(requests_during(result, x) for x in listings)
        ratio = f"{req / fewest:.2f}x" if fewest else "-"
        text = f"{req} requests (fewest {fewest}: {ratio}){too_many(result)}, {names_text(names, total)}"
        text += f", {secs(sum(x['ms'] for x in listings))} in all"
    else:
        ms = [x["ms"] for x in listings]
        if not ms:
            return f"timeout after {result['timeout']} s (the walk did not finish)" if result["timed_out"] else "-"
        req = sum(requests_during(result, x) for x in listings)
        text = (f"median {secs(statistics.median(ms))}, max {secs(max(ms))} over {len(ms)} folders, "
                f"{req} requests, {names_text(names, total)}")
    if done:
        text += f"; {done}"
    if result["timed_out"]:
        text += f"; timeout after {result['timeout']} s"
    return text


def cell_memory(result, hub, case):
    listings = result["listings"]
    names = total = 0
    for x in listings:
        j = judge_listing(x, hub.truth(case.repo, x["path"]), False)
        names, total = names + j["names"], total + j["n"]
    planned = len(case.steps)
    text = ""
    if result["memory"]:
        m = result["memory"]
        mib = 1 << 20
        text = (f"peak {m['peak_rss'] / mib:.1f} MiB, {(m['peak_rss'] - m['rss_before_module']) / mib:.1f} "
                f"MiB over the process before loading the module; ")
    text += f"{len(listings)} of {planned} listings in {secs(sum(x['ms'] for x in listings))}, " \
            f"{names_text(names, total)}, {len(result['api'])} requests{too_many(result)}"
    if result["timed_out"]:
        text += f"; timeout after {result['timeout']} s"
    return text


def cell_dates(result, hub, case):
    listings = result["listings"]
    if not listings:
        return f"timeout after {result['timeout']} s, nothing shown" if result["timed_out"] else "no listing"
    truth = hub.truth(case.repo, listings[0]["path"])
    start = listings[0]["t"]
    wrong = 0
    when = None
    for x in listings:
        j = judge_listing(x, truth, True)
        wrong = max(wrong, j["dates_wrong"])
        if when is None and j["dates_right"] == j["n"]:
            when = x["t"] + x["ms"] / 1000.0 - start
    last = judge_listing(listings[-1], truth, True)
    text = (f"all right {when:.1f} s after the first listing began" if when is not None else
            f"not all right: {last['dates_right']}/{last['n']} at the last of {len(listings)} listings "
            f"({listings[-1]['t'] - start:.0f} s)")
    text += f"; first listing {secs(listings[0]['ms'])}, {names_text(last['names'], last['n'])}"
    text += f"; **{wrong} wrong dates**" if wrong else "; no wrong date"
    text += f"; {len(result['api'])} requests{too_many(result)}"
    if result["timed_out"]:
        text += f"; timeout after {result['timeout']} s"
    return text


def cell(result, hub, key, phase):
    case = {c.key: c for c in cases()}[key]
    if result is None:
        return "not run"
    if key in ("root", "folder", "wide"):
        return cell_single(result, hub, case, False)
    if key in ("small", "data_dates"):
        return cell_single(result, hub, case, True)
    if key == "walk":
        return cell_walk(result, hub, case, phase or "main")
    if key == "memory":
        return cell_memory(result, hub, case)
    return cell_dates(result, hub, case)


def per_folder(result, hub):
    """API requests per folder listing in the walk's first half, and those outside any listing."""
    if result is None:
        return ""
    per_listing, outside = attribute(result)
    counts = {x["path"] or "(root)": n for x, n in zip(result["listings"], per_listing)
              if x["phase"] == "main"}
    data = [v for k, v in counts.items() if k.startswith("data/")]
    parts = [f"root {counts.get('(root)', '-')}", f"data {counts.get('data', '-')}"]
    if data:
        parts.append(f"data/NNN {min(data)} to {max(data)} (mean {sum(data) / len(data):.1f})")
    parts.append(f"outside listings {outside}")
    return ", ".join(parts)


# ---------------------------------------------------------------- tables

def table(hub, columns):
    """columns: [(heading, {case key: result})]."""
    lines = ["| Case | Goal | " + " | ".join(h for h, _ in columns) + " |",
             "|---|---|" + "---|" * len(columns)]
    by_key = {c.key: c for c in cases()}
    for key, phase in ROWS:
        title, goal = CACHED_TITLE if phase == "cached" else (by_key[key].title, by_key[key].goal)
        cells = [cell(res.get(key), hub, key, phase) for _, res in columns]
        lines.append(f"| {title} | {goal} | " + " | ".join(cells) + " |")
    lines.append("| API requests per folder (the walk) | | " +
                 " | ".join(per_folder(res.get("walk"), hub) for _, res in columns) + " |")
    return "\n".join(lines)


def build_driver(build_dir, exe):
    # Configure again first: a folder configured before the target existed has no rule for it.
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "--target", "tarn_scale_bench", "-j2"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build_dir, "bin", exe)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--native", default=os.path.join(ROOT, "build/linux/bin/tarnfs.so"),
                    help="native module to measure ('' skips)")
    ap.add_argument("--wine", default=os.path.join(ROOT, "build/win64/bin/tarnfs.wfx64"),
                    help="Windows x64 module to measure under Wine ('' skips)")
    ap.add_argument("--native-build", default=os.path.join(ROOT, "build/linux"),
                    help="configured build folder for the native driver")
    ap.add_argument("--win-build", default=os.path.join(ROOT, "build/win64"),
                    help="configured build folder for the Windows driver")
    ap.add_argument("--cases", default=",".join(c.key for c in cases()), help="comma-separated case keys")
    ap.add_argument("--label", default="", help="names the columns (before, after)")
    ap.add_argument("--json", help="also write the raw results here")
    ap.add_argument("--compare", nargs="+", metavar="RESULTS.json",
                    help="print one table from saved results instead of measuring")
    args = ap.parse_args()

    hub = FakeHub()
    try:
        if args.compare:
            columns = []
            for path in args.compare:
                with open(path) as f:
                    saved = json.load(f)
                for platform in ("native", "wine"):
                    res = {r["case"]: r for r in saved["results"] if r["platform"] == platform}
                    if res:
                        columns.append((f"{saved['label'] or path}, {'native' if platform == 'native' else 'Wine x64'}", res))
            print(table(hub, columns))
            return 0
        os.environ.setdefault("TARN_WINEPREFIX", os.path.join(tempfile.gettempdir(),
                                                              f"tarnfs-wineprefix-bench-{os.getuid()}"))
        wanted = [c for c in cases() if c.key in args.cases.split(",")]
        runs = []
        if args.native:
            runs.append(("native", args.native, build_driver(args.native_build, "tarn_scale_bench")))
        if args.wine:
            runs.append(("wine", args.wine, build_driver(args.win_build, "tarn_scale_bench.exe")))
        results = []
        with tempfile.TemporaryDirectory(prefix="tarnfs-scale-bench-") as work:
            for platform, module, driver in runs:
                for case in wanted:
                    print(f"[{platform}] {case.key} ...", file=sys.stderr, flush=True)
                    r = run_case(case, platform, module, driver, hub, work)
                    print(f"[{platform}] {case.key}: {r['seconds']:.1f} s, load {r['load'][0]:.1f} to "
                          f"{r['load'][1]:.1f}" + (" (timeout)" if r["timed_out"] else ""),
                          file=sys.stderr, flush=True)
                    results.append(r)
        if args.json:
            with open(args.json, "w") as f:
                json.dump({"label": args.label, "native": args.native, "wine": args.wine,
                           "results": results}, f)
        columns = []
        for platform, _, _ in runs:
            res = {r["case"]: r for r in results if r["platform"] == platform}
            heading = ("native" if platform == "native" else "Wine x64")
            columns.append((f"{args.label}, {heading}" if args.label else heading, res))
        loads = [x for r in results for x in r["load"]]
        print(table(hub, columns))
        if loads:
            print(f"\nload average (1 min) during the runs: {min(loads):.1f} to {max(loads):.1f}")
        return 0
    finally:
        hub.stop()


if __name__ == "__main__":
    sys.exit(main())
