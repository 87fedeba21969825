"""File bytes: resolve and its redirects, a small file's cached copy, the storage host, byte
ranges, and the versions a file goes through when it changes on the hub."""

import threading
from datetime import datetime, timezone
from urllib.parse import quote

from hub.access import access, renamed, revision
from hub.common import hexid, parse_iso
from hub.content import xet_hash
from hub.faults import REDIRECT_FAULTS, fault_prefix
from hub.responses import Resp, error_resp, redirect_resp

PLURALS = ("models", "datasets", "spaces")


def http_date(iso_text):
    return datetime.fromtimestamp(parse_iso(iso_text), timezone.utc).strftime(
        "%a, %d %b %Y %H:%M:%S GMT")


def parse_range(header, size):
    """(start, end) inclusive for one `bytes=` range, "416" when it cannot be met, None when the
    header is to be ignored (malformed, several ranges): then the whole file is the answer."""
    unit, _, byte_range = header.partition("=")
    if unit.strip().lower() != "bytes" or "," in byte_range:
        return None
    a, dash, b = byte_range.strip().partition("-")
    try:
        if not dash:
            return None
        if a == "":
            n = int(b)
            if n < 0:
                return None
            return (max(0, size - n), size - 1) if n > 0 and size > 0 else "416"
        start = int(a)
        end = int(b) if b != "" else size - 1
    except ValueError:
        return None
    if start < 0 or (b != "" and end < start):
        return None
    if start >= size:
        return "416"
    return start, min(end, size - 1)


def accepts_gzip(value):
    """True when an Accept-Encoding value names gzip (q=0 refuses it)."""
    for part in (value or "").split(","):
        name, _, params = part.strip().partition(";")
        q = params.strip().lower().replace(" ", "")
        if name.strip().lower() in ("gzip", "x-gzip") and not (q.startswith("q=") and
                                                            q[2:].strip("0.") == ""):
            return True
    return False


class Versions:
    """Per file and fault prefix: how many byte-serving requests it has had (for change_after)."""

    def __init__(self):
        self.lock = threading.Lock()
        self.counts = {}

    def current(self, key, after, bump):
        """The version a request sees: requests 1..after get 0, later ones (and listings made
        once `after` requests were served) get 1."""
        with self.lock:
            n = self.counts.get(key, 0)
            if bump:
                self.counts[key] = n + 1
            return 1 if n >= after else 0

    def count(self, key):
        with self.lock:
            self.counts[key] = self.counts.get(key, 0) + 1
            return self.counts[key]

    def reset(self):
        with self.lock:
            self.counts = {}


def file_version(c, repo, fpath, bump):
    """0, or 1 once the file has changed (change_after=N: after N requests for its bytes)."""
    f = c.names.get("change_after")
    if f is None:
        return 0
    key = ("change", f.token, repo.kind, repo.id, fpath)
    return c.versions.current(key, f.value, bump)


def file_resp(repo, node, ctype, v, headers):
    resp = Resp(200, ctype=ctype, source=node.version(v), rate=node.rate,
                headers=headers + [("Last-Modified", http_date(node.date))])
    resp.ranged, resp.file_key = True, (repo.kind, repo.id, node.path)
    return resp


def resolve(c, kind, repo_id, rev, fpath):
    repo = c.hub.repos.get((kind, repo_id))
    refusal = renamed(c, repo) or access(c, repo, repo_id, gate=True, fpath=fpath)
    if refusal:
        return refusal
    commit, refusal = revision(c, repo, rev)
    if refusal:
        return refusal
    node = commit.file(fpath)
    if node is None:
        return error_resp(404, "Entry not found", False, code="EntryNotFound")
    common = [("X-Repo-Commit", commit.sha), ("Accept-Ranges", "bytes"), ("Vary", "Origin")]
    # Body faults ride along to wherever the bytes are served.
    keep = fault_prefix([f.token for f in c.faults if f.name not in REDIRECT_FAULTS])
    v = file_version(c, repo, fpath, bump=False)
    if node.lfs:
        loc = (c.origins["host2"] + keep + "/cdn/" + repo.plural + "/"
               + quote(repo.id + "/" + fpath, safe="/")
               + f"?X-Amz-Expires=3600&X-Amz-Signature={hexid('sig', repo.id, fpath, n=64)}"
               + "&commit=" + commit.sha)      # the address keeps serving these bytes after the branch moves
        return redirect_resp(302, loc, common + [
            ("X-Linked-Size", str(node.content.size)),
            ("X-Linked-Etag", f'"{node.lfs_oid(v)}"')])
    # A small file: a same-host relative 307 to the cached copy of that commit.
    oid = node.oid(v)
    loc = (keep + "/api/resolve-cache/" + repo.plural + "/" + quote(repo.id, safe="/") + "/"
           + commit.sha + "/" + quote(fpath, safe="/") + "?download=true&etag="
           + quote(f'"{oid}"', safe=""))
    return redirect_resp(307, loc, common + [("X-Linked-Etag", f'"{oid}"')])


