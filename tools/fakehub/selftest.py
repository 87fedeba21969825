#!/usr/bin/env python3
"""Checks the fake hub against the shapes and fixtures the C++ tests rely on.

Run: python3 tools/fakehub/selftest.py   (exits non-zero on the first failed check)
"""

import hashlib
import http.client
import json
import os
import re
import subprocess
import threading
import sys
import time
from urllib.parse import quote, urljoin, urlsplit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fakehub  # noqa: E402  (the pointer format, shared with the server)

HERE = os.path.dirname(os.path.abspath(__file__))
GOOD, NOGRANT, PENDING = "hf_test_good", "hf_test_nogrant", "hf_test_pending"


class Hub:
    def __init__(self):
        self.proc = subprocess.Popen([sys.executable, os.path.join(HERE, "fakehub.py"),
                                      "--scenario", "tests", "--scenario", "scale",
                                      "--lift-rate-limits"],
                                     stdout=subprocess.PIPE)
        ports = json.loads(self.proc.stdout.readline())
        self.port, self.port2 = ports["port"], ports["port2"]
        self.base = f"http://127.0.0.1:{self.port}"
        self.base2 = f"http://127.0.0.1:{self.port2}"

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


def request(url, token=None, method="GET", headers=None):
    """One request, redirects not followed; a short body is returned as far as it came."""
    u = urlsplit(url)
    conn = http.client.HTTPConnection(u.hostname, u.port, timeout=30)
    h = dict(headers or {})
    if token:
        h["Authorization"] = "Bearer " + token
    conn.request(method, u.path + ("?" + u.query if u.query else ""), headers=h)
    r = conn.getresponse()
    try:
        body = r.read()
    except http.client.IncompleteRead as e:
        body = e.partial
    hdrs = {k.lower(): v for k, v in r.getheaders()}
    conn.close()
    return r.status, hdrs, body


def follow(url, token=None, method="GET", headers=None):
    """A request with its redirects followed as a client does (a relative Location against the URL,
    the key only while on the same origin): the final (status, headers, body) and the hops."""
    hops = []
    for _ in range(12):
        status, hdrs, body = request(url, token, method, headers)
        hops.append((status, url))
        if status not in (301, 302, 303, 307, 308):
            return status, hdrs, body, hops
        nxt = urljoin(url, hdrs["location"])
        if urlsplit(nxt)[:2] != urlsplit(url)[:2]:
            token = None
        url = nxt
    raise AssertionError(f"too many redirects from {hops[0][1]}")


def next_link(hdrs):
    m = re.search(r'<([^>]*)>; rel="next"', hdrs.get("link", ""))
    return m.group(1) if m else None


def pages(url, token=None):
    out = []
    while url:
        status, hdrs, body = request(url, token)
        check(status == 200, f"{url} -> {status}")
        out.append((json.loads(body), hdrs))
        url = next_link(hdrs)
    return out


FAILED = []


def check(cond, what):
    if not cond:
        FAILED.append(what)
        raise AssertionError(what)


def pattern_ok(data):
    return all(b == i % 251 for i, b in enumerate(data))


def test_listings(h):
    ps = pages(f"{h.base}/api/models?author=big-org&limit=1000&sort=lastModified&expand=lastModified")
    check(len(ps) == 3, f"big-org in 3 pages of 1000, got {len(ps)}")
    items = [i for body, _ in ps for i in body]
    check(len({i["id"] for i in items}) == 2345, "big-org has 2345 distinct models")
    check(set(items[0]) == {"_id", "id", "lastModified"}, f"expand shape {sorted(items[0])}")
    check(items[0]["id"] == "big-org/model-0000" and
          items[0]["lastModified"] == "2025-06-30T12:00:00.000Z", "newest generated model first")
    dates = [i["lastModified"] for i in items]
    check(dates == sorted(dates, reverse=True), "sorted by lastModified, newest first")
    link = next_link(ps[0][1])
    check(link.startswith(h.base + "/api/models?author=big-org&limit=1000&sort=lastModified"
                          "&expand=lastModified&cursor="), f"absolute next link: {link}")
    _, _, body = request(f"{h.base}/api/models?author=big-org&limit=2&sort=lastModified")
    d = json.loads(body)[0]
    check("lastModified" not in d and d["modelId"] == d["id"], f"default model shape {d}")
    _, _, body = request(f"{h.base}/api/datasets?author=big-org&limit=2&sort=lastModified")
    d = json.loads(body)[0]
    check(d["lastModified"] == "2025-06-30T12:00:00.000Z" and d["id"] == "big-org/data-0000",
          f"dataset item carries lastModified: {d}")
    ps = pages(f"{h.base}/api/models?author=quirks-org&limit=5&sort=lastModified&expand=lastModified")
    ids = [[i.get("id") for i in body] for body, _ in ps]
    check("quirks-org/dup" in ids[0] and "quirks-org/dup" in ids[1], f"dup on pages 1 and 2: {ids}")
    flat = [i for body, _ in ps for i in body]
    check(flat[1] == {"_id": flat[1]["_id"], "lastModified": "2025-05-09T00:00:00.000Z",
                      "modelId": "quirks-org/only-modelid"}, f"modelId-only item {flat[1]}")
    check("id" not in flat[2] and "modelId" not in flat[2], "item without any id")
    ps = pages(f"{h.base}/api/models?author=boundary-org&limit=500&sort=lastModified")
    check([len(b) for b, _ in ps] == [500, 500], "boundary-org: two full pages, no third")
    ps = pages(f"{h.base}/api/models?author=fullpage-org&limit=10&sort=lastModified")
    check([len(b) for b, _ in ps] == [10, 10, 0], "fullpage-org: a full last page still links")
    _, _, body = request(f"{h.base}/api/models?author={quote('space owner', safe='')}&limit=10")
    check([i["id"] for i in json.loads(body)] == ["space owner/model one"], "owner with a space")
    _, _, body = request(f"{h.base}/api/models?author=secret-org&limit=10")
    check(len(json.loads(body)) == 1, "private repo hidden from anonymous listing")
    _, _, body = request(f"{h.base}/api/models?author=secret-org&limit=10", GOOD)
    check(len(json.loads(body)) == 2, "private repo listed for a member")
    status, _, body = request(f"{h.base}/api/models?author=nobody-here&limit=10")
    check(status == 200 and json.loads(body) == [], "unknown owner lists nothing")


def tree_url(h, repo, kind="models"):
    return f"{h.base}/api/{kind}/{quote(repo)}/tree/main?recursive=true&expand=true"


def test_trees(h):
    ps = pages(tree_url(h, "files-org/basic"))
    items = [i for body, _ in ps for i in body]
    check(len(ps) == 4 and len(items) == 16, f"basic: 16 items on 4 pages ({len(items)}, {len(ps)})")
    check(next_link(ps[0][1]).startswith(h.base + "/api/models/files-org/basic/tree/main?"
                                         "recursive=true&expand=true&cursor="), "tree next link")
    by = {i["path"]: i for i in items}
    check(by["big.bin"]["size"] == 3000000 and by["big.bin"]["lastCommit"]["date"], "file item")
    check(by["weights.safetensors"]["lfs"]["size"] == 1048576, "lfs member")
    check(by["données"]["type"] == "directory", "non-ASCII folder")
    check(len([i for b, _ in pages(tree_url(h, "files-org/paged-tree")) for i in b]) == 250,
          "paged-tree has 250 items")
    check(len(pages(tree_url(h, "files-org/paged-tree"))) == 250, "paged-tree has 250 pages")
    huge = [i for b, _ in pages(tree_url(h, "files-org/huge-tree")) for i in b]
    check(len(huge) == 10000 and len({i["path"] for i in huge}) == 10000, "huge-tree 10000 items")
    status, _, body = request(tree_url(h, "files-org/empty-repo"))
    check(status == 200 and body == b"[]", "empty repo tree")
    times = {i["path"]: i.get("lastCommit") for b, _ in pages(tree_url(h, "files-org/dir-times"))
             for i in b}
    check(times["a"] is None and times["a/b"] is None and
          times["a/b/y.txt"]["date"] == "1970-01-01T00:05:00.000Z", "dir-times fixture")
    paths = [i["path"] for b, _ in pages(tree_url(h, "files-org/no-top-dir")) for i in b]
    check("top" not in paths and "top/sub/f.txt" in paths and "w" in paths, f"no-top-dir {paths}")
    for repo, token, want in [("gated-org/gated-tree", None, 401),
                              ("gated-org/gated-tree", NOGRANT, 403),
                              ("gated-org/gated-tree", GOOD, 200),
                              ("gated-org/gated-model", None, 200),
                              ("secret-org/private-model", None, 401),
                              ("secret-org/private-model", NOGRANT, 404),
                              ("secret-org/private-model", GOOD, 200),
                              ("files-org/no-such-repo", None, 401),
                              ("files-org/no-such-repo", GOOD, 404)]:
        status, hdrs, body = request(tree_url(h, repo), token)
        check(status == want, f"tree {repo} token={token}: {status} != {want}")
        if status != 200:
            check("error" in json.loads(body) and hdrs.get("x-error-message"), "API error body")
        if status == 401:
            check("www-authenticate" in hdrs, "401 carries WWW-Authenticate")
    _, _, body = request(tree_url(h, "gated-org/gated-model"))
    lfs = [i["lfs"]["oid"] for i in json.loads(body) if "lfs" in i]
    check(lfs == ["*" * 64], "lfs oid masked for callers without access")
    status, hdrs, _ = request(tree_url(h, "gated-org/gated-tree"), NOGRANT)
    check(hdrs.get("x-error-code") == "GatedRepo", "gated tree refusal code")


