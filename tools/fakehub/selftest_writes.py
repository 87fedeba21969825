"""The fake hub's writes checked against the hub's own rules: patterns, preupload, the LFS batch and
the storage host's uploads, commits and pull requests, their refusals and fault modes. selftest.py
runs these with the rest."""

import base64
import hashlib
import http.client
import json
import re
from urllib.parse import quote, urlsplit

from hub.patterns import ignored, lfs_line, lfs_tracked
import fakehub
from selftest import GOOD, NOGRANT, api_json, check, download, follow, git_oid, pages, request

WRITE = "hf_test_write"
PLAY = "write-org/playground"
NO_PERMISSION = "Forbidden: pass `create_pr=1` as a query parameter to create a Pull Request"
CONFLICT = "The branch was updated since you opened this page. Please refresh and try again."


def send(url, body=b"", token=None, method="POST", headers=None, chunked=False):
    """One request with a body: (status, headers, body); (0, {}, b"") when the hub hung up unanswered."""
    u = urlsplit(url)
    conn = http.client.HTTPConnection(u.hostname, u.port, timeout=30)
    h = dict(headers or {})
    if token:
        h["Authorization"] = "Bearer " + token
    try:
        if chunked:
            conn.request(method, u.path + ("?" + u.query if u.query else ""), body=iter([body]), headers=h,
                         encode_chunked=True)
        else:
            conn.request(method, u.path + ("?" + u.query if u.query else ""), body=body, headers=h)
        r = conn.getresponse()
        data = r.read()
    except (ConnectionError, http.client.HTTPException):
        return 0, {}, b""
    finally:
        conn.close()
    return r.status, {k.lower(): v for k, v in r.getheaders()}, data


def send_json(url, obj, token=None, ctype="application/json"):
    status, hdrs, body = send(url, json.dumps(obj).encode(), token, headers={"Content-Type": ctype})
    try:
        return status, hdrs, json.loads(body) if body else None
    except ValueError:
        return status, hdrs, body


def preupload(h, files, token=WRITE, repo=PLAY, rev="main", query="", extra=None):
    body = dict(extra or {}, files=[{"path": p, "size": n, "sample": base64.b64encode(s).decode()}
                                    for p, n, s in files])
    return send_json(f"{h.base}/api/models/{repo}/preupload/{quote(rev, safe='')}{query}", body, token)


def commit_lines(h, lines, token=WRITE, repo=PLAY, rev="main", query="", kind="models", newline=True):
    """An NDJSON commit: (status, headers, answer)."""
    body = "\n".join(json.dumps(x) for x in lines) + ("\n" if newline else "")
    status, hdrs, data = send(f"{h.base}/api/{kind}/{repo}/commit/{quote(rev, safe='')}{query}", body.encode(),
                              token, headers={"Content-Type": "application/x-ndjson"})
    return status, hdrs, json.loads(data) if data else None


def header(summary="Write", **more):
    return {"key": "header", "value": dict(summary=summary, description="", **more)}


def text_file(path, text, encoding="base64"):
    content = base64.b64encode(text).decode() if encoding == "base64" else text.decode()
    return {"key": "file", "value": {"path": path, "content": content, "encoding": encoding}}


def lfs_file(path, data=None, oid=None, size=None):
    value = {"path": path, "algo": "sha256", "oid": oid or hashlib.sha256(data).hexdigest()}
    if data is not None or size is not None:
        value["size"] = len(data) if data is not None else size
    return {"key": "lfsFile", "value": value}


def batch(h, objects, token=WRITE, repo=PLAY, prefix="", transfers=("basic", "multipart"), ref="main"):
    body = {"operation": "upload", "transfers": list(transfers), "hash_algo": "sha256",
            "objects": [{"oid": o, "size": n} for o, n in objects]}
    if ref:
        body["ref"] = {"name": ref}
    status, hdrs, answer = send_json(f"{h.base}{prefix}/{repo}.git/info/lfs/objects/batch", body, token,
                                     "application/vnd.git-lfs+json")
    return status, hdrs, answer


