"""The write API on the hub: who may write, preupload (which files go to LFS), and the NDJSON commit
with its files, LFS files, deletions and pull requests, refused as the hub refuses."""

import base64
import binascii
import json
import re
import time
from email.utils import formatdate

from hub.access import access, renamed
from hub.commits import CommitError, apply_commit
from hub.content import Content
from hub.faults import fault_status, pair_fault
from hub.patterns import ignored, lfs_line, lfs_tracked
from hub.request import BodyError, read_body
from hub.responses import error_resp, json_resp
from hub.scenario import Token
from hub.trees import FileNode
from hub.uploads import NO_PERMISSION, OID

REGULAR_MAX = 10 << 20          # a git-stored file above this is refused; preupload sends it to LFS
BINARY_REGULAR_MAX = 10 ** 6    # binary content above this goes to LFS too
SAMPLE = 512                    # what preupload sees of a file, and what decides "binary" here too
PREUPLOAD_MAX = 1000            # files a preupload call takes (the hub's own limit is not known)
COMMIT_BODY_MAX = 1 << 30
# The hub's text as far as it is known; the binary one is ours, in its form.
TOO_LARGE = ("Your push was rejected because it contains files larger than 10 MiB. Please use "
             "https://git-lfs.github.com/ to store large files.")
BINARY = ("Your push was rejected because it contains binary files. Please use "
          "https://git-lfs.github.com/ to store binary files.")
COMMIT_QUOTA = "You have exceeded our hourly quotas for action: commit. We invite you to retry later."
PARENT = re.compile(r"[0-9a-f]{5,40}")


def bad_path(path):
    """Why the hub refuses a path in a repository, or None: it must be relative and stay inside, and
    `.git` is git's own (a client strips a leading "/" and "./" before it sends a path)."""
    if not isinstance(path, str) or not path:
        return "a path is a non-empty string"
    if path.startswith("/"):
        return f"Invalid path {path!r}: it must be relative to the repository"
    if "\0" in path:
        return f"Invalid path {path!r}"
    for seg in re.split(r"[/\\]", path):
        if seg in ("", ".", ".."):
            return f"Invalid path {path!r}: no empty, '.' or '..' segment"
        if seg == ".git":
            return f"Invalid path {path!r}: '.git' is reserved"
    return None


def write_target(c, kind, repo_id, rev):
    """(repo, ref) a write goes to, or the hub's refusal: the read rules first (a repository the caller
    cannot see is missing), then a key, then write permission unless create_pr opens a pull request;
    without create_pr the ref is a branch or a pull request's, with it a branch."""
    repo = c.hub.repos.get((kind, repo_id))
    refusal = renamed(c, repo) or access(c, repo, repo_id, gate=False)
    if refusal:
        return None, None, refusal
    if not isinstance(c.auth, Token):
        return None, None, error_resp(401, "Invalid username or password.", True, www=True)
    create_pr = c.param("create_pr", "") not in ("", "0", "false", "False")
    if not create_pr and not c.auth.can_write(repo):
        return None, None, error_resp(403, NO_PERMISSION, True)
    for full in (rev, "refs/heads/" + rev):
        if full in repo.refs and (full.startswith("refs/heads/") or
                                  (full.startswith("refs/pr/") and not create_pr)):
            return repo, full, None
    return None, None, error_resp(404, f"Invalid rev id: {rev}", True, code="RevisionNotFound")


def _file_text(commit, path):
    node = commit.file(path) if commit is not None else None
    return node.content.read(0, node.content.size).decode("utf-8", "replace") if node else ""


def preupload(c, kind, repo_id, rev):
    """POST /api/KIND/O/N/preupload/REV: per file, "lfs" or "regular", whether the revision's (or the
    sent) .gitignore leaves it out, and the id of what that path holds now."""
    repo, ref, refusal = write_target(c, kind, repo_id, rev)
    if refusal:
        return refusal
    try:
        req = json.loads(read_body(c, 64 << 20))
        files = req["files"]
        if not isinstance(files, list) or not all(
                isinstance(f, dict) and isinstance(f.get("path"), str) and isinstance(f.get("sample"), str)
                and isinstance(f.get("size"), int) and not isinstance(f.get("size"), bool) and f["size"] >= 0
                for f in files):
            raise ValueError
        samples = [base64.b64decode(f["sample"], validate=True) for f in files]
        for key in ("gitAttributes", "gitIgnore"):
            if not isinstance(req.get(key, ""), (str, type(None))):
                raise ValueError
    except (ValueError, KeyError, TypeError, binascii.Error):
        return error_resp(400, "The body is {files: [{path, size, sample}], gitAttributes?, gitIgnore?}", True)
    except BodyError as e:
        return error_resp(e.status, e.message, True)
    c.log_body = {k: v for k, v in req.items() if k != "files"}
    c.log_body["files"] = [{"path": f["path"], "size": f["size"], "sample_bytes": len(s)}
                           for f, s in zip(files, samples)]
    if len(files) > PREUPLOAD_MAX:
        return error_resp(413, f"At most {PREUPLOAD_MAX} files a call", True)
    for f in files:
        why = bad_path(f["path"])
        if why:
            return error_resp(422, why, True)
    head = repo.refs[ref]
    attributes = req.get("gitAttributes")
    attributes = attributes if attributes is not None else _file_text(head, ".gitattributes")
    gitignore = req.get("gitIgnore")
    gitignore = gitignore if gitignore is not None else _file_text(head, ".gitignore")
    out = []
    for f, sample in zip(files, samples):
        size, path = f["size"], f["path"]
        lfs = size > 0 and (lfs_tracked(attributes, path) or size > REGULAR_MAX
                            or (b"\0" in sample and size > BINARY_REGULAR_MAX))
        node = head.file(path) if head.raw is None else None
        oid = (node.lfs_oid() if node.lfs else node.oid()) if node is not None else None
        out.append({"path": path, "uploadMode": "lfs" if lfs else "regular",
                    "shouldIgnore": ignored(gitignore, path), "oid": oid})
    return json_resp({"files": out})