def test_revisions(h):
    base = f"{h.base}/api/models/rev-org/checkpoints"

    def names(url):
        status, _, body = request(url)
        check(status == 200, f"{url} -> {status}")
        return [i["path"] for i in json.loads(body)]
    check(names(base + "/tree/step1000") == ["weights", "README.md", "config.json"], "a branch's root")
    check(names(base + "/tree/step1000/weights") == ["weights/model.bin", "weights/optimizer.pt"],
          "a branch's folder")
    oids = [{i["path"]: i["oid"] for i in json.loads(request(base + "/tree/" + rev)[2])}["weights"]
            for rev in ("main", "step1000")]
    check(oids[0] != oids[1], "a folder of other contents at another revision has another git id")
    check(names(base + "/tree/v1.0") == ["README.md", "config.json"], "a tag, by name")
    check(names(base + "/tree/refs%2Ftags%2Fv1.0") == ["README.md", "config.json"], "a tag, by its ref")
    check(names(base + "/tree/refs%2Fpr%2F1") == ["README.md", "proposal.txt"], "a pull request")
    check(names(f"{h.base}/api/datasets/rev-org/table-data/tree/refs%2Fconvert%2Fparquet/default/train")
          == ["default/train/0000.parquet", "default/train/info.txt"], "a conversion ref")
    status, _, body = request(base + "/refs?include_prs=1")
    refs = json.loads(body)
    check(status == 200 and [b["name"] for b in refs["branches"]] == ["main", "step1000"] and
          [t["ref"] for t in refs["tags"]] == ["refs/tags/v1.0"] and
          [p["ref"] for p in refs["pullRequests"]] == ["refs/pr/1"] and refs["converts"] == [], f"refs {refs}")
    step = next(b for b in refs["branches"] if b["name"] == "step1000")["targetCommit"]
    check(names(base + "/tree/" + step) == ["weights", "README.md", "config.json"], "a branch by its commit")
    check("pullRequests" not in json.loads(request(base + "/refs")[2]), "pull requests only when asked")
    converts = json.loads(request(f"{h.base}/api/datasets/rev-org/table-data/refs")[2])["converts"]
    check(converts == [{"name": "parquet", "ref": "refs/convert/parquet", "targetCommit": converts[0]["targetCommit"]}],
          f"converts {converts}")
    # Unknown, or a ref with raw slashes (the hub then reads "refs" as the revision): RevisionNotFound.
    for url in (base + "/tree/nope", base + "/tree/refs/pr/1", f"{h.base}/rev-org/checkpoints/resolve/nope/README.md"):
        status, hdrs, _ = request(url)
        check(status == 404 and hdrs.get("x-error-code") == "RevisionNotFound", f"{url}: {status} {hdrs}")
    # Downloads at a revision: small files through the cached copy of its commit, large ones on host 2.
    status, hdrs, _ = request(f"{h.base}/rev-org/checkpoints/resolve/step1000/config.json")
    check(status == 307 and f"/{step}/config.json" in hdrs["location"] and hdrs["x-repo-commit"] == step,
          f"a branch's small file: {status} {hdrs}")
    check(follow(f"{h.base}/rev-org/checkpoints/resolve/step1000/config.json")[2] == b'{"step": 1000}\n',
          "a branch's small file bytes")
    check(follow(f"{h.base}/rev-org/checkpoints/resolve/refs%2Fpr%2F1/proposal.txt")[2] == b"a better config\n",
          "a pull request's file")
    status, _, body = follow(f"{h.base}/rev-org/checkpoints/resolve/step1000/weights/model.bin")[:3]
    check(status == 200 and len(body) == 3000 and pattern_ok(body), "a branch's large file from host 2")
    check(len(follow(f"{h.base}/rev-org/checkpoints/resolve/main/weights/model.bin")[2]) == 4096,
          "main's large file is main's")


def resolve(h, repo, path, token=None, method="GET", kind="", headers=None):
    """The resolve URL's own answer, its redirect not followed."""
    return request(f"{h.base}/{kind}{quote(repo)}/resolve/main/{quote(path)}", token, method, headers)


def download(h, repo, path, token=None, method="GET", kind="", headers=None, prefix=""):
    """A download as a client makes it: (status, headers, body) of the final answer."""
    return follow(f"{h.base}{prefix}/{kind}{quote(repo)}/resolve/main/{quote(path)}", token, method,
                  headers)[:3]