def upload(h, data, repo=PLAY, token=WRITE):
    """Uploads bytes as an LFS object the way the clients do; answers its oid."""
    oid = hashlib.sha256(data).hexdigest()
    status, _, answer = batch(h, [(oid, len(data))], token, repo)
    check(status == 200, f"batch for an upload: {status} {answer}")
    action = answer["objects"][0].get("actions", {}).get("upload")
    if action is None:
        return oid
    head = action.get("header", {})
    if "chunk_size" in head:
        size = int(head["chunk_size"])
        parts = []
        for key in sorted(k for k in head if k.isdigit()):
            n = int(key)
            status, hdrs, _ = send(head[key], data[(n - 1) * size:n * size], method="PUT")
            check(status == 200, f"part {n}: {status}")
            parts.append({"partNumber": n, "etag": hdrs["etag"]})
        status, _, answer = send_json(action["href"], {"oid": oid, "parts": parts})
        check(status == 200, f"completion: {status} {answer}")
    else:
        status, _, body = send(action["href"], data, method="PUT")
        check(status == 200, f"basic upload: {status} {body}")
    return oid


def head_sha(h, repo=PLAY, kind="models", ref="main"):
    return api_json(h, f"/api/{kind}/{repo}/revision/{quote(ref, safe='')}?expand=sha", WRITE)[2]["sha"]


def tree(h, repo=PLAY, rev="main", kind="models"):
    url = f"{h.base}/api/{kind}/{repo}/tree/{quote(rev, safe='')}?recursive=true&expand=true"
    return {i["path"]: i for body, _ in pages(url, WRITE) for i in body}


def test_patterns():
    """Which paths a `.gitattributes` sends to LFS and a `.gitignore` leaves out, as git reads them."""
    default = "*.bin filter=lfs diff=lfs merge=lfs -text\nsaved_model/**/* filter=lfs -text\n*.lfs.* filter=lfs\n"
    for attrs, path, want in [
            (default, "x.bin", True), (default, "deep/er/x.bin", True), (default, "x.bin.txt", False),
            (default, "saved_model/a/b/c.txt", True), (default, "saved_model.txt", False),
            (default, "a/saved_model/b.txt", False), (default, "w.lfs.txt", True),
            ("data/*.csv filter=lfs\n", "data/a.csv", True), ("data/*.csv filter=lfs\n", "data/x/a.csv", False),
            ("data/*.csv filter=lfs\n", "other/data/a.csv", False), ("/top.txt filter=lfs\n", "top.txt", True),
            ("/top.txt filter=lfs\n", "a/top.txt", False), ("*.bin filter=lfs\nkeep.bin -filter\n", "keep.bin", False),
            ("*.bin filter=lfs\nkeep.bin !filter\n", "a/keep.bin", False),
            ("*.bin filter=lfs\n*.bin filter=xz\n", "a.bin", False),
            ("# *.txt filter=lfs\n", "a.txt", False), ("w[0-9].pt filter=lfs\n", "w7.pt", True),
            ("w[!0-9].pt filter=lfs\n", "w7.pt", False), ("?.bin filter=lfs\n", "ab.bin", False),
            ("**/logs/** filter=lfs\n", "a/logs/b/c", True), ('"with space.bin" filter=lfs\n', "with space.bin", True),
            ("dir/ filter=lfs\n", "dir", False), ("", "x.bin", False)]:
        check(lfs_tracked(attrs, path) == want, f"attributes {attrs!r} on {path}: not {not want}")
    for rules, path, want in [("*.tmp\n", "a/b.tmp", True), ("logs/\n", "logs/x.txt", True),
                              ("logs/\n", "logs", False), ("*.tmp\n!keep.tmp\n", "keep.tmp", False),
                              ("build/\n!build/x\n", "build/x", True), ("/root.txt\n", "a/root.txt", False),
                              ("a/**/z\n", "a/b/c/z", True), ("", "x", False)]:
        check(ignored(rules, path) == want, f"gitignore {rules!r} on {path}: not {not want}")
    # The line a commit adds tracks its path and no other, whatever characters the path holds.
    for path in ["blob/big.dat", "with space/a b.dat", "odd[1]*?.dat", "#hash.dat", "!bang.dat", "back\\slash.dat"]:
        line = lfs_line(path)
        check(lfs_tracked(line, path) and not lfs_tracked(line, path + "x") and
              not lfs_tracked(line, "other/" + path.rsplit("/", 1)[-1] + "2"), f"the added line {line!r} tracks {path}")


