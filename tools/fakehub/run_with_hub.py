#!/usr/bin/env python3
"""Runs a command with a fresh fake hub around it.

usage: run_with_hub.py [--scenario FILE]... [--verbose] [--real-rate-limits] [--hub-arg ARG]...
                       -- CMD ARGS...

Starts fakehub.py with the same python, waits for its port line, runs CMD with
TARN_HUB_URL and TARN_HUB2_URL added to the environment, stops the hub and exits
with CMD's exit code (2 when the hub could not start). The hub's rate limits are lifted
(every answer still carries its headers) unless --real-rate-limits is given; a test of
rate limits sets its own quotas through /__admin/limits. --hub-arg passes one more
argument to fakehub.py (--hub-arg=--rtt-ms=40).
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
        fail("usage: run_with_hub.py [--scenario FILE]... [--verbose] [--real-rate-limits] "
             "[--hub-arg ARG]... -- CMD ARGS...")
    split = argv.index("--")
    opts, cmd = argv[:split], argv[split + 1:]
    if not cmd:
        fail("no command after --")
    hub_args, lift = [], True
    i = 0
    while i < len(opts):
        name, eq, value = opts[i].partition("=")
        if name in ("--scenario", "--hub-arg") and not eq and i + 1 < len(opts):
            value, i = opts[i + 1], i + 2
        elif name in ("--scenario", "--hub-arg") and eq:
            i += 1
        elif opts[i] in ("--verbose", "--real-rate-limits"):
            value, i = None, i + 1
        else:
            fail(f"unknown option {opts[i]}")
        if name == "--scenario":
            hub_args += ["--scenario", value]
        elif name == "--hub-arg":
            hub_args.append(value)
        elif name == "--verbose":
            hub_args.append("--verbose")
        else:
            lift = False
    if lift:
        hub_args.append("--lift-rate-limits")

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