def test_downloads(h):
    # A small file: a relative 307 to the cached copy of the commit, which serves the bytes.
    status, hdrs, body = resolve(h, "files-org/basic", "README.md")
    sha = json.loads(request(f"{h.base}/api/models/files-org/basic")[2])["sha"]
    oid = git_oid(b"# basic\n\nA small test model.\n")
    check(status == 307 and hdrs["location"] == f"/api/resolve-cache/models/files-org/basic/{sha}"
          f"/README.md?download=true&etag=%22{oid}%22", f"small file 307: {hdrs.get('location')}")
    check(hdrs["x-linked-etag"] == f'"{oid}"' and hdrs["accept-ranges"] == "bytes" and
          hdrs["x-repo-commit"] and body.startswith(b"Temporary Redirect."), "307 headers")
    cache_url = h.base + hdrs["location"]
    status, hdrs, body = request(cache_url)
    check(status == 200 and body == b"# basic\n\nA small test model.\n", "README bytes")
    check(hdrs["content-length"] == str(len(body)) and hdrs["etag"] == f'"{oid}"' and
          hdrs["accept-ranges"] == "bytes", "resolve-cache headers: the blob id as ETag")
    status, hdrs, body = request(cache_url, headers={"If-None-Match": f'"{oid}"'})
    check(status == 304 and body == b"" and hdrs["etag"] == f'"{oid}"', "304 to a matching If-None-Match")
    check(request(cache_url, headers={"If-None-Match": '"other"'})[0] == 200, "200 to another ETag")
    status, hdrs, body = request(cache_url, method="HEAD")
    check(status == 200 and body == b"" and hdrs["content-length"] == "29", "HEAD like GET")
    check(resolve(h, "files-org/basic", "README.md", method="HEAD")[0] == 307, "HEAD of resolve: 307")
    wrong_commit = cache_url.replace("/files-org/basic/", "/files-org/basic/" + "0" * 40 + "x", 1)
    check(request(wrong_commit)[0] == 404, "resolve-cache of another commit")
    status, hdrs, body = download(h, "files-org/basic", "big.bin")
    check(len(body) == 3000000 and pattern_ok(body), "3 MB generated body")
    status, hdrs, body = download(h, "files-org/basic", "empty.txt")
    check(status == 200 and body == b"" and hdrs["content-length"] == "0", "empty file")
    check(download(h, "files-org/basic", "données/résumé été.txt")[2] == b"non-ascii\n", "UTF-8 name")
    check("/donn%C3%A9es/r%C3%A9sum%C3%A9%20%C3%A9t%C3%A9.txt?" in
          resolve(h, "files-org/basic", "données/résumé été.txt")[1]["location"], "307 Location encoded")
    check(download(h, "files-org/basic", "dir with space/file name with spaces.txt")[2] == b"spaces\n",
          "spaces in name")
    check(download(h, "files-org/basic", "binary.dat")[2] == b"\x00\x01\x02\x03\xff", "base64 file")
    check(download(h, "space owner/model one", "sub dir/file one.txt")[2] == b"one\n", "space owner")
    status, hdrs, body = resolve(h, "files-org/dataset-one", "data/train.csv", kind="datasets/")
    check(status == 307 and hdrs["location"].startswith("/api/resolve-cache/datasets/files-org/dataset-one/"),
          "a dataset's cached copy")
    status, _, body = download(h, "files-org/dataset-one", "data/train.csv", kind="datasets/")
    check(status == 200 and body.startswith(b"id,text"), "dataset file under datasets/")
    status, _, _ = resolve(h, "files-org/dataset-one", "data/train.csv")
    check(status == 401, "dataset id under the model route is a missing repo")
    # A large file: 302 to the storage host, which names the file by a hash of its own.
    status, hdrs, _ = resolve(h, "files-org/basic", "weights.safetensors")
    check(status == 302 and hdrs["location"].startswith(h.base2 + "/cdn/models/files-org/basic/"),
          f"lfs redirect to host 2: {hdrs.get('location')}")
    linked = hdrs["x-linked-etag"]
    status, hdrs, body = request(hdrs["location"])
    check(status == 200 and len(body) == 1048576 and pattern_ok(body), "host 2 serves the bytes")
    check(linked == f'"{hashlib.sha256(body).hexdigest()}"' and re.fullmatch(r'"[0-9a-f]{64}"', hdrs["etag"])
          and hdrs["etag"] != linked and "ratelimit" not in hdrs, "host 2's ETag is not the sha256")
    status, hdrs, body = resolve(h, "files-org/basic", "missing.txt")
    check(status == 404 and hdrs["x-error-code"] == "EntryNotFound" and body == b"Entry not found"
          and hdrs["content-type"].startswith("text/plain"), "missing file")
    for token, want in [(None, 401), (NOGRANT, 403), (PENDING, 403), (GOOD, 200), ("bogus", 401)]:
        status, hdrs, body = download(h, "gated-org/gated-model", "config.json", token)
        check(status == want, f"gated download token={token}: {status} != {want}")
        if token in (None, NOGRANT):
            check(hdrs["x-error-code"] == "GatedRepo" and body.decode() == hdrs["x-error-message"],
                  "GatedRepo text body")
    status, hdrs, _ = resolve(h, "gated-org/gated-model", "config.json", GOOD)
    check(request(h.base + hdrs["location"])[0] == 401, "the cached copy of a gated file needs the key")
    check(download(h, "gated-org/gated-model", "README.md")[0] == 200, "gated README is open")
    check(download(h, "gated-org/gated-data", "data.csv", NOGRANT, kind="datasets/")[0] == 403,
          "gated dataset")
    status, hdrs, _ = resolve(h, "files-org/renamed-old", "README.md")
    check(status == 307 and hdrs["location"] == "/files-org/basic/resolve/main/README.md",
          "renamed repo 307 relative")


def git_oid(data):
    return hashlib.sha1(b"blob %d\0" % len(data) + data).hexdigest()


def test_ranges(h):
    url = h.base + resolve(h, "files-org/basic", "big.bin")[1]["location"]
    status, hdrs, full = request(url)
    etag = hdrs["etag"]
    check(hdrs["accept-ranges"] == "bytes" and etag == f'"{git_oid(full)}"' and
          hdrs["last-modified"].endswith(" GMT"), "download: ranges, git blob ETag, date")
    for rng, want, cr in [("bytes=0-0", full[:1], "bytes 0-0/3000000"),
                          ("bytes=251-1000", full[251:1001], "bytes 251-1000/3000000"),
                          ("bytes=2999990-", full[-10:], "bytes 2999990-2999999/3000000"),
                          ("bytes=2999990-9999999", full[-10:], "bytes 2999990-2999999/3000000"),
                          ("bytes=-7", full[-7:], "bytes 2999993-2999999/3000000")]:
        status, hdrs, body = request(url, headers={"Range": rng, "If-Range": etag})
        check(status == 206 and body == want and hdrs["content-range"] == cr and
              hdrs["content-length"] == str(len(want)), f"range {rng}: {status} {hdrs.get('content-range')}")
    status, hdrs, body = request(url, headers={"Range": "bytes=5-9", "If-Range": '"other"'})
    check(status == 200 and body == full, "If-Range with another ETag gives the whole file")
    status, hdrs, _ = request(url, headers={"Range": "bytes=3000000-"})
    check(status == 416 and hdrs["content-range"] == "bytes */3000000", "unsatisfiable range")
    check(request(url, headers={"Range": "bytes=9-5"})[0] == 200, "invalid range ignored")
    items = {i["path"]: i for b, _ in pages(tree_url(h, "files-org/basic")) for i in b}
    check(items["big.bin"]["oid"] == git_oid(full), "tree oid is the git blob id of the bytes")
    status, hdrs, _ = resolve(h, "files-org/basic", "weights.safetensors")
    _, cdn_hdrs, body = request(hdrs["location"], headers={"Range": "bytes=1048570-"})
    lfs = items["weights.safetensors"]["lfs"]
    pointer = fakehub.lfs_pointer_bytes(lfs["oid"], 1048576)
    check(lfs["oid"] == hashlib.sha256(request(hdrs["location"])[2]).hexdigest() and
          hdrs["x-linked-etag"] == f'"{lfs["oid"]}"' and hdrs["x-linked-size"] == "1048576" and
          cdn_hdrs["content-range"] == "bytes 1048570-1048575/1048576", "lfs sha256 and CDN range")
    check(lfs["pointerSize"] == len(pointer) and items["weights.safetensors"]["oid"] ==
          git_oid(pointer), "lfs oid is the pointer's blob id")
    # The storage network answers a range whole when the request accepts gzip; identity is fine.
    for where in (url, hdrs["location"]):
        for enc, whole in [("gzip", True), ("gzip, deflate, br", True), ("br;q=1.0, gzip;q=0.5", True),
                           ("identity", False), ("gzip;q=0", False), ("deflate", False)]:
            status, _, body = request(where, headers={"Range": "bytes=0-9", "Accept-Encoding": enc})
            check((status, len(body) > 10) == ((200, True) if whole else (206, False)),
                  f"Accept-Encoding {enc!r} on {where[:40]}: {status}")