def test_preupload(h):
    """Which files go to LFS, the ids of what paths hold now, what .gitignore leaves out, and who is
    refused before anything is sent."""
    nul = b"\0" + b"x" * 511
    cases = [("notes.txt", 5, b"hello", "regular"), ("x.bin", 10, b"0123456789", "lfs"),
             ("empty.bin", 0, b"", "regular"), ("big.txt", (10 << 20) + 1, b"a" * 512, "lfs"),
             ("edge.txt", 10 << 20, b"a" * 512, "regular"), ("bin.dat", 10 ** 6 + 1, nul, "lfs"),
             ("bin-small.dat", 10 ** 6, nul, "regular"), ("saved_model/v1/vars.txt", 3, b"abc", "lfs"),
             ("README.md", 10, b"# new one\n", "regular")]
    status, _, answer = preupload(h, [(p, n, s) for p, n, s, _ in cases])
    check(status == 200, f"preupload: {status} {answer}")
    got = {f["path"]: f for f in answer["files"]}
    for p, _, _, mode in cases:
        check(got[p]["uploadMode"] == mode and got[p]["shouldIgnore"] is False, f"{p}: {got[p]}")
    readme = follow(f"{h.base}/{PLAY}/resolve/main/README.md")[2]
    check(got["README.md"]["oid"] == git_oid(readme) and got["notes.txt"]["oid"] is None,
          "oid: the blob id of the file at the path, null where none is")
    # A read-only caller asks for a pull request: an LFS file's oid is its sha256.
    status, _, answer = preupload(h, [("weights.safetensors", 1, b"x"), ("README.md", 1, b"x")], GOOD,
                                  "files-org/basic", query="?create_pr=1")
    lfs_oid = tree(h, "files-org/basic")["weights.safetensors"]["lfs"]["oid"]
    check(status == 200 and [f["oid"] for f in answer["files"]] ==
          [lfs_oid, git_oid(b"# basic\n\nA small test model.\n")], f"create_pr preupload: {answer}")
    status, _, answer = preupload(h, [("a.txt", 3, b"abc"), ("x.bin", 3, b"abc"), ("logs/1.txt", 1, b"a"),
                                      ("c.tmp", 1, b"a"), ("keep.tmp", 1, b"a")],
                                  extra={"gitAttributes": "*.txt filter=lfs\n", "gitIgnore": "logs/\n*.tmp\n!keep.tmp\n"})
    modes = [(f["uploadMode"], f["shouldIgnore"]) for f in answer["files"]]
    check(modes == [("lfs", False), ("regular", False), ("lfs", True), ("regular", True), ("regular", False)],
          f"the sent .gitattributes and .gitignore decide: {modes}")
    status, _, answer = preupload(h, [(f"many/{i}.txt", 1, b"a") for i in range(256)])
    check(status == 200 and len(answer["files"]) == 256, "256 files in one call")
    check(preupload(h, [(f"many/{i}.txt", 1, b"a") for i in range(1001)])[0] == 413, "1001 files refused")
    refusals = [
        (dict(token=GOOD), 403, None, NO_PERMISSION),
        (dict(token=None), 401, None, "Invalid username or password."),
        (dict(token="hf_bogus"), 401, None, "Invalid credentials in Authorization header"),
        (dict(repo="write-org/nope"), 404, "RepoNotFound", None),
        (dict(repo="write-org/private-sink", token=NOGRANT), 404, "RepoNotFound", None),
        (dict(repo="write-org/private-sink", token=None), 401, None, None),
        (dict(token=NOGRANT), 403, None, NO_PERMISSION),
        (dict(rev="nope"), 404, "RevisionNotFound", "Invalid rev id: nope"),
        (dict(rev="v1.0"), 404, "RevisionNotFound", "Invalid rev id: v1.0"),
        (dict(repo="rev-org/checkpoints", rev="v1.0", token=GOOD, query="?create_pr=1"), 404, "RevisionNotFound", None),
        (dict(repo="rev-org/checkpoints", rev="refs/pr/1", token=GOOD, query="?create_pr=1"), 404,
         "RevisionNotFound", None),
        (dict(files=[("../x", 1, b"a")]), 422, None, None), (dict(files=[("/abs.txt", 1, b"a")]), 422, None, None),
        (dict(files=[("a/.git/config", 1, b"a")]), 422, None, None), (dict(files=[("..\\ddd", 1, b"a")]), 422, None, None),
        (dict(files=[("a//b", 1, b"a")]), 422, None, None)]
    for kw, status_want, code, msg in refusals:
        files = kw.pop("files", [("ok.txt", 1, b"a")])
        status, hdrs, answer = preupload(h, files, **kw)
        check(status == status_want and hdrs.get("x-error-code") == code and
              (msg is None or answer["error"] == msg == hdrs["x-error-message"]),
              f"preupload {kw} {files[0][0]}: {status} {hdrs.get('x-error-code')} {answer}")
    sha = head_sha(h, "rev-org/checkpoints")
    check(preupload(h, [("a", 1, b"a")], GOOD, "rev-org/checkpoints", sha, "?create_pr=1")[0] == 404,
          "a pull request against a commit sha")
    for body in [b"{", b'{"files": [{"path": "a", "size": -1, "sample": ""}]}', b'{"files": [{"path": "a"}]}',
                 b'{"files": [{"path": "a", "size": 1, "sample": "%%%"}]}']:
        check(send(f"{h.base}/api/models/{PLAY}/preupload/main", body, WRITE)[0] == 400, f"body {body} refused")