def _parse_commit(c, body):
    """The header and the operations of an NDJSON commit body, or raises CommitError (400)."""
    lines = [ln for ln in body.split(b"\n") if ln.strip()]
    try:
        items = [json.loads(ln) for ln in lines]
    except ValueError:
        raise CommitError(400, "Each line of the body is a JSON object")
    c.log_body = {"lines": [_loggable(x) for x in items]}
    if not items or not isinstance(items[0], dict) or items[0].get("key") != "header":
        raise CommitError(400, "The first line is the header")
    header = items[0].get("value")
    if not isinstance(header, dict) or not isinstance(header.get("summary"), str) or not header["summary"].strip():
        raise CommitError(400, "The header needs a summary")
    if not isinstance(header.get("description", ""), str):
        raise CommitError(400, "The description is a string")
    parent = header.get("parentCommit")
    if parent is not None and (not isinstance(parent, str) or not PARENT.fullmatch(parent)):
        raise CommitError(400, f"Invalid parentCommit {parent!r}")
    ops = []
    for item in items[1:]:
        value = item.get("value") if isinstance(item, dict) else None
        key = item.get("key") if isinstance(item, dict) else None
        if key not in ("file", "lfsFile", "deletedFile", "deletedFolder") or not isinstance(value, dict):
            raise CommitError(400, f"Unknown line {json.dumps(item)[:200]}")
        path = value.get("path")
        if key == "deletedFolder" and isinstance(path, str):
            path = path.rstrip("/")
        why = bad_path(path)
        if why:
            raise CommitError(422, why)
        if "oldPath" in value:
            raise CommitError(400, "oldPath: renames on the hub are not taken; copy and delete")
        ops.append((key, path, value))
    return header, ops


def _loggable(item):
    """A commit line as the request log keeps it: file contents replaced by their size."""
    if not isinstance(item, dict) or not isinstance(item.get("value"), dict):
        return item
    value = dict(item["value"])
    if isinstance(value.get("content"), str):
        content = value.pop("content")
        try:
            value["content_bytes"] = len(_decode(value.get("encoding"), content))
        except (ValueError, binascii.Error):
            value["content_bytes"] = None
    return {"key": item.get("key"), "value": value}


def _decode(encoding, content):
    if encoding == "base64":
        return base64.b64decode(content, validate=True)
    if encoding == "utf-8":
        return content.encode("utf-8")
    raise ValueError(f"encoding {encoding!r} is none of base64, utf-8")


def _operations(c, repo, ops):
    """The commit's changes as apply_commit takes them, each file's content checked; and the paths
    of its LFS files."""
    storage, out, lfs_paths = c.hub.storage, [], []
    for key, path, value in ops:
        if key == "deletedFile":
            out.append(("delete", path))
        elif key == "deletedFolder":
            out.append(("delete_folder", path))
        elif key == "file":
            try:
                data = _decode(value.get("encoding"), value.get("content"))
            except (ValueError, TypeError, binascii.Error) as e:
                raise CommitError(400, f"{path}: {e}")
            if len(data) > REGULAR_MAX:
                raise CommitError(400, TOO_LARGE)
            if b"\0" in data[:SAMPLE] and len(data) > BINARY_REGULAR_MAX:
                raise CommitError(400, BINARY)
            out.append(("add", path, _maker(repo, path, {}, Content(data))))
        else:
            oid, size = value.get("oid"), value.get("size")
            if value.get("algo") != "sha256" or not isinstance(oid, str) or not OID.fullmatch(oid):
                raise CommitError(400, f"{path}: an LFS file is {{algo: sha256, oid: 64 hex, size}}")
            if size is not None and (not isinstance(size, int) or isinstance(size, bool) or size < 0):
                raise CommitError(400, f"{path}: invalid size {size!r}")
            # Without a size the line copies an LFS file the repository already has.
            obj = storage.find(repo, oid, committed_only=size is None)
            if obj is None or (size is not None and obj.size != size):
                raise CommitError(400, f"{path}: the LFS object {oid} is not in storage"
                                  + (f" with {size} bytes" if size is not None else ""))
            out.append(("add", path, _maker(repo, path, {"lfs": True}, obj)))
            lfs_paths.append(path)
    return out, lfs_paths