def test_range_faults(h):
    f = h.base + "/__fault/"
    big = "/files-org/basic/resolve/main/big.bin"
    status, hdrs, body = follow(f + "no_ranges" + big, headers={"Range": "bytes=0-9"})[:3]
    check(status == 200 and "accept-ranges" not in hdrs and len(body) == 3000000, "no_ranges")
    status, hdrs, body = follow(f + "range_200" + big, headers={"Range": "bytes=0-9"})[:3]
    check(status == 200 and hdrs["accept-ranges"] == "bytes" and len(body) == 3000000, "range_200")
    request(h.base + "/__admin/reset")
    cut = [follow(f + "cut_range=100:1" + big, headers={"Range": "bytes=0-999"}) for _ in (1, 2)]
    check([len(b) for _, _, b, _ in cut] == [100, 1000] and cut[0][1]["content-length"] == "1000",
          "cut_range cuts the first range only")
    check(len(follow(f + "cut_range=100" + big)[2]) == 3000000, "cut_range leaves 200s whole")
    tree = f + "change_after=1/api/models/files-org/basic/tree/main?recursive=true"
    oid0 = [i for b, _ in pages(tree) for i in b if i["path"] == "big.bin"][0]["oid"]
    _, h1, b1, hops = follow(f + "change_after=1" + big)
    oid1 = [i for b, _ in pages(tree) for i in b if i["path"] == "big.bin"][0]["oid"]
    _, redirect, _ = request(f + "change_after=1" + big)
    status, h2, b2, _ = follow(f + "change_after=1" + big, headers={"Range": "bytes=10-",
                                                                     "If-Range": h1["etag"]})
    check(oid0 == git_oid(b1) and status == 200 and len(b2) == len(b1) and b2 != b1 and
          h2["etag"] == f'"{oid1}"' and oid1 == git_oid(b2) and
          redirect["x-linked-etag"] == f'"{oid1}"', "change_after: new bytes, ETag, oid")
    check([s for s, _ in hops] == [307, 200] and "/__fault/change_after=1/api/resolve-cache/" in hops[1][1],
          "the fault rides along the 307")
    wl = "/api/models/files-org/basic/tree/main?recursive=true"
    good, wrong, masked = ({i["path"]: i for b, _ in pages(u) for i in b}
                           for u in (h.base + wl, f + "wrong_hash" + wl, f + "mask_hash" + wl))
    check(wrong["big.bin"]["oid"] != good["big.bin"]["oid"] and
          wrong["weights.safetensors"]["lfs"]["oid"] != good["weights.safetensors"]["lfs"]["oid"]
          and len(wrong["weights.safetensors"]["lfs"]["oid"]) == 64 and masked["weights.safetensors"]["lfs"]["oid"] == "*" * 64 and
          masked["big.bin"] == good["big.bin"], "wrong_hash and mask_hash in the listing")
    start = time.monotonic()
    body = follow(f + "rate=2000000" + big, headers={"Range": "bytes=0-999999"})[2]
    check(len(body) == 1000000 and time.monotonic() - start >= 0.45, "rate caps the connection")


def test_collections(h):
    ps = pages(f"{h.base}/api/collections?owner=coll-org&limit=100")
    check([len(b) for b, _ in ps] == [2, 2, 2], "coll-org: 6 collections, 2 per page")
    fav = ps[0][0][0]
    check(fav["title"] == "Favourites" and len(fav["items"]) == 4 and
          fav["owner"]["name"] == "coll-org", "listing truncates items to 4")
    status, _, body = request(f"{h.base}/api/collections/{fav['slug']}")
    single = json.loads(body)
    check(status == 200 and len(single["items"]) == 7 and
          [i["id"] for i in single["items"] if i["type"] == "model"] ==
          ["files-org/basic", "big-org/model-0001", "gated-org/gated-model"], "single collection")
    empty = [c for b, _ in ps for c in b if c.get("title") == "Empty on its own page"][0]
    _, _, body = request(f"{h.base}/api/collections/{empty['slug']}")
    check(len(empty["items"]) == 2 and json.loads(body)["items"] == [], "empty items when single")
    check(len(pages(f"{h.base}/api/collections?owner=many-coll-org&limit=100")) == 60,
          "many-coll-org spans 60 pages")
    status, _, _ = request(f"{h.base}/api/collections/coll-org/nope-000")
    check(status == 404, "unknown collection")


def test_whoami(h):
    status, _, body = request(f"{h.base}/api/whoami-v2", GOOD)
    check(status == 200 and json.loads(body)["name"] == "tarn-tester", "whoami good token")
    status, hdrs, body = request(f"{h.base}/api/whoami-v2", "wrong")
    check(status == 401 and body == b'{"error":"Invalid username or password."}' and
          "x-error-code" not in hdrs, "whoami bad token")
    check(request(f"{h.base}/api/whoami-v2")[0] == 401, "whoami anonymous")


def test_faults(h):
    f = h.base + "/__fault/"
    status, hdrs, body = request(f + "status=429/api/models?author=big-org&limit=5")
    check(status == 429 and hdrs["ratelimit"].startswith('"api";r=0') and json.loads(body)["error"],
          "status=429 with RateLimit")
    first = f"{f}fail_page=2:500/api/models/files-org/basic/tree/main?recursive=true&expand=true"
    status, hdrs, _ = request(first)
    link = next_link(hdrs)
    check(status == 200 and link.startswith(f + "fail_page=2:500/api/models/"), "fault kept in link")
    check(request(link)[0] == 500, "page 2 fails")
    status, hdrs, body = request(f + "cut_at=1000/files-org/basic/resolve/main/big.bin")
    check(status == 307 and hdrs["location"].startswith("/__fault/cut_at=1000/api/resolve-cache/") and
          len(body) == int(hdrs["content-length"]), "the 307 arrives whole and carries the fault")
    status, hdrs, body, _ = follow(f + "cut_at=1000/files-org/basic/resolve/main/big.bin")
    check(hdrs["content-length"] == "3000000" and len(body) == 1000, "cut_at")
    status, hdrs, body, _ = follow(f + "no_length/files-org/basic/resolve/main/big.bin")
    check("content-length" not in hdrs and len(body) == 3000000 and pattern_ok(body), "no_length")
    status, hdrs, body, _ = follow(f + "fake_length=5/files-org/basic/resolve/main/README.md")
    check(hdrs["content-length"] == "5", "fake_length announces the fake size")
    status, _, _, hops = follow(f + "status=500/files-org/basic/resolve/main/README.md")
    check(status == 500 and len(hops) == 1, "a status fault answers at the first hop")
    status, _, body, hops = follow(f + "redirect_relative/files-org/basic/resolve/main/README.md")
    check([s for s, _ in hops] == [307, 307, 200] and body.startswith(b"# basic"),
          "a fault's redirect, then the hub's own")
    status, _, body = request(f + "malformed/api/models?author=big-org&limit=3")
    try:
        json.loads(body)
        check(False, "malformed body parsed")
    except ValueError:
        pass
    status, hdrs, _ = request(f + "redirect_loop/api/whoami-v2")
    check(status == 302 and hdrs["location"] == f + "redirect_loop=1/api/whoami-v2", "loop hop 1")
    status, hdrs, _ = request(hdrs["location"])
    check(status == 302 and hdrs["location"] == f + "redirect_loop=2/api/whoami-v2", "loop hop 2")
    status, hdrs, _ = request(f + "redirect_host2/api/models?author=big-org&limit=1")
    check(status == 302 and hdrs["location"] == h.base2 + "/api/models?author=big-org&limit=1",
          "redirect_host2")
    status, hdrs, body = request(hdrs["location"])
    check(status == 200 and next_link(hdrs).startswith(h.base2), "host 2 serves the API too")
    status, hdrs, _ = request(f + "redirect_relative/files-org/basic/resolve/main/README.md")
    check(status == 307 and hdrs["location"] == "/files-org/basic/resolve/main/README.md",
          "redirect_relative")
    status, hdrs, body = request(f + "cut_at=10/files-org/basic/resolve/main/weights.safetensors")
    check(status == 302 and hdrs["location"].startswith(h.base2 + "/__fault/cut_at=10/cdn/"),
          "body faults ride along to host 2")
    check(len(body) == int(hdrs["content-length"]) > 10, "the redirect itself arrives whole")
    _, hdrs, body = request(hdrs["location"])
    check(hdrs["content-length"] == "1048576" and len(body) == 10, "cut on host 2")
    check(request(f + "nonsense=1/api/whoami-v2")[0] == 400, "unknown fault rejected")
    held = []
    t = threading.Thread(target=lambda: held.append(request(f + "hold/api/whoami-v2")[0]))
    t.start()
    t.join(0.5)
    check(not held and t.is_alive(), "hold keeps the request waiting")
    request(h.base + "/__admin/release")
    t.join(5)
    check(held == [401], f"release answers the held request ({held})")


def scale_tree(h, repo, folder="", kind="datasets", query="", prefix=""):
    path = "/".join(quote(seg, safe="") for seg in folder.split("/")) if folder else ""
    return f"{h.base}{prefix}/api/{kind}/{repo}/tree/main" + (f"/{path}" if path else "") + query