def test_uploads(h):
    """The LFS batch, uploads whole and in parts, what the storage host and the completion check,
    and an upload cut off part-way."""
    state = json.loads(request(f"{h.base}/__admin/storage?part_size=1000&multipart_threshold=2500")[2])
    check(state == {"upload_rate": 0, "part_size": 1000, "multipart_threshold": 2500}, f"storage settings {state}")
    check(request(f"{h.base}/__admin/storage?part_size=0")[0] == 400 and
          request(f"{h.base}/__admin/storage?chunk=1")[0] == 400, "bad storage settings refused")
    try:
        small, large = b"small object\n", bytes(i % 253 for i in range(2600))
        so, lo = hashlib.sha256(small).hexdigest(), hashlib.sha256(large).hexdigest()
        status, hdrs, answer = batch(h, [(so, len(small)), (lo, len(large)), ("X" * 64, 1), (so, -1)])
        check(status == 200 and hdrs["content-type"] == "application/vnd.git-lfs+json"
              and answer["transfer"] == "multipart", f"batch: {status} {hdrs.get('content-type')} {answer}")
        basic, multi, bad_oid, bad_size = answer["objects"]
        check(basic["actions"]["upload"]["href"].startswith(h.base2 + "/lfs/models/write-org/playground/" + so) and
              "header" not in basic["actions"]["upload"] and basic["actions"]["verify"]["href"].startswith(h.base),
              f"a small object goes whole to the storage host: {basic}")
        head = multi["actions"]["upload"]["header"]
        keys = sorted(k for k in head if k != "chunk_size")
        check(head["chunk_size"] == "1000" and keys == ["00001", "00002", "00003"] and
              all(head[k].startswith(h.base2 + "/lfs-part/") for k in keys) and
              multi["actions"]["upload"]["href"].startswith(h.base + "/api/complete_multipart?uploadId="),
              f"a large one in parts of chunk_size, completed on the hub: {multi}")
        check(bad_oid["error"]["code"] == 422 and bad_size["error"]["code"] == 422 and "actions" not in bad_oid,
              f"bad oid and size are errors: {bad_oid} {bad_size}")
        _, _, plain = batch(h, [(lo, len(large))], transfers=["basic"])
        check("header" not in plain["objects"][0]["actions"]["upload"] and plain["transfer"] == "basic",
              "a client that offers no multipart gets a whole upload")
        put = basic["actions"]["upload"]["href"]
        for url, body, kw, want in [(put, b"other bytes!\n", {}, 400), (put, small[:-1], {}, 400),
                                    (put.replace("X-Amz-Signature=", "X-Amz-Signature=0"), small, {}, 403),
                                    (put.replace(f"size={len(small)}", f"size={len(small) + 1}"), small, {}, 403),
                                    (put, small, {"chunked": True}, 501), (put, b"", {}, 501)]:
            status, _, answer = send(url, body, method="PUT", **kw)
            check(status == want and answer.startswith(b"<?xml"),
                  f"storage PUT refused with {want}: {status} {answer[:90]}")
        check("actions" in batch(h, [(so, len(small))])[2]["objects"][0], "nothing refused was stored")
        status, hdrs, _ = send(put, small, method="PUT")
        check(status == 200 and hdrs["etag"] == f'"{hashlib.md5(small).hexdigest()}"' and "ratelimit" not in hdrs,
              f"a whole upload: 200 with its MD5 as ETag {hdrs}")
        check(batch(h, [(so, len(small))])[2]["objects"][0] == {"oid": so, "size": len(small)},
              "a stored object answers without actions")
        check(batch(h, [(so, len(small))], repo="write-org/data-sink", prefix="/datasets")[2]["objects"][0].get("actions"),
              "another repository has not got it")
        verify = basic["actions"]["verify"]["href"]
        check(send_json(verify, {"oid": so, "size": len(small)}, WRITE)[0] == 200 and
              send_json(verify, {"oid": lo, "size": len(large)}, WRITE)[0] == 404, "verify: stored or not")
        # Parts: each answers its MD5; the completion checks each part's ETag and the whole's hash.
        parts, etags = [head[k] for k in keys], []
        for i, url in enumerate(parts):
            status, hdrs, _ = send(url, large[i * 1000:(i + 1) * 1000], method="PUT")
            etags.append(hdrs.get("etag"))
            check(status == 200 and hdrs["etag"] == f'"{hashlib.md5(large[i * 1000:(i + 1) * 1000]).hexdigest()}"',
                  f"part {i + 1}: {status} {hdrs}")
        done = multi["actions"]["upload"]["href"]
        ok = [{"partNumber": n + 1, "etag": e} for n, e in enumerate(etags)]
        for body, want in [({"oid": lo, "parts": ok[:2]}, 400), ({"oid": lo, "parts": ok[::-1]}, 400),
                           ({"oid": lo, "parts": [ok[0], dict(ok[1], etag='"0"'), ok[2]]}, 400),
                           ({"oid": so, "parts": ok}, 400), ({"parts": ok}, 400)]:
            check(send_json(done, body)[0] == want, f"completion refused: {body}")
        check(send_json(done.replace("uploadId=", "uploadId=0"), {"oid": lo, "parts": ok})[0] == 403,
              "a completion without its own credentials")
        send(parts[1], large[:1000], method="PUT")     # a part sent again with other bytes replaces the first
        fixed = send_json(done, {"oid": lo, "parts": ok})
        check(fixed[0] == 400 and "ETag" in fixed[2]["error"], f"the replaced part's ETag no longer matches: {fixed}")
        wrong = dict(ok[1], etag=f'"{hashlib.md5(large[:1000]).hexdigest()}"')
        status, _, answer = send_json(done, {"oid": lo, "parts": [ok[0], wrong, ok[2]]})
        check(status == 400 and "do not make" in answer["error"] and
              "actions" in batch(h, [(lo, len(large))])[2]["objects"][0],
              f"parts that do not hash to the oid make no object: {answer}")
        send(parts[1], large[1000:2000], method="PUT")
        check(send_json(done, {"oid": lo, "parts": ok})[0] == 200 and send_json(done, {"oid": lo, "parts": ok})[0] == 200,
              "completed, and a completion sent again finds it made")
        check(batch(h, [(lo, len(large))])[2]["objects"][0] == {"oid": lo, "size": len(large)}, "the large object stored")
        # The hub gone mid-upload: the storage host hangs up after N bytes and keeps nothing.
        cut = bytes(range(256)) * 8
        co = hashlib.sha256(cut).hexdigest()
        request(h.base + "/__admin/reset")
        _, _, answer = batch(h, [(co, len(cut))], prefix="/__fault/cut_upload=1000:1")
        url = answer["objects"][0]["actions"]["upload"]["href"]
        check(url.startswith(h.base2 + "/__fault/cut_upload=1000:1/lfs/"), f"the upload address keeps the fault: {url}")
        first, second = send(url, cut, method="PUT"), send(url, cut, method="PUT")
        log = [e for e in json.loads(request(h.base + "/__admin/log")[2]) if e["method"] == "PUT"]
        check(first[0] == 0 and second[0] == 200 and [(e["status"], e["body"]) for e in log] ==
              [(0, {"bytes": 1000}), (200, {"bytes": len(cut)})], f"cut once, then whole: {log}")
        paced = bytes(range(200)) * 10
        _, _, answer = batch(h, [(hashlib.sha256(paced).hexdigest(), len(paced))], prefix="/__fault/rate=1000000")
        status, _, _ = send(answer["objects"][0]["actions"]["upload"]["href"], paced, method="PUT")
        check(status == 200 and batch(h, [(hashlib.sha256(paced).hexdigest(), len(paced))])[2]["objects"][0].get("actions")
              is None, "an upload read at a capped pace is kept whole")
    finally:
        request(f"{h.base}/__admin/storage?part_size={100 << 20}&multipart_threshold={100 << 20}")


