#!/usr/bin/env python3
"""Copies 100 small files into a repository in one operation through tarnhost put (the fake hub on
loopback, write-org/playground), RUNS times, and prints the time per file and the commits the hub
received. Not a test: run it through tools/fakehub/run_with_hub.py (put_bench.sh does).
usage: put_bench.py [--emulator WINE_RUN] [--runs N] [--files N] [--verbose] TARNHOST"""
import argparse
import json
import os
import shutil
import subprocess
import tempfile
import time
import urllib.request


def admin(hub, path):
    with urllib.request.urlopen(hub + path) as r:
        return r.read()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--emulator", default="")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--files", type=int, default=100)
    ap.add_argument("--verbose", action="store_true", help="print each request of the hub's log")
    ap.add_argument("tarnhost")
    a = ap.parse_args()
    hub = os.environ["TARN_HUB_URL"]
    work = tempfile.mkdtemp(prefix="put-bench-")
    env = dict(os.environ)
    if a.emulator:
        folder = subprocess.run([a.emulator, "cmd.exe", "/c", "echo %APPDATA%"], capture_output=True, text=True,
                                env=env).stdout.strip()
        folder = subprocess.run([a.emulator, "winepath.exe", "-u", folder], capture_output=True,
                                text=True).stdout.strip()
    else:
        env["XDG_CONFIG_HOME"] = os.path.join(work, "config")
        env["XDG_DATA_HOME"] = os.path.join(work, "data")
        folder = env["XDG_CONFIG_HOME"]
    folder = os.path.join(folder, "tarnfs")
    # The Wine prefix's configuration outlives a run: its cache would say main is where an earlier
    # hub left it (and the commit would be refused as made against a moved branch).
    shutil.rmtree(os.path.join(folder, "cache"), ignore_errors=True)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "favorites.json"), "w") as f:
        json.dump({"hub_url": hub, "api_key": "hf_test_write", "entries": [
            {"display_name": "Play", "type": "single-model", "repo_id": "write-org/playground",
             "allow_changes": True}]}, f)
    # The folder's Windows name asked once: a winepath per file would take a second each.
    shown = subprocess.run([a.emulator, "winepath.exe", "-w", work], capture_output=True,
                           text=True).stdout.strip() if a.emulator else work
    files = []
    for i in range(a.files):
        name = "f%03d.txt" % i
        with open(os.path.join(work, name), "w") as f:
            f.write("small file %d\n" % i * 20)
        files.append(shown + ("\\" if a.emulator else "/") + name)
    host = ([a.emulator] if a.emulator else []) + [a.tarnhost]
    subprocess.run(host + ["ls", "/Play"], env=env, capture_output=True)  # libraries loaded, root listed
    for run in range(a.runs):
        admin(hub, "__admin/reset")
        started = time.monotonic()
        r = subprocess.run(host + ["put"] + files + ["/Play/bench-%d-%d" % (os.getpid(), run)], env=env,
                           capture_output=True, text=True)
        seconds = time.monotonic() - started
        log = json.loads(admin(hub, "__admin/log"))
        commits = sum(1 for e in log if e.get("method") == "POST" and "/commit/" in e.get("path", ""))
        preuploads = sum(1 for e in log if e.get("method") == "POST" and "/preupload/" in e.get("path", ""))
        print("run %d: rc %d, %d files in %.2f s, %.1f ms a file, %d commit(s), %d preupload(s), %d requests" %
              (run + 1, r.returncode, a.files, seconds, seconds * 1000 / a.files, commits, preuploads, len(log)))
        if a.verbose:
            print(r.stdout[-2000:], r.stderr[-2000:])
            for e in log:
                print("  %s %s %s" % (e.get("status"), e.get("method"), e.get("path", "")[:100]))
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