def test_folder_listings(h):
    """Folder by folder, as the hub's tree endpoint answers for a path: page sizes, folders first,
    dates on files and folders with expand, and 404 for a folder that does not exist."""
    crawl = "scale-org/crawl-100k"
    root = pages(scale_tree(h, crawl))
    check([[i["path"] for i in b] for b, _ in root] == [["data", "meta", ".gitattributes", "README.md"]],
          f"repository root: folders first {root}")
    data = [i for b, _ in pages(scale_tree(h, crawl, "data")) for i in b]
    check([i["path"] for i in data] == [f"data/{k:03d}" for k in range(100)] and
          all(i["type"] == "directory" for i in data), "data/ holds exactly 100 folders")
    ps = pages(scale_tree(h, crawl, "data/042"))
    names = [i["path"] for b, _ in ps for i in b]
    check(len(ps) == 1 and len(names) == 1000 and names == sorted(names) and
          names[0] == "data/042/shard-00000.jsonl.gz", "a folder of 1,000 in one page without dates")
    same = [i["path"] for b, _ in pages(f"{h.base}/api/datasets/{crawl}/tree/main/data%2F042") for i in b]
    check(same == names, "a folder path with %2F names the same folder")
    ps = pages(scale_tree(h, "scale-org/wide-10k", "images", kind="models", query="?limit=5000"))
    check([len(b) for b, _ in ps] == [1000] * 10, "without dates at most 1,000 a page")
    check(next_link(ps[0][1]).startswith(
        f"{h.base}/api/models/scale-org/wide-10k/tree/main/images?limit=5000&cursor="), "next link")
    for query, sizes in [("?expand=true", [50] * 20), ("?expand=true&limit=100", [100] * 10),
                         ("?expand=true&limit=1000", [100] * 10)]:
        ps = pages(scale_tree(h, crawl, "data/007", query=query))
        check([len(b) for b, _ in ps] == sizes, f"expand pages {query}: {[len(b) for b, _ in ps][:3]}")
    for query, sizes in [("?limit=7", [7] * 14 + [2]), ("?expand=true&limit=7", [7] * 14 + [2])]:
        ps = pages(scale_tree(h, crawl, "meta", query=query))
        check([len(b) for b, _ in ps] == sizes, f"expand pages {query}: {[len(b) for b, _ in ps][:3]}")
    dated = [i for b, _ in pages(scale_tree(h, crawl, query="?expand=true")) for i in b]
    check(all(i["lastCommit"]["date"] and i["lastCommit"]["id"] for i in dated),
          "expand dates files and folders alike")
    dates = {i["path"]: i["lastCommit"]["date"] for i in dated}
    first = json.loads(request(scale_tree(h, crawl, "data/000", query="?expand=true&limit=1"))[2])[0]
    check(dates["data"] == first["lastCommit"]["date"] == "2025-08-31T22:00:00.000Z",
          "a folder's date is that of the newest file below it")
    check(dates["README.md"] == "2025-08-31T23:59:00.000Z", "a listed file keeps its own date")
    one = pages(scale_tree(h, "space owner/model one".replace(" ", "%20"), "sub dir", kind="models"))
    check([i["path"] for b, _ in one for i in b] == ["sub dir/file one.txt"],
          "a folder with a space, percent-encoded per segment")
    for folder in ("nope", "data/100", "data/042/shard-00000.jsonl.gz", "README.md/x"):
        status, hdrs, body = request(scale_tree(h, crawl, folder))
        check(status == 404 and json.loads(body) == {"error": "Entry not found"} and
              hdrs["x-error-code"] == "EntryNotFound", f"missing folder {folder}: {status}")
    url, got = scale_tree(h, crawl, "data", query="?recursive=true"), []
    for _ in range(3):
        status, hdrs, body = request(url)
        got.append([i["path"] for i in json.loads(body)])
        url = next_link(hdrs)
    check([len(p) for p in got] == [1000] * 3 and got[0][:2] == ["data/000", "data/000/shard-00000.jsonl.gz"]
          and got[1][:3] == ["data/000/shard-00999.jsonl.gz", "data/001", "data/001/shard-00000.jsonl.gz"]
          and got[2][0] == "data/001/shard-00998.jsonl.gz", "a recursive folder listing: each folder "
          "followed by its files, across pages")


def test_generated_repositories():
    """The generated trees, checked in process against a whole walk: every slice a page takes, the
    files' own dates and sizes, and the lookup of a file by name."""
    hub = fakehub.load_hub(["scale"])
    repo = hub.repos[("dataset", "scale-org/crawl-100k")]
    view = repo.tree_view("", True)
    full = repo.entries()
    files = [e for e in full if e[0] == "file"]
    check(len(view) == len(full) == 100102 + 102 and len(files) == 100102,
          f"100,102 files and 102 folders ({len(full)})")
    for a, b in [(0, 3), (999, 1003), (1000, 2002), (50049, 50151), (100099, 100204), (100200, 100300)]:
        check([e[1] for e in view[a:b]] == [e[1] for e in full[a:b]], f"slice {a}:{b}")
    check([e[1] for e in full[-4:]] == ["meta/stats-098.json", "meta/stats-099.json",
                                         ".gitattributes", "README.md"], "root files come last")
    data = [e for e in files if e[1].startswith("data/")]
    check(len({e[3] for e in data}) == 100000, "every data file has a date of its own")
    check(len({e[2].content.size for e in data}) > 900, "sizes vary")
    for e in (data[0], data[54321], data[-1], files[-1]):
        node = repo.file(e[1])
        check(node is not None and node.path == e[1] and node.date == e[3] and
              node.content.size == e[2].content.size and node.oid() == e[2].oid(), f"lookup {e[1]}")
    for bad in ("data/042/shard-0042.jsonl.gz", "data/042/shard-01000.jsonl.gz", "data/042/x",
                "data/shard-00000.jsonl.gz", "meta/stats-100.json"):
        check(repo.file(bad) is None, f"no file {bad}")
    wide = hub.repos[("model", "scale-org/wide-10k")].tree_view("images", False)
    check(len(wide) == 10000 and wide[9999:10000][0][1] == "images/img-09999.png", "10,000 in one folder")
    small = hub.repos[("model", "scale-org/small-15")].entries()
    check(sum(e[0] == "file" for e in small) == 15, "the small model has 15 files")
    try:
        fakehub.Hub([{"owners": {"o": {"models": [{"name": "r", "files": [{"path": "d/x"}],
                                                    "generate_folders": [{"path": "d", "files": 2}]}]}}}]
                    ).repos[("model", "o/r")].entries()
        check(False, "a generated folder that also lists files is refused")
    except fakehub.ScenarioError:
        pass


def api_json(h, path, token=None):
    status, hdrs, body = request(h.base + path, token)
    return status, hdrs, json.loads(body) if body else None


def test_revision_info(h):
    """Repository info at a revision, with expand in its three spellings, and its errors."""
    base = "/api/models/rev-org/checkpoints"
    refs = api_json(h, base + "/refs?include_prs=1")[2]
    heads = {r["ref"]: r["targetCommit"] for group in refs.values() for r in group}
    status, hdrs, full = api_json(h, base)
    check(status == 200 and {"_id", "id", "author", "sha", "lastModified", "private", "gated", "siblings",
                             "modelId", "createdAt"} <= set(full) and full["sha"] == heads["refs/heads/main"]
          and hdrs["ratelimit"].startswith('"api";'), f"info without expand is the full info: {sorted(full)}")
    for rev, query, ref in [("HEAD", "?expand=sha", "refs/heads/main"),
                            ("step1000", "?expand[]=sha&expand[]=lastModified", "refs/heads/step1000"),
                            ("refs%2Fpr%2F1", "?expand%5B%5D=sha", "refs/pr/1"),
                            ("v1.0", "?expand=sha,lastModified", "refs/tags/v1.0"),
                            (heads["refs/heads/step1000"], "?expand=sha&expand=lastModified", "refs/heads/step1000")]:
        status, _, d = api_json(h, f"{base}/revision/{rev}{query}")
        want = {"_id", "id", "sha"} | ({"lastModified"} if "lastModified" in query else set())
        check(status == 200 and set(d) == want and d["sha"] == heads[ref] and d["id"] == "rev-org/checkpoints",
              f"revision {rev}{query}: {status} {d}")
    step = api_json(h, f"{base}/revision/step1000?expand=lastModified&expand=siblings")[2]
    check(step["lastModified"] == "2024-06-01T00:00:00.000Z" and
          [s["rfilename"] for s in step["siblings"]] == ["weights/model.bin", "weights/optimizer.pt",
                                                          "README.md", "config.json"],
          f"a revision's own date and files: {step}")
    for path, token, want, code in [(f"{base}/revision/nope?expand=sha", None, 404, "RevisionNotFound"),
                                    (f"{base}/revision/refs/pr/1", None, 404, None),
                                    (f"{base}?expand=bogus", None, 400, None),
                                    (f"{base}/revision/main?expand=sdk", None, 400, None),
                                    ("/api/models/secret-org/private-model/revision/main?expand=sha", None, 401, None),
                                    ("/api/models/secret-org/private-model/revision/main?expand=sha", NOGRANT, 404,
                                     "RepoNotFound"),
                                    ("/api/models/secret-org/private-model/revision/main?expand=sha", GOOD, 200, None),
                                    ("/api/models/files-org/no-such-repo/revision/HEAD", None, 401, None)]:
        status, hdrs, d = api_json(h, path, token)
        check(status == want and hdrs.get("x-error-code") == code, f"{path} token={token}: {status} {hdrs.get('x-error-code')}")
        if code == "RevisionNotFound":
            check(d == {"error": "Invalid rev id: nope"}, f"RevisionNotFound body {d}")
    for kind, repo in [("datasets", "rev-org/table-data"), ("spaces", "spaces-org/chat-demo")]:
        status, _, d = api_json(h, f"/api/{kind}/{repo}/revision/HEAD?expand=sha")
        refs = api_json(h, f"/api/{kind}/{repo}/refs")[2]
        check(status == 200 and d["sha"] == refs["branches"][0]["targetCommit"], f"{kind} info and refs: {d} {refs}")