def test_commit_api(h):
    """Commits through the API: each kind of line, the trees and downloads that follow, .gitattributes
    kept tracking LFS files, copies by oid, pull requests, and the hub's refusals."""
    before = head_sha(h)
    weights = bytes(range(256)) * 40
    oid = upload(h, weights)
    status, _, answer = commit_lines(h, [
        header("Add some files"), text_file("docs/a.txt", b"alpha\n"), text_file("docs/u.txt", b"utf\n", "utf-8"),
        text_file("docs/deep/er/b.txt", b"beta\n"), lfs_file("w/model.safetensors", weights),
        lfs_file("blob/raw.dat", weights)], newline=False)
    made = answer["commitOid"]
    check(status == 200 and re.fullmatch("[0-9a-f]{40}", made) and
          answer == {"commitOid": made, "commitUrl": f"{h.base}/{PLAY}/commit/{made}"}, f"commit: {status} {answer}")
    items, info = tree(h), api_json(h, f"/api/models/{PLAY}?expand=sha&expand=lastModified", WRITE)[2]
    check(info["sha"] == made and items["docs/a.txt"]["lastCommit"]["id"] == made and
          items["docs/a.txt"]["lastCommit"]["title"] == "Add some files" and
          items["docs/a.txt"]["lastCommit"]["date"] == info["lastModified"] and
          items["docs"]["lastCommit"]["id"] == made, f"main moved, its tree names the commit: {info}")
    pointer = len(fakehub.lfs_pointer_bytes(oid, len(weights)))
    check(items["w/model.safetensors"]["lfs"] == {"oid": oid, "size": len(weights), "pointerSize": pointer} and
          items["docs/u.txt"]["oid"] == git_oid(b"utf\n") and "lfs" not in items["docs/a.txt"], "hashes of what was sent")
    check(download(h, PLAY, "blob/raw.dat")[2] == weights and download(h, PLAY, "docs/deep/er/b.txt")[2] == b"beta\n",
          "downloads serve the new files")
    attributes = download(h, PLAY, ".gitattributes")[2].decode()
    check(attributes.endswith("*tfevents* filter=lfs diff=lfs merge=lfs -text\n"
                              "blob/raw.dat filter=lfs diff=lfs merge=lfs -text\n") and
          attributes.count("model.safetensors") == 0, "the commit tracks an LFS file its patterns miss, once")
    # Copies by oid (a rename with the old path deleted), and deletions of files and folders.
    status, _, answer = commit_lines(h, [header("Move", parentCommit=made), lfs_file("w/renamed.safetensors", oid=oid),
                                         {"key": "deletedFile", "value": {"path": "w/model.safetensors"}},
                                         {"key": "deletedFolder", "value": {"path": "docs/deep/"}},
                                         {"key": "deletedFile", "value": {"path": "docs/u.txt"}}])
    items = tree(h)
    check(status == 200 and "w/model.safetensors" not in items and items["w/renamed.safetensors"]["lfs"]["oid"] == oid
          and not any(p.startswith("docs/deep") for p in items) and sorted(p for p in items if p.startswith("docs")) ==
          ["docs", "docs/a.txt"], f"copy, delete and a folder's whole depth gone: {answer} {sorted(items)}")
    check(follow(f"{h.base}/{PLAY}/resolve/{made}/docs/deep/er/b.txt")[2] == b"beta\n", "the earlier commit keeps them")
    stray = upload(h, b"uploaded, never committed\n")
    moved = head_sha(h)
    for lines, want, code in [
            ([header("x", parentCommit=before), text_file("c.txt", b"c")], 412, None),
            ([header("x", parentCommit="zz"), text_file("c.txt", b"c")], 400, None),
            ([header("x"), {"key": "deletedFile", "value": {"path": "absent.txt"}}], 404, "EntryNotFound"),
            ([header("x"), {"key": "deletedFolder", "value": {"path": "docs/a.txt"}}], 404, "EntryNotFound"),
            ([header("x"), text_file("big.txt", b"a" * ((10 << 20) + 1))], 400, None),
            ([header("x"), text_file("bin.dat", b"\0" * (10 ** 6 + 1))], 400, None),
            ([header("x"), text_file("../up.txt", b"c")], 422, None), ([header("x"), text_file("/abs", b"c")], 422, None),
            ([header("x"), text_file(".git/hooks/x", b"c")], 422, None), ([text_file("c.txt", b"c")], 400, None),
            ([header(""), text_file("c.txt", b"c")], 400, None),
            ([header("x"), {"key": "file", "value": {"path": "c.txt", "content": "Yw=="}}], 400, None),
            ([header("x"), {"key": "file", "value": {"path": "c.txt", "content": "Yw==", "encoding": "base64",
                                                     "oldPath": "docs/a.txt"}}], 400, None),
            ([header("x"), lfs_file("c.bin", b"never uploaded")], 400, None),
            ([header("x"), lfs_file("c.bin", oid=stray)], 400, None),
            ([header("x"), lfs_file("c.bin", oid=oid, size=1)], 400, None),
            ([header("x"), {"key": "renamedFile", "value": {"path": "c.txt"}}], 400, None),
            ([header("x"), text_file("twice.txt", b"1"), text_file("twice.txt", b"2")], 400, None)]:
        status, hdrs, answer = commit_lines(h, lines)
        check(status == want and hdrs.get("x-error-code") == code and answer["error"] == hdrs["x-error-message"],
              f"commit refused with {want}: {status} {answer} for {json.dumps(lines)[:160]}")
        if want == 412:
            check(answer["error"] == CONFLICT, f"the conflict's message: {answer}")
    check(head_sha(h) == moved, "refused commits move nothing")
    check(commit_lines(h, [header("x"), lfs_file("kept.bin", oid=stray, size=len(b"uploaded, never committed\n"))])[0]
          == 200, "an uploaded object commits with its size")
    for kw, want, code in [(dict(token=GOOD), 403, None), (dict(token=None), 401, None),
                           (dict(repo="write-org/nope"), 404, "RepoNotFound"),
                           (dict(rev="nope"), 404, "RevisionNotFound"), (dict(rev="v1.0"), 404, "RevisionNotFound"),
                           (dict(rev="refs/tags/v1.0"), 404, "RevisionNotFound"),
                           (dict(rev=head_sha(h)), 404, "RevisionNotFound"),
                           (dict(repo="rev-org/checkpoints", token=GOOD, rev="v1.0", query="?create_pr=1"), 404,
                            "RevisionNotFound"),
                           (dict(repo="rev-org/checkpoints", token=GOOD, rev=head_sha(h, "rev-org/checkpoints"),
                                 query="?create_pr=1"), 404, "RevisionNotFound")]:
        status, hdrs, answer = commit_lines(h, [header("x"), text_file("c.txt", b"c")], **kw)
        check(status == want and hdrs.get("x-error-code") == code, f"commit {kw}: {status} {answer}")
        if want == 403:
            check(answer["error"] == NO_PERMISSION, f"the message names create_pr: {answer}")
    # Datasets and Spaces answer their own addresses.
    for kind, repo, page in [("datasets", "write-org/data-sink", "datasets/"), ("spaces", "write-org/site", "spaces/")]:
        status, _, answer = commit_lines(h, [header("Add"), text_file("new.txt", b"n\n")], repo=repo, kind=kind)
        check(status == 200 and answer["commitUrl"] == f"{h.base}/{page}{repo}/commit/{answer['commitOid']}" and
              download(h, repo, "new.txt", kind=page)[2] == b"n\n", f"{kind}: {answer}")