def resolve_cache(c, segs):
    """/api/resolve-cache/{models|datasets|spaces}/OWNER/NAME/COMMIT/PATH: a small file's bytes,
    at any commit the repository ever had."""
    if len(segs) < 5 or segs[0] not in PLURALS:
        return error_resp(404, "Sorry, we can't find the page you are looking for.", True)
    repo_id, commit, fpath = segs[1] + "/" + segs[2], segs[3], "/".join(segs[4:])
    repo = c.hub.repos.get((segs[0][:-1], repo_id))
    refusal = access(c, repo, repo_id, gate=True, fpath=fpath)
    if refusal:
        return refusal
    at = repo.commits.get(commit)
    if at is None:
        return error_resp(404, f"Invalid rev id: {commit}", True, code="RevisionNotFound")
    node = at.file(fpath)
    if node is None or node.lfs:
        return error_resp(404, "Entry not found", True, code="EntryNotFound")
    etag = f'"{node.oid(file_version(c, repo, fpath, bump=False))}"'
    if c.headers.get("If-None-Match", "").strip() in (etag, "*"):
        return Resp(304, headers=[("ETag", etag), ("Accept-Ranges", "bytes"),
                                  ("X-Repo-Commit", at.sha)])
    v = file_version(c, repo, fpath, bump=True)
    base = fpath.rsplit("/", 1)[-1]
    ascii_name = "".join(ch if 32 <= ord(ch) < 127 and ch != '"' else "_" for ch in base)
    resp = file_resp(repo, node, node.ctype or "text/plain; charset=utf-8", v, [
        ("Content-Disposition", f"inline; filename*=UTF-8''{quote(base, safe='')}; "
                                f'filename="{ascii_name}";'),
        ("ETag", f'"{node.oid(v)}"'), ("X-Repo-Commit", at.sha), ("Accept-Ranges", "bytes"),
        ("Vary", "Origin")])
    resp.cdn = True
    return resp


def cdn(c, segs):
    """Host 2's /cdn/{models|datasets|spaces}/OWNER/NAME/PATH?...&commit=SHA: a large file's bytes
    at that commit (main's without one), as the storage network serves them behind a signed address."""
    if len(segs) < 4 or segs[0] not in PLURALS:
        return Resp(404, "NoSuchKey")
    repo = c.hub.repos.get((segs[0][:-1], segs[1] + "/" + segs[2]))
    commit = c.param("commit")
    at = (repo.at(commit) if commit else repo.head) if repo else None
    node = at.file("/".join(segs[3:])) if at else None
    if node is None:
        return Resp(404, "NoSuchKey")
    v = file_version(c, repo, node.path, bump=True)
    resp = file_resp(repo, node, node.ctype or "application/octet-stream", v,
                     [("ETag", f'"{xet_hash(node, v)}"'), ("Accept-Ranges", "bytes")])
    resp.cdn = True
    return resp


def ranges(c, resp, names):
    """The answer to a Range request of file bytes: 206, 416, or the whole file where the hub or
    the storage network would give it whole."""
    if "no_ranges" in names:
        resp.headers = [h for h in resp.headers if h[0] != "Accept-Ranges"]
    header = c.headers.get("Range")
    if (not resp.ranged or resp.status != 200 or header is None or "no_ranges" in names
            or "range_200" in names):
        return resp
    if resp.cdn and accepts_gzip(c.headers.get("Accept-Encoding")):
        return resp         # the storage network answers such a request whole
    if_range = c.headers.get("If-Range")
    if if_range is not None and if_range.strip() not in (resp.header("ETag"),
                                                         resp.header("Last-Modified")):
        return resp         # the file is not the one the client has part of: all of it
    size = resp.source.size
    r = parse_range(header, size)
    if r is None:
        return resp
    if r == "416":
        keep = [h for h in resp.headers if h[0] in ("ETag", "Accept-Ranges", "Last-Modified")]
        return Resp(416, "Requested Range Not Satisfiable",
                    headers=[("Content-Range", f"bytes */{size}")] + keep)
    resp.status, resp.start, resp.length = 206, r[0], r[1] - r[0] + 1
    resp.headers.append(("Content-Range", f"bytes {r[0]}-{r[1]}/{size}"))
    cut = names.get("cut_range")
    if cut:
        n, k = cut.value
        if k is None or c.versions.count(("cut", cut.token) + resp.file_key) <= k:
            resp.cut = n
    return resp