def test_spaces(h):
    """Spaces as repositories: the owner listing, info, tree and both kinds of download."""
    status, hdrs, items = api_json(h, "/api/spaces?author=spaces-org")
    check(status == 200 and [i["id"] for i in items] == ["spaces-org/chat-demo", "spaces-org/docker-app",
                                                         "spaces-org/static-page"],
          f"anonymous Spaces listing, newest first, the private one hidden: {items}")
    check(list(items[0]) == ["_id", "id", "author", "sdk", "private", "likes", "lastModified", "subdomain",
                             "createdAt", "tags", "sha"] and items[0]["sdk"] == "gradio" and
          items[0]["subdomain"] == "spaces-org-chat-demo", f"listing item {items[0]}")
    dates = [i["lastModified"] for i in api_json(h, "/api/spaces?author=spaces-org", GOOD)[2]]
    check(len(dates) == 4 and len(set(dates)) == 4 and dates == sorted(dates, reverse=True),
          f"a member sees the private Space; distinct dates: {dates}")
    ps = pages(f"{h.base}/api/spaces?author=spaces-org&limit=2&expand=sdk&expand=private", GOOD)
    check([[set(i) for i in b] for b, _ in ps] == [[{"_id", "id", "sdk", "private"}] * 2] * 2,
          "paged by Link, only the expanded keys")
    check(request(f"{h.base}/api/spaces?author=spaces-org&expand=pipeline_tag")[0] == 400,
          "a model's property is no Space's")
    status, _, info = api_json(h, "/api/spaces/spaces-org/docker-app")
    check(status == 200 and info["sdk"] == "docker" and info["runtime"]["stage"] == "RUNNING" and
          info["runtime"]["hardware"]["current"] and info["subdomain"] == "spaces-org-docker-app" and
          "downloads" not in info and [s["rfilename"] for s in info["siblings"]] ==
          ["app/main.py", "weights/model.bin", "Dockerfile"], f"Space info {info}")
    for token, want in [(None, 401), (NOGRANT, 404), (GOOD, 200)]:
        check(request(f"{h.base}/api/spaces/spaces-org/private-lab", token)[0] == want and
              follow(f"{h.base}/spaces/spaces-org/private-lab/resolve/main/index.html", token)[0] == want,
              f"private Space token={token}")
    tree = [i["path"] for b, _ in pages(f"{h.base}/api/spaces/spaces-org/chat-demo/tree/main") for i in b]
    check(tree == ["README.md", "app.py", "requirements.txt"], f"Space tree {tree}")
    status, hdrs, _ = request(f"{h.base}/spaces/spaces-org/chat-demo/resolve/main/app.py")
    check(status == 307 and hdrs["location"].startswith("/api/resolve-cache/spaces/spaces-org/chat-demo/"),
          f"a Space's small file: 307 to its cached copy ({hdrs.get('location')})")
    check(follow(f"{h.base}/spaces/spaces-org/chat-demo/resolve/main/requirements.txt")[2] == b"gradio==4.44.0\n",
          "the cached copy's bytes")
    status, hdrs, _ = request(f"{h.base}/spaces/spaces-org/docker-app/resolve/main/weights/model.bin")
    check(status == 302 and hdrs["location"].startswith(h.base2 + "/cdn/spaces/spaces-org/docker-app/") and
          hdrs["x-linked-size"] == str(20 << 20), f"a Space's LFS file: 302 to the storage host {hdrs}")
    status, _, body = request(hdrs["location"])
    check(status == 200 and len(body) == 20 << 20 and pattern_ok(body[:1 << 20]) and
          hdrs["x-linked-etag"] == f'"{hashlib.sha256(body).hexdigest()}"', "its bytes")


def commit(h, body):
    status, _, answer = request_json(h.base + "/__admin/commit", body)
    return status, answer


def request_json(url, obj, method="POST"):
    u = urlsplit(url)
    conn = http.client.HTTPConnection(u.hostname, u.port, timeout=30)
    conn.request(method, u.path, body=json.dumps(obj).encode(), headers={"Content-Type": "application/json"})
    r = conn.getresponse()
    body = r.read()
    conn.close()
    return r.status, dict(r.getheaders()), json.loads(body) if body else None