def test_pull_requests(h):
    """create_pr opens refs/pr/N from the branch (or parentCommit) and leaves the branch alone; the
    pull request's ref takes commits of its own."""
    main = head_sha(h)
    status, _, first = commit_lines(h, [header("Propose"), text_file("proposal.txt", b"p1\n")], GOOD, query="?create_pr=1")
    listed = api_json(h, f"/api/models/{PLAY}/refs?include_prs=1", WRITE)[2]["pullRequests"]
    refs = {r["ref"]: r["targetCommit"] for r in listed}
    number = int(first["pullRequestUrl"].rsplit("/", 1)[1])
    check(status == 200 and first["pullRequestUrl"] == f"{h.base}/{PLAY}/discussions/{number}" and
          refs[f"refs/pr/{number}"] == first["commitOid"] and head_sha(h) == main, f"a pull request: {first} {refs}")
    pr = f"refs/pr/{number}"
    check(tree(h, rev=pr)["proposal.txt"]["lastCommit"]["id"] == first["commitOid"] and "proposal.txt" not in tree(h) and
          follow(f"{h.base}/{PLAY}/resolve/{quote(pr, safe='')}/proposal.txt")[2] == b"p1\n", "its tree and bytes")
    status, _, more = commit_lines(h, [header("More"), text_file("proposal.txt", b"p2\n")], rev=pr)
    check(status == 200 and head_sha(h, ref=pr) == more["commitOid"] and "pullRequestUrl" not in more,
          f"a commit on the pull request's ref: {more}")
    check(commit_lines(h, [header("x"), text_file("a", b"a")], GOOD, rev=pr)[0] == 403,
          "a read token commits to no ref")
    commit_lines(h, [header("Move main"), text_file("moved.txt", b"m\n")])
    status, _, second = commit_lines(h, [header("From old", parentCommit=main), text_file("late.txt", b"l\n")],
                                     GOOD, query="?create_pr=1")
    check(status == 200 and second["pullRequestUrl"].endswith(f"/discussions/{number + 1}") and
          "moved.txt" not in tree(h, rev=f"refs/pr/{number + 1}"), f"a pull request from an older commit: {second}")


