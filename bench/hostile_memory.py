#!/usr/bin/env python3
"""Peak memory of the worst listing a hostile hub can send: the stand-in host lists a repository folder
whose pages are as large as the module accepts (just under the API body cap and the value budget),
each item a child of the folder with the longest path kept, linked page after page until the folder's
item limit ends it (incomplete, so nothing is stored). Prints the peak resident set of `tarnhost ls`
(VmHWM, through /usr/bin/time) against a one-file tree.

Run: python3 bench/hostile_memory.py [build/linux/bin/tarnhost]   (native only; not a test)
"""
import http.server
import json
import os
import subprocess
import sys
import tempfile
import threading

PATH_BYTES = 1024          # kMaxPathBytes: longer paths are skipped
BODY_CAP = 16 << 20        # kMaxApiBodyBytes
PAGES = 1000               # a folder's page limit; its item limit (100,000) ends it first


def worst_page(page):
    item = lambda i: '{"type":"file","path":"%s","size":9223372036854775807}' % (
        ("%d-%07d" % (page, i)).rjust(PATH_BYTES, "x"))
    items, size, i = [], 2, 0
    while True:
        text = item(i)
        if size + len(text) + 1 >= BODY_CAP - 4096:
            return "[" + ",".join(items) + "]"
        items.append(text)
        size += len(text) + 1
        i += 1


class Hub(http.server.BaseHTTPRequestHandler):
    tiny = False
    cache = {}

    def do_GET(self):
        page = int(self.path.rsplit("page=", 1)[1]) if "page=" in self.path else 1
        if Hub.tiny:
            body = '[{"type":"file","path":"a.txt","size":1}]'
        else:
            body = Hub.cache.setdefault(page % 2, worst_page(page % 2))
        data = body.encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        if not Hub.tiny and page < PAGES:
            base = "http://127.0.0.1:%d/api/models/o/m/tree/main?recursive=true&expand=true&page=%d"
            self.send_header("Link", '<%s>; rel="next"' % (base % (self.server.server_port, page + 1)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


def peak_kib(tarnhost, port, work):
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(work, "config"), XDG_DATA_HOME=os.path.join(work, "data"))
    folder = os.path.join(work, "config", "tarnfs")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "favorites.json"), "w") as f:
        json.dump({"hub_url": "http://127.0.0.1:%d/" % port, "cache_path": os.path.join(work, "cache"),
                   "entries": [{"display_name": "M", "type": "single-model", "repo_id": "o/m"}]}, f)
    run = subprocess.run(["/usr/bin/time", "-f", "%M", tarnhost, "ls", "/M"], env=env,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    listed = len(run.stdout.splitlines())
    return int(run.stderr.strip().splitlines()[-1]), listed


def main():
    tarnhost = sys.argv[1] if len(sys.argv) > 1 else "build/linux/bin/tarnhost"
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Hub)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        with tempfile.TemporaryDirectory() as a, tempfile.TemporaryDirectory() as b:
            Hub.tiny = True
            base, _ = peak_kib(tarnhost, server.server_port, a)
            Hub.tiny = False
            worst, listed = peak_kib(tarnhost, server.server_port, b)
            cache = sum(os.path.getsize(os.path.join(root, n))
                        for root, _, names in os.walk(os.path.join(b, "cache")) for n in names)
        print("one-file tree:   peak RSS %6.1f MiB" % (base / 1024))
        print("worst-case tree: peak RSS %6.1f MiB (%d names listed, %.1f MiB stored in the cache)"
              % (worst / 1024, listed, cache / 1048576))
    finally:
        server.shutdown()


if __name__ == "__main__":
    main()