def test_commits(h):
    """A branch moved under a client: main serves the new commit, every older commit (by sha, and the
    download addresses handed out before) still serves its own tree and bytes."""
    repo, base = "acme/model-00", f"{h.base}/api/models/acme/model-00"
    old = api_json(h, "/api/models/acme/model-00/revision/main?expand=sha")[2]["sha"]
    small_loc = request(f"{h.base}/acme/model-00/resolve/main/who.txt")[1]["location"]
    status, first = commit(h, {"repo": repo, "title": "Move the branch", "date": "2026-01-02T03:04:05.000Z",
                               "files": [{"path": "who.txt", "text": "moved\n"},
                                         {"path": "sub/new.txt", "text": "new\n"},
                                         {"path": "w/big.bin", "generate_bytes": 5000, "generate_offset": 9,
                                          "lfs": True}]})
    check(status == 200 and re.fullmatch("[0-9a-f]{40}", first["sha"]) and first["parent"] == old,
          f"a commit answers its sha and parent: {status} {first}")
    new = first["sha"]
    lfs_loc = request(f"{h.base}/acme/model-00/resolve/main/w/big.bin")[1]["location"]
    status, second = commit(h, {"repo": repo, "title": "Drop sub", "delete": ["sub"], "parent": new,
                                "date": "2026-01-03T00:00:00.000Z",
                                "files": [{"path": "w/big.bin", "generate_bytes": 5000, "lfs": True}]})
    check(status == 200 and second["parent"] == new, f"a second commit over the first: {second}")
    heads = api_json(h, "/api/models/acme/model-00/refs")[2]["branches"]
    info = api_json(h, "/api/models/acme/model-00?expand=sha&expand=lastModified")[2]
    check(heads == [{"name": "main", "ref": "refs/heads/main", "targetCommit": second["sha"]}] and
          info["sha"] == second["sha"], f"main moved: {heads} {info}")

    def tree(rev):
        return {i["path"]: i for b, _ in pages(f"{base}/tree/{rev}?recursive=true&expand=true") for i in b}
    at_old, at_first, at_main = tree(old), tree(new), tree("main")
    check(sorted(at_old) == ["who.txt"] and sorted(at_first) == ["sub", "sub/new.txt", "w", "w/big.bin", "who.txt"]
          and sorted(at_main) == ["w", "w/big.bin", "who.txt"], f"each commit its own tree: {sorted(at_first)}")
    stamp = {"id": new, "title": "Move the branch", "date": "2026-01-02T03:04:05.000Z"}
    check(at_first["who.txt"]["lastCommit"] == at_first["sub"]["lastCommit"] == stamp and
          at_main["who.txt"]["lastCommit"] == stamp and at_main["w/big.bin"]["lastCommit"]["id"] == second["sha"]
          and at_main["w"]["lastCommit"]["id"] == second["sha"] and at_old["who.txt"]["lastCommit"]["id"] != new,
          "lastCommit names the last commit that touched the path; a folder's is the latest below it")
    check(at_first["w/big.bin"]["lfs"]["oid"] != at_main["w/big.bin"]["lfs"]["oid"] and
          at_first["w"]["oid"] != at_main["w"]["oid"], "changed bytes change the hashes, of the folder too")
    for rev, want in [("main", b"moved\n"), (new, b"moved\n"), (old, b"acme\n")]:
        status, hdrs, body, _ = follow(f"{h.base}/acme/model-00/resolve/{rev}/who.txt")
        check(status == 200 and body == want, f"who.txt at {rev}: {body}")
    check(request(h.base + small_loc)[2] == b"acme\n", "a cached-copy address from before the move: the old bytes")
    _, _, body = request(lfs_loc)
    check(len(body) == 5000 and body[0] == 9 and hashlib.sha256(body).hexdigest() == at_first["w/big.bin"]["lfs"]["oid"],
          "a storage address from before the move: the old bytes")
    body = follow(f"{h.base}/acme/model-00/resolve/main/w/big.bin")[2]
    check(len(body) == 5000 and pattern_ok(body), "main's large file: the new bytes")
    check(follow(f"{h.base}/acme/model-00/resolve/main/sub/new.txt")[0] == 404 and
          follow(f"{h.base}/acme/model-00/resolve/{new}/sub/new.txt")[2] == b"new\n",
          "a deleted file is gone from main, kept at its commit")
    for body, want in [({"repo": repo, "branch": "nope", "files": []}, 404),
                       ({"repo": repo, "parent": new, "files": []}, 412),
                       ({"repo": repo, "delete": ["absent.txt"]}, 404),
                       ({"repo": repo, "files": [{"path": "a/../b", "text": ""}]}, 422),
                       ({"repo": repo, "files": [{"path": "who.txt/x", "text": ""}]}, 400),
                       ({"repo": "rev-org/checkpoints", "branch": "v1.0", "files": []}, 404),
                       ({"repo": repo, "files": [{"path": "x", "bogus": 1}]}, 400),
                       ({"repo": repo, "date": "yesterday", "files": []}, 400),
                       ({"repo": repo, "branch": 5, "files": []}, 400), ({"repo": repo, "files": {}}, 400),
                       ({"repo": "acme/nope", "files": []}, 404), ({"repo": repo, "typo": 1}, 400)]:
        check(commit(h, body)[0] == want, f"commit refused with {want}: {body}")
    check(api_json(h, "/api/models/acme/model-00/refs")[2]["branches"][0]["targetCommit"] == second["sha"],
          "a refused commit moves nothing")
    log_before = len(json.loads(request(h.base + "/__admin/log")[2]))
    for path, want in [("models/acme/model-00", (200, second["sha"])), ("models/acme/model-00?rev=" + new, (200, new)),
                       ("models/rev-org/checkpoints?rev=refs%2Fpr%2F1", (200, None)),
                       ("models/acme/model-00?rev=nope", (404, None)), ("datasets/acme/model-00", (404, None))]:
        status, _, body = request(f"{h.base}/__admin/sha/{path}")
        sha = json.loads(body)["sha"] if status == 200 else None
        check(status == want[0] and (want[1] is None or sha == want[1]) and (status != 200 or len(sha) == 40),
              f"/__admin/sha/{path}: {status} {body}")
    check(len(json.loads(request(h.base + "/__admin/log")[2])) == log_before, "/__admin/sha is not logged")
    listed = api_json(h, "/api/models?author=acme&expand=lastModified")[2]
    check(listed == [dict(listed[0], lastModified="2026-01-03T00:00:00.000Z")],
          f"the listing shows main's last commit: {listed}")


def test_commits_over_generated_trees():
    """A commit into a generated repository copies only the folders on its paths, and its listings,
    slices and look-ups agree with a whole walk."""
    hub = fakehub.load_hub(["scale"])
    repo = hub.repos[("dataset", "scale-org/crawl-100k")]
    before = repo.head
    made = fakehub.make_commit(hub, repo, "main", [
        {"path": "data/042/shard-00005.jsonl.gz", "generate_bytes": 10},
        {"path": "data/042/extra-a.txt", "text": "a"},
        {"path": "data/042/shard-00005b.txt", "text": "b"},
        {"path": "data/042/zz.txt", "text": "z"}],
        ["data/042/shard-00007.jsonl.gz", "data/042/shard-00999.jsonl.gz", "meta/stats-000.json"],
        "Edit a generated folder", "2025-09-01T00:00:00.000Z")
    check(repo.head is made and made.parent is before, "main moved to the commit")
    check(made.folder("data/041") is before.folder("data/041") and
          made.folder("data/042") is not before.folder("data/042"), "untouched folders are shared")
    view = made.tree_view("data/042", False)
    full = list(made.walk(made.folder("data/042"), 0, False))
    names = [e[1].rsplit("/", 1)[1] for e in full]
    check(len(view) == len(full) == 1000 - 2 + 3 and names == sorted(names) and
          names[:1] == ["extra-a.txt"] and names[-1] == "zz.txt" and
          names[5:8] == ["shard-00004.jsonl.gz", "shard-00005.jsonl.gz", "shard-00005b.txt"] and
          "shard-00007.jsonl.gz" not in names, f"the folder's files in name order: {names[:8]} {len(names)}")
    for a, b in [(0, 3), (4, 9), (7, 12), (500, 503), (995, 1001), (998, 1001)]:
        check([e[1] for e in view[a:b]] == [e[1] for e in full[a:b]], f"slice {a}:{b}")
    check(made.file("data/042/shard-00005.jsonl.gz").content.size == 10 and
          made.file("data/042/shard-00007.jsonl.gz") is None and
          before.file("data/042/shard-00007.jsonl.gz") is not None and
          len(before.tree_view("data/042", False)) == 1000, "look-ups: replaced, deleted, and the parent unchanged")
    whole = [e[1] for e in made.entries()]
    at = whole.index("data/042")
    walk = made.tree_view("", True)
    check(len(whole) == len(walk) == len(before.entries()) and
          all([e[1] for e in walk[a:b]] == whole[a:b] for a, b in [(at - 2, at + 12), (at + 995, at + 1010)]),
          "the recursive walk agrees")
    last = {e[1]: e[4][0] for e in made.walk(made.root, 0, False) if e[0] == "directory"}
    check(last == {"data": made.sha, "meta": made.sha}, f"a folder's last commit, a deletion's too: {last}")


def admin(h, what, **params):
    query = "&".join(f"{k}={v}" for k, v in params.items())
    status, _, body = request(f"{h.base}/__admin/{what}" + (f"?{query}" if query else ""))
    check(status == 200, f"/__admin/{what}?{query}: {status} {body[:80]}")
    return json.loads(body)


