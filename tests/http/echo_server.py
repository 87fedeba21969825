#!/usr/bin/env python3
"""A server that tells what it received, for the HTTP seam's tests; runs a command around it.

usage: echo_server.py -- CMD ARGS...

Serves on two free ports of 127.0.0.1, one server behind both (TARN_ECHO2_URL lets a test ask about a
request in flight on a connection of its own, even where the transport keeps connections per host and
port), runs CMD with TARN_ECHO_URL=http://127.0.0.1:PORT/ and TARN_ECHO2_URL in its environment and
exits with CMD's exit code. Paths:
  /echo...   reads the whole request body and answers 200 with JSON: the method, the path, the
             request's headers (names in lower case), the body's size and SHA-256, and the body itself
             when it is at most 4 KiB (as Latin-1 text)
  /stall...  reads nothing of the body and never answers (a server that has stopped reading)
  /held      answers {"held": N, "reused": B}: how many /stall requests have arrived so far, and whether
             the last came on a connection that had carried a request before
"""

import hashlib
import http.server
import json
import os
import subprocess
import sys
import threading

STALL_LIMIT_S = 3600.0
stopping = threading.Event()
held_lock = threading.Lock()
held = 0
held_reused = False


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *_args):
        pass

    def read_body(self):
        digest, size, kept = hashlib.sha256(), 0, bytearray()
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            while True:
                length = int(self.rfile.readline().split(b";")[0], 16)
                chunk = self.rfile.read(length)
                self.rfile.readline()
                if length == 0:
                    break
                digest.update(chunk)
                size += len(chunk)
                if len(kept) <= 4096:
                    kept += chunk
        else:
            left = int(self.headers.get("Content-Length", "0"))
            while left > 0:
                chunk = self.rfile.read(min(left, 1 << 20))
                if not chunk:
                    break
                digest.update(chunk)
                size += len(chunk)
                left -= len(chunk)
                if len(kept) <= 4096:
                    kept += chunk
        return size, digest.hexdigest(), bytes(kept) if size <= 4096 else b""

    def answer(self):
        global held, held_reused
        # One handler object serves one connection, request after request.
        self.served = getattr(self, "served", 0) + 1
        if self.path.startswith("/stall"):
            with held_lock:
                held += 1
                held_reused = self.served > 1
            stopping.wait(STALL_LIMIT_S)
            self.close_connection = True
            return
        size, sha, body = self.read_body()
        if self.path == "/held":
            with held_lock:
                text = json.dumps({"held": held, "reused": held_reused}).encode()
        else:
            text = json.dumps({
                "method": self.command,
                "path": self.path,
                "headers": {k.lower(): v for k, v in self.headers.items()},
                "size": size,
                "sha256": sha,
                "body": body.decode("latin-1"),
            }).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(text)))
        self.end_headers()
        self.wfile.write(text)

    do_GET = do_POST = do_PUT = answer


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that stopped its own request part-way is what some tests do.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


def main(argv):
    if "--" not in argv or argv.index("--") + 1 >= len(argv):
        sys.stderr.write("usage: echo_server.py -- CMD ARGS...\n")
        return 2
    cmd = argv[argv.index("--") + 1:]
    servers = [Server(("127.0.0.1", 0), Handler) for _ in range(2)]
    for server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    env = dict(os.environ, TARN_ECHO_URL=f"http://127.0.0.1:{servers[0].server_address[1]}/",
               TARN_ECHO2_URL=f"http://127.0.0.1:{servers[1].server_address[1]}/")
    try:
        rc = subprocess.call(cmd, env=env)
    except OSError as e:
        sys.stderr.write(f"echo_server: cannot run {cmd[0]}: {e}\n")
        rc = 127
    stopping.set()
    for server in servers:
        server.shutdown()
    return 128 - rc if rc < 0 else rc


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
