#!/usr/bin/env python3
"""Drives the stand-in host as a person would: `tarnhost ls \\` on a configured module, natively or under
Wine (--emulator). With TARN_HUB_URL set (run through run_with_hub.py) it also browses and downloads."""
import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile

failures = []
checks_run = 0


def check(cond, what):
    global checks_run
    checks_run += 1
    print(("ok   " if cond else "FAIL ") + what)
    if not cond:
        failures.append(what)


def config_folder(emulator, work):
    """The plugin's configuration folder as a Unix path, emptied."""
    if not emulator:
        os.environ["XDG_CONFIG_HOME"] = os.path.join(work, "config")
        os.environ["XDG_DATA_HOME"] = os.path.join(work, "data")
        return os.path.join(work, "config", "tarnfs")
    appdata = subprocess.run(emulator + ["cmd.exe", "/c", "echo %APPDATA%"], capture_output=True,
                             text=True, check=True).stdout.strip()
    unix = subprocess.run(emulator + ["winepath.exe", "-u", appdata], capture_output=True, text=True,
                          check=True).stdout.strip()
    folder = os.path.join(unix, "tarnfs")
    shutil.rmtree(folder, ignore_errors=True)
    return folder


def run(cmd, **kw):
    p = subprocess.run(cmd, capture_output=True, text=True, encoding="utf-8", errors="replace", **kw)
    return p.returncode, p.stdout, p.stderr


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--emulator", default="")
    ap.add_argument("tarnhost")
    a = ap.parse_args()
    emulator = [a.emulator] if a.emulator else []
    work = tempfile.mkdtemp(prefix="tarnhost-test-")
    folder = config_folder(emulator, work)
    os.makedirs(folder, exist_ok=True)
    hub = os.environ.get("TARN_HUB_URL", "")
    config = {"entries": [
        {"display_name": "Demo models", "type": "org-models", "org": "tarn-demo", "limit_count": 10,
         "created_at": 1704164645},
        {"display_name": "Tiny model", "type": "single-model", "repo_id": "tarn-demo/tiny-llm"},
    ]}
    if hub:
        config["hub_url"] = hub
    with open(os.path.join(folder, "favorites.json"), "w", encoding="utf-8") as f:
        json.dump(config, f)

    host = emulator + [a.tarnhost]
    rc, out, err = run(host + ["ls", "\\"])
    if rc == 77 and emulator:
        print(err.strip())
        return 77  # the emulator cannot run this program's bitness here: a skip, not a pass
    lines = out.splitlines()
    check(rc == 0, "ls \\ exits 0 (%d: %s)" % (rc, err.strip()))
    check(len(lines) == 5, "root lists 3 fixed records and 2 entries (%d lines)" % len(lines))
    check(len(lines) == 5 and lines[0].startswith("dir") and lines[0].endswith("***_TEMPORARY_***"),
          "temporary folder first")
    check(any(l.endswith("Demo models") and "2024-01-02 03:04:05" in l for l in lines),
          "entry with its creation time in UTC")
    rc, out, err = run(host + ["ls", "/No such entry"])
    check(rc != 0 and "empty folder" in err, "an empty listing says so and exits non-zero")

    if hub:
        rc, out, err = run(host + ["ls", "\\Demo models"])
        check(rc == 0 and "[Load next 10 models]" in out, "organisation page with its paging item")
        rc, out, err = run(host + ["tree", "\\Tiny model", "--depth", "2"])
        check(rc == 0 and "config.json" in out, "tree of a single repository")
        target = os.path.join(work, "config.json")
        local = target
        if emulator:
            local = subprocess.run(emulator + ["winepath.exe", "-w", target], capture_output=True, text=True,
                                   check=True).stdout.strip()
        rc, out, err = run(host + ["get", "\\Tiny model\\config.json", local])
        check(rc == 0 and os.path.exists(target), "get downloads a file (%s)" % err.strip())
        rc, out, err = run(host + ["get", "\\Tiny model\\config.json", local])
        check(rc == 11, "a second get without --overwrite reports the target exists")

    shutil.rmtree(work, ignore_errors=True)
    print("%d checks run: %d passed, %d failed" % (checks_run, checks_run - len(failures), len(failures)))
    return 1 if failures or checks_run == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