def test_costs(h):
    """Costs are lower bounds the server keeps (never timed strictly here); parallel requests wait
    side by side."""
    check(admin(h, "costs") == {"rtt_ms": 0, "item_ms": 0, "expand_item_ms": 0}, "no cost by default")
    check(request(f"{h.base}/__admin/costs?rtt=5")[0] == 400, "unknown setting refused")
    try:
        admin(h, "costs", rtt_ms=300, item_ms=0.5, expand_item_ms=4)
        request(h.base + "/__admin/reset")
        request(scale_tree(h, "scale-org/crawl-100k", "data/001"))
        request(scale_tree(h, "scale-org/crawl-100k", "data/001", query="?expand=true&limit=100"))
        threads = [threading.Thread(target=request, args=(f"{h.base}/api/whoami-v2",)) for _ in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        log = json.loads(request(h.base + "/__admin/log")[2])
        took = [e["answered"] - e["time"] for e in log]
        check(took[0] >= 0.3 + 1000 * 0.0005 - 0.01, f"round trip and 1,000 items: {took[0]:.3f} s")
        check(took[1] >= 0.3 + 100 * 0.004 - 0.01, f"100 dated items: {took[1]:.3f} s")
        check(all(t >= 0.29 for t in took[2:]), "a round trip on every answer")
        check(max(e["time"] for e in log[2:]) < min(e["answered"] for e in log[2:]),
              "parallel requests overlap")
        check(admin(h, "costs", realistic="true") == fakehub.REALISTIC_COSTS, "realistic costs")
    finally:
        admin(h, "costs", rtt_ms=0, item_ms=0, expand_item_ms=0)


def test_rate_limits(h):
    api = f"{h.base}/api/models/files-org/basic/tree/main"
    try:
        state = admin(h, "limits", api=3, resolvers=4, api_token=5, window=60)
        check(state["api"] == 3 and state["resolvers"] == 4 and state["api_token"] == 5 and
              state["resolvers_token"] == fakehub.LIFTED_QUOTA and state["window"] == 60,
              f"settings {state}")
        seen = [request(api) for _ in range(4)]
        check([s for s, _, _ in seen] == [200, 200, 200, 429], f"quota 3: {[s for s, _, _ in seen]}")
        check([x["ratelimit"].split(";")[1] for _, x, _ in seen] == ["r=2", "r=1", "r=0", "r=0"],
              "remaining counts down")
        status, hdrs, body = seen[3]
        t = int(hdrs["ratelimit"].split("t=")[1])
        check(0 < t <= 60 and hdrs["retry-after"] == str(t) and
              hdrs["ratelimit-policy"] == '"fixed window";"api";q=3;w=60' and
              "exceeded" in json.loads(body)["error"], "429 with the headers and Retry-After")
        check(request(f"{h.base}/api/whoami-v2", GOOD)[1]["ratelimit"].startswith('"api";r=4;'),
              "a token has a window of its own")
        check(request(f"{h.base}/api/no-such-route")[0] == 429, "every API route counts")
        hops = [follow(f"{h.base}/files-org/basic/resolve/main/README.md")[3] for _ in range(3)]
        check([[s for s, _ in x] for x in hops] == [[307, 200], [307, 200], [429]],
              f"resolvers: the 307 and its cached copy count: {hops}")
        status, hdrs, body = resolve(h, "files-org/basic", "README.md")
        check(hdrs["ratelimit-policy"] == '"fixed window";"resolvers";q=4;w=60' and
              body.startswith(b"You have exceeded"), "a download's 429 is text")
        lfs = resolve(h, "files-org/basic", "weights.safetensors", GOOD)[1]["location"]
        check("ratelimit" not in request(lfs)[1], "the storage host carries no limits")
        admin(h, "limits", retry_after="date")
        for _ in range(3):
            request(api)
        hdrs = request(api)[1]
        check(hdrs["retry-after"].endswith(" GMT"), f"Retry-After as a date: {hdrs.get('retry-after')}")
        admin(h, "limits", retry_after="none", window=2)
        for _ in range(3):
            request(api)
        status, hdrs, _ = request(api)
        check(status == 429 and "retry-after" not in hdrs, "429 without Retry-After")
        time.sleep(2.1)
        status, hdrs, _ = request(api)
        check(status == 200 and hdrs["ratelimit"].startswith('"api";r=2;'), "a new window after w s")
        check(request(f"{h.base}/__admin/limits?retry_after=later")[0] == 400, "bad setting refused")
    finally:
        state = admin(h, "limits", lift="true", window=300, retry_after="seconds")
    check(set(state.values()) >= {fakehub.LIFTED_QUOTA}, "lifted again")


def test_settings_on_the_command_line():
    proc = subprocess.Popen([sys.executable, os.path.join(HERE, "fakehub.py"), "--realistic-costs",
                             "--item-ms", "0.5", "--api-quota", "2", "--rate-window", "30",
                             "--retry-after", "none"], stdout=subprocess.PIPE)
    try:
        base = f"http://127.0.0.1:{json.loads(proc.stdout.readline())['port']}"
        costs = json.loads(request(base + "/__admin/costs")[2])
        check(costs == dict(fakehub.REALISTIC_COSTS, item_ms=0.5), f"costs {costs}")
        limits = json.loads(request(base + "/__admin/limits")[2])
        check(limits == {"api": 2, "resolvers": 3000, "api_token": 1000, "resolvers_token": 5000,
                         "window": 30, "retry_after": "none", "commits": 100, "commit_window": 3600},
              f"limits {limits}")
        seen = [request(base + "/api/whoami-v2") for _ in range(3)]
        check([s for s, _, _ in seen] == [401, 401, 429] and "retry-after" not in seen[2][1],
              "the command line's quota")
    finally:
        proc.terminate()
        proc.wait(10)
    rc = subprocess.call([sys.executable, os.path.join(HERE, "fakehub.py"), "--rtt-ms", "-1"],
                         stderr=subprocess.DEVNULL)
    check(rc == 2, "a negative cost is refused")


def test_log(h):
    request(h.base + "/__admin/reset")
    raw = "/api/models?author=space%20owner&limit=7&sort=lastModified"
    request(h.base + raw, GOOD, headers={"X-Tarn-Probe": "yes"})
    request(h.base2 + "/cdn/models/files-org/basic/weights.safetensors?sig=1", method="HEAD")
    request(h.base + "/__admin/health")
    _, _, body = request(h.base + "/__admin/log")
    log = json.loads(body)
    check(len(log) == 2, f"admin requests are not logged: {len(log)} entries")
    check(log[0]["host"] == "hub" and log[0]["path"] == raw and log[0]["method"] == "GET",
          f"log entry {log[0]}")
    check(log[0]["headers"]["X-Tarn-Probe"] == "yes" and
          log[0]["headers"]["Authorization"] == "Bearer " + GOOD, "header names as sent")
    check(log[1]["host"] == "host2" and log[1]["method"] == "HEAD", "host 2 logged")
    request(h.base + "/__admin/reset")
    check(json.loads(request(h.base + "/__admin/log")[2]) == [], "reset clears the log")


def test_runner():
    code = ("import os,sys; u=os.environ['TARN_HUB_URL']; v=os.environ['TARN_HUB2_URL'];"
            "sys.exit(5 if u.startswith('http://127.0.0.1:') and u.endswith('/') and v != u else 1)")
    rc = subprocess.call([sys.executable, os.path.join(HERE, "run_with_hub.py"), "--",
                          sys.executable, "-c", code])
    check(rc == 5, f"run_with_hub passes URLs and the exit code (rc={rc})")
    rc = subprocess.call([sys.executable, os.path.join(HERE, "run_with_hub.py"), "--scenario",
                          "no-such-scenario.json", "--", sys.executable, "-c", "pass"],
                         stderr=subprocess.DEVNULL)
    check(rc == 2, f"run_with_hub exits 2 when the hub cannot start (rc={rc})")


def main():
    # The writes' checks import this file's helpers: let them find this run's, and count in its list.
    sys.modules.setdefault("selftest", sys.modules[__name__])
    import selftest_writes
    h = Hub()
    tests = [test_listings, test_trees, test_folder_listings, test_revisions, test_downloads, test_collections,
             test_whoami, test_faults, test_ranges, test_range_faults, test_costs, test_rate_limits,
             test_log, test_revision_info, test_spaces, test_commits] + selftest_writes.TESTS
    try:
        for t in tests:
            try:
                began = time.monotonic()
                t(h)
                if os.environ.get("SELFTEST_TIMES"):
                    print(f"     {time.monotonic() - began:.2f} s")
                print(f"ok   {t.__name__}")
            except AssertionError as e:
                print(f"FAIL {t.__name__}: {e}")
    finally:
        h.stop()
    for t in (test_generated_repositories, test_commits_over_generated_trees, test_settings_on_the_command_line,
              test_runner, selftest_writes.test_patterns):
        try:
            t()
            print(f"ok   {t.__name__}")
        except AssertionError as e:
            print(f"FAIL {t.__name__}: {e}")
    if FAILED:
        print(f"{len(FAILED)} check(s) failed")
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
