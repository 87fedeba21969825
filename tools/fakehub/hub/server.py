"""The two listeners (the hub and the storage host): each request logged, counted against its
rate limit, put through its faults, routed, costed and sent."""

import base64
import json
import sys
import threading
import time
import traceback
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, unquote, unquote_to_bytes

from hub import admin, downloads, listings, uploads, writes
from hub.common import CHUNK
from hub.faults import FaultError, REDIRECT_FAULTS, fault_prefix, fault_redirect, fault_status, parse_faults
from hub.rate_limits import over_quota, rate_bucket
from hub.request import BodyError, Ctx, HangUp, body_pieces
from hub.responses import Resp, error_resp, redirect_resp
from hub.scenario import INVALID, Token

EXPOSE = ("X-Repo-Commit,X-Request-Id,X-Error-Code,X-Error-Message,X-Total-Count,ETag,Link,"
          "Accept-Ranges,Content-Range")


class RequestLog:
    def __init__(self):
        self.lock = threading.Lock()
        self.entries = []

    def add(self, host, method, path, headers):
        hd = {}
        for k, v in headers.items():
            hd[k] = hd[k] + ", " + v if k in hd else v
        e = {"host": host, "method": method, "path": path, "headers": hd, "status": None,
             "time": round(time.time(), 4), "answered": None}
        with self.lock:
            self.entries.append(e)
        return e

    def dump(self):
        with self.lock:
            return json.dumps(self.entries, ensure_ascii=False).encode("utf-8")

    def reset(self):
        with self.lock:
            self.entries = []


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "fakehub/1.0"

    def log_message(self, fmt, *args):
        if self.server.verbose:
            sys.stderr.write(f"fakehub[{self.server.host_name}] {fmt % args}\n")

    def do_GET(self):
        self._handle()

    def do_HEAD(self):
        self._handle()

    def do_POST(self):
        self._handle()

    do_PUT = do_DELETE = do_PATCH = do_POST

    def _handle(self):
        srv = self.server
        raw = self.path
        if raw.startswith("/__admin/"):
            try:
                size = int(self.headers.get("Content-Length") or 0)
                resp = admin.answer(srv, self.command, raw, self.rfile.read(size) if size > 0 else b"")
            except Exception:  # a server bug must show as a 500 and a trace, not a hang
                traceback.print_exc()
                resp = Resp(500, "fakehub internal error")
            self._send(resp, [])
            self.close_connection = True
            return
        started = time.monotonic()
        entry = srv.log.add(srv.host_name, self.command,
                            raw.encode("latin-1", "replace").decode("utf-8", "replace"), self.headers)
        limit = None
        self._entry, self._ctx = entry, None
        try:
            limit = self._rate_limit(raw)
            if limit is not None and not limit.allowed:
                resp, faults = over_quota(raw, limit), []
            else:
                resp, faults = self._respond(raw)
            self._drain()
        except HangUp:
            # Gone without an answer (an upload cut off part-way, or a client that hung up).
            entry["status"], entry["answered"] = 0, round(time.time(), 4)
            self.close_connection = True
            return
        except BodyError as e:
            resp, faults = Resp(e.status, e.message), []
        except FaultError as e:
            resp, faults = Resp(400, str(e)), []
        except Exception:  # a server bug must show as a 500 and a trace, not a hang
            traceback.print_exc()
            resp, faults = Resp(500, "fakehub internal error"), []
        if limit is not None and resp.header("RateLimit") is None:
            resp.headers += limit.headers()
        wait = srv.costs.seconds(resp) - (time.monotonic() - started)
        if wait > 0:
            time.sleep(wait)
        entry["status"] = resp.status
        entry["answered"] = round(time.time(), 4)
        try:
            self._send(resp, [] if resp.carries else faults)
        except (ConnectionError, TimeoutError):
            pass            # the client hung up mid-body (a cancelled download)
        self.close_connection = True

    def _drain(self):
        """Reads a body the route left unread: closing on unread bytes resets the connection, and the
        client would lose the answer (a refusal of a commit, say)."""
        if self.command in ("GET", "HEAD"):
            return
        c = self._ctx
        if c is None:
            c = Ctx(headers=self.headers, rfile=self.rfile, body_read=False)
        if not c.body_read:
            for _ in body_pieces(c):
                pass

    def _auth(self):
        h = self.headers.get("Authorization")
        if h is None:
            return None
        scheme, _, value = h.partition(" ")
        return self.server.hub.tokens.get(value.strip(), INVALID) if scheme.lower() == "bearer" else INVALID

    def _rate_limit(self, raw):
        """The caller's window for this request's bucket, counted; None off the hub's limited routes."""
        bucket = rate_bucket(raw) if self.server.host_name == "hub" else None
        if bucket is None:
            return None
        auth = self._auth()
        token = isinstance(auth, Token)
        caller = ("token", auth.value) if token else ("address", self.client_address[0])
        return self.server.limits.take(caller, token, bucket)

    # -- fault layer

    def _respond(self, raw):
        srv = self.server
        faults, target = [], raw
        if raw.startswith("/__fault/"):
            cfg, _, rest = raw[len("/__fault/"):].partition("/")
            faults, target = parse_faults(unquote(cfg)), "/" + rest
        raw_path, _, raw_query = target.partition("?")
        # http.server hands the request line over as latin-1; undo that before percent-
        # decoding so raw UTF-8 and %-escaped UTF-8 name the same file.
        path = unquote_to_bytes(raw_path.encode("latin-1", "replace")).decode("utf-8", "replace")
        c = Ctx(host=srv.host_name, hub=srv.hub, origin=srv.origins[srv.host_name],
                origins=srv.origins, versions=srv.versions, limits=srv.limits, headers=self.headers,
                method=self.command, rfile=self.rfile, log_body=None, body_read=False,
                faults=faults, target=target, prefix=fault_prefix([f.token for f in faults]),
                raw_path=raw_path, raw_query=raw_query, path=path, api=path.startswith("/api/"),
                params=parse_qsl(raw_query, keep_blank_values=True), offset=0, page=1, names={})
        self._ctx = c
        cur = c.param("cursor")
        if cur is not None:
            try:
                pos = json.loads(base64.urlsafe_b64decode(cur + "=" * (-len(cur) % 4)))
                c.offset, c.page = int(pos["o"]), int(pos["p"])
            except Exception:
                return error_resp(400, "Invalid cursor", c.api), []
        c.auth = self._auth()
        active = [f for f in faults if f.page is None or f.page == c.page]
        names = {f.name: f for f in active}
        if "delay" in names:
            time.sleep(names["delay"].value / 1000.0)
        if "hold" in names:
            srv.hub.gate.wait()
        for f in active:
            if f.name in REDIRECT_FAULTS and not (f.name == "redirects" and f.value < 1):
                return fault_redirect(c, f), active
        if "status" in names:
            return fault_status(c, names["status"].value), active
        c.names = names
        try:
            resp = self._route(c) if c.method in ("GET", "HEAD") else self._route_write(c)
        finally:
            if c.log_body is not None:
                self._entry["body"] = c.log_body
        resp = downloads.ranges(c, resp, names)
        link = resp.header("Link")
        if "no_link" in names:
            resp.headers = [h for h in resp.headers if h[0] != "Link"]
        elif "link_loop" in names:
            resp.headers = [h for h in resp.headers if h[0] != "Link"]
            resp.headers.append(("Link", f'<{c.origin}{raw}>; rel="next"'))
        elif "link_relative" in names and link:
            resp.headers = [h for h in resp.headers if h[0] != "Link"]
            resp.headers.append(("Link", link.replace(c.origin, "", 1)))
        return resp, active

    # -- routes

    def _route(self, c):
        segs = c.path.split("/")[1:]
        # A revision is one segment ("refs%2Fpr%2F1"): read it from the segments as sent, each decoded
        # on its own, as the hub does. Sent with raw slashes, "refs" is the revision and the rest a path.
        raw = [unquote_to_bytes(x.encode("latin-1", "replace")).decode("utf-8", "replace")
               for x in c.raw_path.split("/")[1:]]
        if c.host == "host2" and segs[0] == "cdn":
            return downloads.cdn(c, segs[1:])
        if c.host == "host2" and segs[0] == "redirect_back":
            rest = c.target[len("/redirect_back"):] or "/"
            return redirect_resp(302, c.origins["hub"] + c.prefix + rest)
        if segs[0] == "api":
            segs = segs[1:]
            if segs and segs[-1] == "":
                segs = segs[:-1]
            if segs and segs[0] == "resolve-cache":
                return downloads.resolve_cache(c, segs[1:])
            if segs == ["whoami-v2"]:
                return listings.whoami(c)
            if segs and segs[0] in ("models", "datasets", "spaces"):
                kind = segs[0][:-1]
                if len(segs) == 1:
                    return listings.listing(c, kind)
                if len(segs) == 3:
                    return listings.info(c, kind, segs[1] + "/" + segs[2])
                if len(segs) == 4 and segs[3] == "refs":
                    return listings.refs(c, kind, segs[1] + "/" + segs[2])
                if len(raw) == 6 and raw[4] == "revision" and raw[:2] == ["api", segs[0]]:
                    return listings.info(c, kind, raw[2] + "/" + raw[3], raw[5])
                if len(raw) >= 6 and raw[4] == "tree" and raw[:2] == ["api", segs[0]]:
                    return listings.tree(c, kind, raw[2] + "/" + raw[3], raw[5],
                                         "/".join(raw[6:]).strip("/"))
                if len(segs) >= 5 and segs[3] == "tree":
                    return listings.tree(c, kind, segs[1] + "/" + segs[2], segs[4],
                                         "/".join(segs[5:]).strip("/"))
            if segs and segs[0] == "collections":
                if len(segs) == 1:
                    return listings.collections(c)
                return listings.collection(c, "/".join(segs[1:]))
            return error_resp(404, "Sorry, we can't find the page you are looking for.", True)
        kind = "model"
        if segs[0] in ("datasets", "spaces"):
            kind, segs, raw = segs[0][:-1], segs[1:], raw[1:]
        if len(raw) >= 4 and raw[2] == "resolve":
            return downloads.resolve(c, kind, raw[0] + "/" + raw[1], raw[3], "/".join(raw[4:]))
        if len(segs) >= 4 and segs[2] == "resolve":
            return downloads.resolve(c, kind, segs[0] + "/" + segs[1], segs[3], "/".join(segs[4:]))
        return Resp(404, "Not Found")

    def _route_write(self, c):
        """POST and PUT: the write API on the hub, uploads on the storage host; 405 elsewhere."""
        raw = [unquote_to_bytes(x.encode("latin-1", "replace")).decode("utf-8", "replace")
               for x in c.raw_path.split("/")[1:]]
        if c.host == "host2" and c.method == "PUT" and raw[0] == "lfs":
            return uploads.put_object(c, raw)
        if c.host == "host2" and c.method == "PUT" and raw[0] == "lfs-part":
            return uploads.put_part(c, raw)
        if c.host == "hub" and c.method == "POST":
            if raw[:2] == ["api", "complete_multipart"] and len(raw) == 2:
                return uploads.complete(c)
            if raw == ["api", "validate-yaml"]:
                return writes.validate_yaml(c)
            if len(raw) >= 6 and raw[0] == "api" and raw[1] in ("models", "datasets", "spaces") \
                    and raw[4] in ("preupload", "commit"):
                if len(raw) > 6:    # a revision sent with raw slashes names none
                    return error_resp(404, "Invalid rev id: " + "/".join(raw[5:]), True,
                                      code="RevisionNotFound")
                route = writes.preupload if raw[4] == "preupload" else writes.commit
                return route(c, raw[1][:-1], raw[2] + "/" + raw[3], raw[5])
            kind, segs = "model", raw
            if segs[0] in ("datasets", "spaces"):
                kind, segs = segs[0][:-1], segs[1:]
            if len(segs) == 6 and segs[1].endswith(".git") and segs[2:5] == ["info", "lfs", "objects"]:
                repo_id = segs[0] + "/" + segs[1][:-4]
                if segs[5] == "batch":
                    return uploads.batch(c, kind, repo_id)
                if segs[5] == "verify":
                    return uploads.verify(c, kind, repo_id)
        allow = "PUT" if c.host == "host2" else "GET, HEAD, POST"
        return Resp(405, "Method not allowed", headers=[("Allow", allow)])

    # -- sending

    def _send(self, resp, faults):
        names = {f.name: f.value for f in faults}
        body, source = resp.body, resp.source
        if "malformed" in names and source is None:
            body = body[:len(body) // 2] + b'{"'
        length = resp.length if resp.length is not None else (
            source.size if source is not None else len(body))
        self.send_response(resp.status)
        self.send_header("Content-Type", resp.ctype)
        for k, v in resp.headers:
            # Header values are latin-1 on the wire; UTF-8 text goes out as its raw bytes.
            self.send_header(k, v.encode("utf-8").decode("latin-1"))
        if "no_length" not in names:
            self.send_header("Content-Length", str(names.get("fake_length", length)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        if self.command == "HEAD":
            return
        limit = names.get("cut_at")
        if resp.cut is not None:
            limit = resp.cut if limit is None else min(limit, resp.cut)
        slow = names.get("slow")
        sent, start = 0, time.monotonic()
        rate = names.get("rate") or resp.rate
        while sent < length and (limit is None or sent < limit):
            n = min(CHUNK, length - sent)
            if limit is not None:
                n = min(n, limit - sent)
            chunk = source.read(resp.start + sent, n) if source is not None else body[sent:sent + n]
            if slow:
                time.sleep(slow / 1000.0)
            self.wfile.write(chunk)
            self.wfile.flush()
            sent += len(chunk)
            if rate:
                ahead = start + sent / float(rate) - time.monotonic()
                if ahead > 0:
                    time.sleep(ahead)

    def send_response(self, code, message=None):
        super().send_response(code, message)
        self.send_header("X-Powered-By", "huggingface-moon")
        self.send_header("X-Request-Id", f"Root=1-{int(time.time()):08x}-{uuid.uuid4().hex[:24]};"
                                         f"{uuid.uuid4()}")
        self.send_header("Access-Control-Expose-Headers", EXPOSE)


class Server(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 128

    def __init__(self, addr, host_name, hub, log, origins, verbose):
        super().__init__(addr, Handler)
        self.host_name, self.hub, self.log = host_name, hub, log
        self.origins, self.verbose = origins, verbose
