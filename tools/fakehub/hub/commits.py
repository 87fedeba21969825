"""Commits made while the hub runs (through /__admin/commit; the write API makes them the same
way): a new commit on a branch, as a change over its parent's tree."""

import hashlib
import re
import time

from hub.common import ScenarioError, iso
from hub.trees import Commit, FileNode, Folder

DEFAULT_REF = "refs/heads/main"
DATE = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3})?Z")
# The hub's answer when a commit names a parent that is no longer the branch's head.
CONFLICT = "The branch was updated since you opened this page. Please refresh and try again."


class CommitError(Exception):
    """A commit the hub refuses: the status, the message and the X-Error-Code it answers with."""

    def __init__(self, status, message, code=None):
        super().__init__(message)
        self.status, self.message, self.code = status, message, code


def branch_ref(repo, rev):
    """The full ref of a branch or pull request that rev names (commits go nowhere else)."""
    for full in (rev, "refs/heads/" + rev):
        if full in repo.refs and (full.startswith("refs/heads/") or full.startswith("refs/pr/")):
            return full
    raise CommitError(404, f"Invalid rev id: {rev}", "RevisionNotFound")


def _parts(path):
    parts = path.split("/")
    if not path or any(p in ("", ".", "..") for p in parts):
        raise CommitError(422, f"Invalid path: {path!r}")
    return parts


class _Change:
    """The copy of a tree a commit writes into: folders on changed paths are copied once each."""

    def __init__(self, base, commit, implicit):
        self.commit, self.implicit = commit, implicit
        self.root = base.copy(commit)
        self.copied = {"": self.root}

    def folder(self, parts, create):
        f, path = self.root, ""
        for part in parts:
            path = f"{path}/{part}" if path else part
            child = self.copied.get(path)
            if child is None:
                old = f.subs.get(part)
                if old is None:
                    if not create:
                        return None
                    if f.file(part) is not None:
                        raise CommitError(400, f"{path} is a file, not a folder")
                    child = Folder(path, self.implicit, self.commit)
                else:
                    child = old.copy(self.commit)
                f.subs[part] = self.copied[path] = child
            f = child
        return f

    def delete(self, path, folder_only=False):
        parts = _parts(path)
        f = self.folder(parts[:-1], create=False)
        if f is not None and f.subs.pop(parts[-1], None) is not None:
            return                      # a folder goes with everything below it
        if folder_only or f is None or not f.remove(parts[-1]):
            raise CommitError(404, "A file with this name doesn't exist", "EntryNotFound")

    def file(self, path):
        """The file at path in the tree being written, or None."""
        parts = _parts(path)
        f = self.folder(parts[:-1], create=False)
        return f.file(parts[-1]) if f is not None else None

    def add(self, path, node):
        parts = _parts(path)
        f = self.folder(parts[:-1], create=True)
        if parts[-1] in f.subs:
            raise CommitError(400, f"{path} is a folder")
        f.put(parts[-1], node)

    def pruned(self):
        """The new root, without the folders the commit emptied (git keeps no empty folder)."""
        for path in sorted(self.copied, key=lambda p: -p.count("/") if p else 1):
            f = self.copied[path]
            if path and f.empty():
                parent = self.copied[path.rpartition("/")[0]]
                parent.subs.pop(path.rpartition("/")[2], None)
        return self.root


def make_commit(hub, repo, rev, files=(), deletes=(), title="", date=None, parent=None):
    """Makes a commit on the branch (or pull request) rev that deletes paths (a folder with all below
    it) and then adds or replaces files (FILE objects of a scenario, without date or title), and moves
    the branch to it. parent, when given, must be the branch's head. Answers the commit."""
    if any(f.get("type", "file") != "file" or not isinstance(f.get("path"), str) for f in files):
        raise CommitError(400, "A commit writes files, each with a path")
    paths = [f["path"].strip("/") for f in files]

    def maker(f, path):
        return lambda commit: FileNode(repo.id, path, f, commit.date, made_by=commit)
    ops = [("delete", p.strip("/")) for p in deletes] + [("add", p, maker(f, p)) for f, p in zip(files, paths)]
    with hub.lock:
        return apply_commit(hub, repo, branch_ref(repo, rev), ops, title, date, parent)


def apply_commit(hub, repo, ref, ops, title="", date=None, parent=None, base=None, finish=None):
    """Makes a commit of ops, in their order, and points ref at it: ("delete", path) removes a file
    or a folder with all below it, ("delete_folder", path) only a folder, ("add", path, make) adds or
    replaces the file make(commit) gives. An existing ref's head is the parent (parent, when given,
    must be it); a new ref (a pull request) starts from base. finish(change, commit) may change the
    tree last. A refused commit (CommitError) changes nothing."""
    title = title or "Update files"
    date = date or iso(time.time())
    if not isinstance(date, str) or not DATE.fullmatch(date):
        raise CommitError(400, f"date {date!r} is not YYYY-MM-DDTHH:MM:SS.000Z")
    added = [op[1] for op in ops if op[0] == "add"]
    if len(set(added)) != len(added):
        raise CommitError(400, "A path is written twice in one commit")
    with hub.lock:
        if ref in repo.refs:
            base = repo.refs[ref]
            if parent is not None and parent != base.sha:
                raise CommitError(412, CONFLICT)
        if base.raw is not None:
            raise CommitError(400, f"{repo.id} serves a fixed tree and takes no commits")
        seed = "\0".join([repo.kind, repo.id, ref, base.sha, title, date, str(len(repo.commits))]
                         + sorted(op[0] + ":" + op[1] for op in ops))
        sha = hashlib.sha1(("commit\0" + seed).encode("utf-8")).hexdigest()
        commit = Commit(repo, sha, base, date, title)
        change = _Change(base.root, commit, repo.cfg.get("implicit_dirs", True))
        for op in ops:
            if op[0] == "add":
                try:
                    node = op[2](commit)
                except (ScenarioError, ValueError, TypeError) as e:
                    raise CommitError(400, str(e))
                change.add(node.path, node)
            else:
                change.delete(op[1], folder_only=op[0] == "delete_folder")
        if finish is not None:
            finish(change, commit)
        commit._root = change.pruned()
        repo.add_commit(ref, commit)
        return commit