def _maker(repo, path, cfg, content):
    return lambda commit: FileNode(repo.id, path, cfg, commit.date, made_by=commit, content=content)


def _track_lfs(repo, lfs_paths):
    """The commit's last change: `.gitattributes` tracks every LFS file it writes, as the hub's commit
    adds a line for one its patterns do not cover."""
    def finish(change, commit):
        node = change.file(".gitattributes")
        text = node.content.read(0, node.content.size).decode("utf-8", "replace") if node else ""
        missing = [p for p in lfs_paths if not lfs_tracked(text, p)]
        if not missing:
            return
        if text and not text.endswith("\n"):
            text += "\n"
        text += "".join(lfs_line(p) + "\n" for p in missing)
        change.add(".gitattributes", FileNode(repo.id, ".gitattributes", {"text": text}, commit.date,
                                              made_by=commit))
    return finish


def _quota_refusal(c):
    limit = c.limits.commit_limit(c.auth.value, False)
    if limit.allowed:
        return None
    extra = []
    if limit.retry_after == "seconds":
        extra.append(("Retry-After", str(limit.reset)))
    elif limit.retry_after == "date":
        extra.append(("Retry-After", formatdate(time.time() + limit.reset, usegmt=True)))
    return error_resp(429, COMMIT_QUOTA, True, headers=extra)


def commit(c, kind, repo_id, rev):
    """POST /api/KIND/O/N/commit/REV (NDJSON): a new commit on the branch, or with create_pr on a new
    pull request's ref from the branch's head (or parentCommit); answers its oid and addresses."""
    repo, ref, refusal = write_target(c, kind, repo_id, rev)
    if refusal:
        return refusal
    refusal = _quota_refusal(c)
    if refusal:
        return refusal
    try:
        body = read_body(c, COMMIT_BODY_MAX)
        header, ops = _parse_commit(c, body)
        changes, lfs_paths = _operations(c, repo, ops)
    except BodyError as e:
        return error_resp(e.status, e.message, True)
    except CommitError as e:
        return error_resp(e.status, e.message, True, code=e.code)
    code = pair_fault(c, "fail_commit", repo.kind, repo.id)
    if code is not None:
        return fault_status(c, code)        # the hub failed before it committed
    create_pr = c.param("create_pr", "") not in ("", "0", "false", "False")
    parent = header.get("parentCommit")
    try:
        with c.hub.lock:
            head = repo.refs[ref]
            if parent is not None and not head.sha.startswith(parent):
                if not create_pr:
                    raise CommitError(412, "The branch was updated since you opened this page. "
                                           "Please refresh and try again.")
                base = next((x for s, x in repo.commits.items() if s.startswith(parent)), None)
                if base is None:
                    raise CommitError(404, f"Invalid rev id: {parent}", "RevisionNotFound")
            else:
                base = head
            target, number = ref, None
            if create_pr:
                number = 1 + max([int(r[8:]) for r in repo.refs if r.startswith("refs/pr/") and r[8:].isdigit()],
                                 default=0)
                target = f"refs/pr/{number}"
            made = apply_commit(c.hub, repo, target, changes, header["summary"], None, None, base,
                                _track_lfs(repo, lfs_paths) if lfs_paths else None)
            for path in lfs_paths:
                c.hub.storage.record_commit(repo, made.file(path))
    except CommitError as e:
        return error_resp(e.status, e.message, True, code=e.code)
    c.limits.commit_limit(c.auth.value, True)
    c.log_body["commit"] = made.sha
    code = pair_fault(c, "fail_after_commit", repo.kind, repo.id)
    if code is not None:
        return fault_status(c, code)        # committed; the answer is lost on the way
    page = c.origins["hub"] + "/" + ("" if kind == "model" else kind + "s/") + repo.id
    answer = {"commitUrl": f"{page}/commit/{made.sha}", "commitOid": made.sha}
    if number is not None:
        answer["pullRequestUrl"] = f"{page}/discussions/{number}"
    return json_resp(answer)


def validate_yaml(c):
    """POST /api/validate-yaml: the hub team's Python client checks a README's metadata here first."""
    try:
        read_body(c, 16 << 20)
    except BodyError as e:
        return error_resp(e.status, e.message, True)
    return json_resp({"errors": [], "warnings": []})