def test_commit_limits_and_faults(h):
    """The commit quota per token, and commits the hub fails before or after making them."""
    try:
        request(f"{h.base}/__admin/limits?commits=2&commit_window=3600")
        answers = [commit_lines(h, [header(f"q{i}"), text_file("quota.txt", b"%d" % i)]) for i in range(3)]
        status, hdrs, answer = answers[2]
        check([a[0] for a in answers[:2]] == [200, 200] and status == 429 and answer["error"] ==
              "You have exceeded our hourly quotas for action: commit. We invite you to retry later." and
              int(hdrs["retry-after"]) > 3000, f"the third commit of two an hour: {status} {answer} {hdrs}")
        check(commit_lines(h, [header("other"), text_file("q.txt", b"q")], GOOD, query="?create_pr=1")[0] == 200,
              "another token has its own quota")
    finally:
        request(f"{h.base}/__admin/limits?lift=true")
    request(h.base + "/__admin/reset")
    before = head_sha(h)
    url = f"{h.base}/__fault/fail_commit=503:1/api/models/{PLAY}/commit/main"
    body = (json.dumps(header("Flaky")) + "\n" + json.dumps(text_file("flaky.txt", b"f\n"))).encode()
    first = send(url, body, WRITE)
    check(first[0] == 503 and head_sha(h) == before, "answered 503 without a commit")
    second = send(url, body, WRITE)
    check(second[0] == 200 and head_sha(h) == json.loads(second[2])["commitOid"], "the next one goes through")
    made = head_sha(h)
    lost = (json.dumps(header("Lost", parentCommit=made)) + "\n" + json.dumps(text_file("lost.txt", b"l\n"))).encode()
    late = send(f"{h.base}/__fault/fail_after_commit=500/api/models/{PLAY}/commit/main", lost, WRITE)
    log = [e for e in json.loads(request(h.base + "/__admin/log")[2]) if e["path"].endswith("/commit/main")]
    check(late[0] == 500 and head_sha(h) != made and log[-1]["body"]["commit"] == head_sha(h) and
          "lost.txt" in tree(h), f"answered 500 after committing: the log names the commit {log[-1]}")
    retry = send(f"{h.base}/api/models/{PLAY}/commit/main", lost, WRITE)
    check(retry[0] == 412, "the client's retry with the same parent meets the commit it made")
    check(log[0]["body"]["lines"] == [header("Flaky"), {"key": "file", "value": {
        "path": "flaky.txt", "encoding": "base64", "content_bytes": 2}}] and "commit" not in log[0]["body"],
        f"the log keeps each line without the file's bytes: {log[0]['body']}")


def test_unread_bodies(h):
    """Regression: a refusal answered before the body was read reset the connection, and the client
    lost the answer (a 405 to a POST, a 403 to a commit)."""
    body = b"x" * (8 << 20)
    check(send(f"{h.base}/api/models", body, WRITE)[0] == 405, "a POST to a read route: its 405 arrives")
    status, hdrs, _ = send(f"{h.base}/api/models/{PLAY}/commit/main", body, GOOD)
    check(status == 403 and hdrs["x-error-message"] == NO_PERMISSION, f"a refused commit's answer arrives: {status}")


TESTS = [test_unread_bodies, test_preupload, test_uploads, test_commit_api, test_pull_requests,
         test_commit_limits_and_faults]
