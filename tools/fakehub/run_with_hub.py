#!/usr/bin/env python3
"""Runs a command with a fresh fake hub around it.

usage: run_with_hub.py [--scenario FILE]... [--verbose] -- CMD ARGS...

Starts fakehub.py with the same python, waits for its port line, runs CMD with
TARN_HUB_URL and TARN_HUB2_URL added to the environment, stops the hub and exits
with CMD's exit code (2 when the hub could not start).
"""

import json
import os
import queue
import signal
import subprocess
import sys
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
START_TIMEOUT = 20.0


def fail(msg, code=2):
    sys.stderr.write(f"run_with_hub: {msg}\n")
    sys.exit(code)


def stop_hub(hub):
    if hub.poll() is not None:
        return
    hub.terminate()
    try:
        hub.wait(5)
    except subprocess.TimeoutExpired:
        hub.kill()
        hub.wait()


def main(argv):
    if "--" not in argv:
        fail("usage: run_with_hub.py [--scenario FILE]... [--verbose] -- CMD ARGS...")
    split = argv.index("--")
    opts, cmd = argv[:split], argv[split + 1:]
    if not cmd:
        fail("no command after --")
    hub_args = []
    i = 0
    while i < len(opts):
        if opts[i] == "--scenario" and i + 1 < len(opts):
            hub_args += ["--scenario", opts[i + 1]]
            i += 2
        elif opts[i].startswith("--scenario="):
            hub_args += ["--scenario", opts[i].split("=", 1)[1]]
            i += 1
        elif opts[i] == "--verbose":
            hub_args.append("--verbose")
            i += 1
        else:
            fail(f"unknown option {opts[i]}")

    # stdin stays a pipe we never write: if this process dies hard (a CTest timeout),
    # the hub sees EOF and exits instead of holding its ports forever.
    hub = subprocess.Popen(
        [sys.executable, os.path.join(HERE, "fakehub.py"), "--port", "0", "--port2", "0",
         "--exit-on-stdin-eof"] + hub_args,
        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    lines = queue.Queue()

    def read_stdout():
        for line in hub.stdout:
            lines.put(line)
        lines.put(None)
    threading.Thread(target=read_stdout, daemon=True).start()
    try:
        line = lines.get(timeout=START_TIMEOUT)
        ports = json.loads(line)
        port, port2 = int(ports["port"]), int(ports["port2"])
    except queue.Empty:
        stop_hub(hub)
        fail(f"fake hub printed no port line within {START_TIMEOUT:.0f} s")
    except (TypeError, ValueError, KeyError):
        stop_hub(hub)
        fail(f"fake hub did not start (exit code {hub.poll()}, first line {line!r})")

    env = dict(os.environ)
    env["TARN_HUB_URL"] = f"http://127.0.0.1:{port}/"
    env["TARN_HUB2_URL"] = f"http://127.0.0.1:{port2}/"
    child = None

    def forward(signum, _frame):
        if child is not None and child.poll() is None:
            child.send_signal(signum)
    signal.signal(signal.SIGTERM, forward)
    signal.signal(signal.SIGINT, forward)
    try:
        child = subprocess.Popen(cmd, env=env)
        rc = child.wait()
    except OSError as e:
        stop_hub(hub)
        fail(f"cannot run {cmd[0]}: {e}", 127)
    stop_hub(hub)
    return 128 - rc if rc < 0 else rc


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
