#!/usr/bin/env python3
"""Peak memory of a settings import ("quote import PATH" through the stand-in host) of the largest
files the module reads (64 MiB): the value budget of every JSON reader (1,000,000) filled with long
strings, a file of tiny values far over the budget, and a file of ten entries for comparison. Prints
the peak resident set of `tarnhost exec` (VmHWM, through /usr/bin/time) and what the import answered.

Run: python3 bench/import_memory.py [build/linux/bin/tarnhost]   (native only; not a test)
"""
import json
import os
import subprocess
import sys
import tempfile

FILE_CAP = 64 << 20   # kMaxSettingsBytes: a larger file is not read at all
VALUES = 1000000      # kMaxJsonValues


def ten_entries():
    entries = [{"display_name": "E%d" % i, "org": "o%d" % i, "type": "org-models"} for i in range(10)]
    return json.dumps({"format": 1, "entries": entries})


def long_strings():
    # The root, "entries" and "pad" are three values; the rest are strings as long as the cap allows.
    count = VALUES - 3
    length = (FILE_CAP - 64) // count - 3  # quotes and comma
    return '{"entries": [], "pad": [' + ",".join(['"' + "x" * length + '"'] * count) + "]}"


def tiny_values():
    count = (FILE_CAP - 64) // 2
    return '{"entries": [], "pad": [' + ",".join(["0"] * count) + "]}"


def peak_kib(tarnhost, work, text):
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(work, "config"), XDG_DATA_HOME=os.path.join(work, "data"))
    os.makedirs(os.path.join(work, "config", "tarnfs"), exist_ok=True)
    path = os.path.join(work, "settings.json")
    with open(path, "w") as f:
        f.write(text)
    run = subprocess.run(["/usr/bin/time", "-f", "%M", tarnhost, "--yes", "exec", "/", "quote import " + path],
                         env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    lines = run.stderr.strip().splitlines()
    heading = next((i for i, l in enumerate(lines) if l.startswith("== Import")), None)
    answer = lines[heading + 1].strip() if heading is not None and heading + 1 < len(lines) else "?"
    return int(lines[-1]), os.path.getsize(path), answer


def main():
    tarnhost = sys.argv[1] if len(sys.argv) > 1 else "build/linux/bin/tarnhost"
    for name, make in (("ten entries", ten_entries), ("budget of long strings", long_strings),
                       ("tiny values over the budget", tiny_values)):
        with tempfile.TemporaryDirectory() as work:
            kib, size, answer = peak_kib(tarnhost, work, make())
        print("%-28s %6.1f MiB file: peak RSS %7.1f MiB  (%s)" % (name, size / 1048576, kib / 1024, answer[:60]))


if __name__ == "__main__":
    main()
