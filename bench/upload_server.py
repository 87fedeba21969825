#!/usr/bin/env python3
"""A hub that takes uploads, for bench/upload_bench.sh: just enough of the write API for one commit.

usage: upload_server.py [--chunk-mib N]

Prints {"port": N} and serves 127.0.0.1 until stdin closes. Every file whose path ends in ".bin" is a
large file; its object is uploaded in parts of N MiB (0: one PUT), read and thrown away (the part's
ETag is the MD5 of its bytes, as S3 makes it); the completion and the commit answer as the hub does.
Not a test: it checks nothing.
"""

import argparse
import hashlib
import http.server
import json
import sys
import threading


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    chunk = 0

    def log_message(self, *_args):
        pass

    def body(self, keep):
        left, digest, kept = int(self.headers.get("Content-Length", "0")), hashlib.md5(), bytearray()
        while left > 0:
            piece = self.rfile.read(min(left, 1 << 20))
            if not piece:
                break
            left -= len(piece)
            digest.update(piece)
            if keep:
                kept += piece
        return bytes(kept), digest.hexdigest()

    def reply(self, status=200, payload=None, headers=()):
        text = json.dumps(payload if payload is not None else {}).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(text)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(text)

    def do_GET(self):
        self.reply(200, {"branches": [{"name": "main", "ref": "refs/heads/main"}], "tags": [], "converts": []})

    def do_PUT(self):
        _, md5 = self.body(False)
        self.reply(200, headers=[("ETag", '"%s"' % md5)])

    def do_POST(self):
        kept, _ = self.body(True)
        base = "http://%s:%d/" % self.server.server_address
        if "/preupload/" in self.path:
            files = json.loads(kept)["files"]
            self.reply(200, {"files": [{"path": f["path"], "uploadMode": "lfs" if f["path"].endswith(".bin")
                                        else "regular", "shouldIgnore": False} for f in files]})
        elif self.path.endswith("/objects/batch"):
            objects = []
            for o in json.loads(kept)["objects"]:
                header, href = {}, base + "put/" + o["oid"]
                if self.chunk and o["size"] > self.chunk:
                    header["chunk_size"] = str(self.chunk)
                    for i in range((o["size"] + self.chunk - 1) // self.chunk):
                        header["%05d" % (i + 1)] = base + "part/%s/%d" % (o["oid"], i + 1)
                    href = base + "complete/" + o["oid"]
                objects.append({"oid": o["oid"], "size": o["size"],
                                "actions": {"upload": {"href": href, "header": header}}})
            self.reply(200, {"transfer": "multipart" if self.chunk else "basic", "objects": objects})
        elif "/commit/" in self.path:
            self.reply(200, {"commitOid": "0" * 40, "commitUrl": base + "commit/" + "0" * 40})
        else:
            self.reply(200)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--chunk-mib", type=int, default=100)
    args = parser.parse_args()
    Handler.chunk = args.chunk_mib << 20
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(json.dumps({"port": server.server_address[1]}), flush=True)
    sys.stdin.read()
    server.shutdown()


if __name__ == "__main__":
    main()
