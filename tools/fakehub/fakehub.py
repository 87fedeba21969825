#!/usr/bin/env python3
"""Fake HuggingFace hub for tarnfs tests and demos.

Serves owner listings, recursive trees, collections, whoami and file downloads from
JSON scenario files, in the response shapes of the real hub, plus a second host that
stands in for the storage CDN. Faults are picked per request by a /__fault/MODE/ path
prefix. Python standard library only.
"""

import argparse
import base64
import hashlib
import itertools
import json
import math
import os
import signal
import sys
import threading
import time
import traceback
import uuid
from datetime import datetime, timezone
from email.utils import formatdate
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, quote, unquote, unquote_to_bytes

HERE = os.path.dirname(os.path.abspath(__file__))
SCENARIO_DIR = os.path.join(HERE, "scenarios")
CHUNK = 65536
LISTING_MAX = 1000          # largest page the hub serves for /api/models and /api/datasets
TREE_MAX = 1000             # tree page without dates: the default and the largest
TREE_EXPAND_DEFAULT = 50    # tree page with dates (expand=true) when no limit is asked for
TREE_EXPAND_MAX = 100       # ... and the largest a limit gets
COLLECTIONS_MAX = 100       # largest page of /api/collections
DEFAULT_DATE = "2024-01-01T00:00:00.000Z"
WWW_AUTH = 'Bearer realm="Authentication required", charset="UTF-8"'
EXPOSE = ("X-Repo-Commit,X-Request-Id,X-Error-Code,X-Error-Message,X-Total-Count,ETag,Link,"
          "Accept-Ranges,Content-Range")
ROOT_FILES_OPEN = {"README.md", "LICENSE", "LICENSE.md", "LICENSE.txt"}  # readable in gated repos
EXPAND_VALID = {
    "author", "baseModels", "cardData", "config", "createdAt", "disabled", "downloads",
    "downloadsAllTime", "evalResults", "gated", "inference", "inferenceProviderMapping",
    "lastModified", "library_name", "likes", "mask_token", "model-index", "pipeline_tag",
    "private", "safetensors", "sha", "siblings", "spaces", "tags", "transformersInfo",
    "trendingScore", "widgetData", "gguf", "resourceGroup", "xetEnabled", "description",
    "citation", "paperswithcode_id",
}

# i % 251 repeated: 251 is prime, so a chunk duplicated or skipped at any power-of-two
# boundary changes the bytes a test compares.
_PATTERN = bytes(i % 251 for i in range(251 * 263))


class ScenarioError(Exception):
    pass


class FaultError(Exception):
    pass


def hexid(*parts, n=24):
    return hashlib.sha1("\0".join(str(p) for p in parts).encode()).hexdigest()[:n]


def iso(ts):
    return datetime.fromtimestamp(ts, timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.000Z")


def parse_iso(text):
    try:
        return datetime.strptime(str(text)[:19], "%Y-%m-%dT%H:%M:%S").replace(
            tzinfo=timezone.utc).timestamp()
    except ValueError:
        return 0.0


def truthy(v):
    return str(v).lower() in ("1", "true", "yes")


def slugify(title):
    out = "".join(c.lower() if c.isascii() and c.isalnum() else "-" for c in title)
    return "-".join(p for p in out.split("-") if p) or "collection"


def check_keys(obj, allowed, where):
    if not isinstance(obj, dict):
        raise ScenarioError(f"{where}: expected an object")
    unknown = set(obj) - allowed
    if unknown:
        raise ScenarioError(f"{where}: unknown key(s) {sorted(unknown)}")


def shaped(base, cfg, prefix):
    """Applies a scenario's raw/override/drop rules to a computed JSON object."""
    if f"{prefix}_raw" in cfg:
        return json.loads(json.dumps(cfg[f"{prefix}_raw"]))
    out = dict(base)
    out.update(cfg.get(f"{prefix}_override", {}))
    for k in cfg.get(f"{prefix}_drop", []):
        out.pop(k, None)
    return out


# ---------------------------------------------------------------- scenario data

class Content:
    """File bytes, held in memory or generated on demand as byte i = (i + shift) % 251."""

    def __init__(self, data=None, size=0, shift=0):
        self.data = data
        self.size = len(data) if data is not None else size
        self.shift = shift

    def read(self, off, n):
        if self.data is not None:
            return self.data[off:off + n]
        n = min(n, self.size - off)
        parts = []
        while n > 0:
            k = min(n, CHUNK)
            s = (off + self.shift) % 251
            parts.append(_PATTERN[s:s + k])
            off += k
            n -= k
        return b"".join(parts)


FILE_KEYS = {"path", "type", "text", "base64", "generate_bytes", "lfs", "date", "commit_title",
             "rate_limit_bytes_per_sec", "content_type"}


class FileNode:
    def __init__(self, repo, path, cfg):
        check_keys(cfg, FILE_KEYS, f"{repo.id}:{path}")
        if "text" in cfg:
            self.content = Content(cfg["text"].encode("utf-8"))
        elif "base64" in cfg:
            self.content = Content(base64.b64decode(cfg["base64"]))
        else:
            self.content = Content(size=int(cfg.get("generate_bytes", 0)))
        self.path = path
        self.lfs = bool(cfg.get("lfs"))
        self.date = cfg.get("date", repo.last_modified)
        self.title = cfg.get("commit_title", "Upload " + path.rsplit("/", 1)[-1])
        self.commit = hexid("commit", repo.id, path, self.date, n=40)
        self.rate = cfg.get("rate_limit_bytes_per_sec")
        self.ctype = cfg.get("content_type")
        self.versions = {0: self.content}

    def version(self, v):
        """The file's bytes after v changes on the hub (same size, other bytes)."""
        if v not in self.versions:
            self.versions[v] = changed_content(self.content, v)
        return self.versions[v]

    def oid(self, v=0):
        """The tree's "oid": the git blob SHA-1 of the bytes, or of the pointer for LFS files."""
        if self.lfs:
            return hashlib.sha1(git_blob(lfs_pointer(self, v))).hexdigest()
        return content_digest(self.version(v), "git")

    def lfs_oid(self, v=0):
        return content_digest(self.version(v), "sha256")


GEN_KEYS = {"path", "folders", "folder_digits", "files", "file_prefix", "file_digits",
            "file_suffix", "file_size", "size_span", "lfs", "start", "step_seconds"}


class GenFiles:
    """The files of one generated folder, made when asked for: file i is named prefix + i
    zero-padded + suffix, holds generated bytes, and has a date and a size of its own."""

    def __init__(self, repo, folder, layout, base):
        self.repo, self.folder, self.base = repo, folder, base
        self.count = int(layout["files"])
        self.prefix = layout.get("file_prefix", "file-")
        self.digits = int(layout.get("file_digits", max(3, len(str(self.count - 1)))))
        self.suffix = layout.get("file_suffix", ".bin")
        self.size = int(layout.get("file_size", 64))
        self.span = max(1, int(layout.get("size_span", 1)))
        self.lfs = bool(layout.get("lfs"))
        self.start = parse_iso(layout.get("start", repo.last_modified))
        self.step = int(layout.get("step_seconds", 60))

    def index(self, name):
        core = name[len(self.prefix):len(name) - len(self.suffix)] if self.suffix else \
            name[len(self.prefix):]
        if (not name.startswith(self.prefix) or not name.endswith(self.suffix)
                or len(core) != self.digits or not core.isdigit() or int(core) >= self.count):
            return None
        return int(core)

    def date(self, i):
        return iso(self.start - (self.base + i) * self.step)

    def node(self, i):
        name = f"{self.prefix}{i:0{self.digits}d}{self.suffix}"
        g = self.base + i
        return FileNode(self.repo, f"{self.folder}/{name}" if self.folder else name, {
            "generate_bytes": self.size + (g * 7919) % self.span, "lfs": self.lfs,
            "date": self.date(i), "commit_title": f"Add {name}"})

    def newest(self):
        ts = self.start - self.base * self.step if self.step >= 0 else \
            self.start - (self.base + self.count - 1) * self.step
        return (ts, iso(ts))


class Folder:
    """One folder of a repository tree: its sub-folders, and either listed files or generated ones."""

    def __init__(self, path, visible):
        self.path, self.visible = path, visible   # visible: the tree has an item for it
        self.date = None                          # a declared date, else the newest file below
        self.subs, self.files, self.gen = {}, [], None
        self._order = self._size = None
        self._latest = False

    def order(self):
        if self._order is None:
            self._order = [self.subs[k] for k in sorted(self.subs)]
        return self._order

    def size(self, recursive):
        """Items a listing of this folder holds (the folder's own item not counted)."""
        files = self.gen.count if self.gen is not None else len(self.files)
        if not recursive:
            return files + sum(1 for s in self.order() if s.visible)
        if self._size is None:
            self._size = files + sum(s.visible + s.size(True) for s in self.order())
        return self._size

    def latest(self):
        """(seconds, ISO text) of the newest file below, or None."""
        if self._latest is False:
            found = [(parse_iso(n.date), n.date) for n in self.files]
            if self.gen is not None and self.gen.count:
                found.append(self.gen.newest())
            found += [x for x in (s.latest() for s in self.order()) if x]
            self._latest = max(found, key=lambda x: x[0]) if found else None
        return self._latest


class TreeView:
    """A listing of one folder as a sequence: its length, and slices built on demand."""

    def __init__(self, repo, folder, recursive):
        self.repo, self.folder, self.recursive = repo, folder, recursive

    def __len__(self):
        return self.folder.size(self.recursive)

    def __getitem__(self, part):
        start, stop, _ = part.indices(len(self))
        return list(itertools.islice(self.repo._walk(self.folder, start, self.recursive),
                                     max(0, stop - start)))


REPO_KEYS = {"name", "lastModified", "createdAt", "private", "gated", "gate_tree", "disabled",
             "renamed_to", "tree_page_size", "implicit_dirs", "dir_commits", "files",
             "generate_tree", "generate_folders", "tree_raw", "listing_override", "listing_drop", "listing_raw",
             "also_at", "downloads", "likes", "tags", "pipeline_tag", "library_name", "sha", "revisions"}
REVISION_KEYS = {"name", "kind", "files", "sha", "lastModified"}
# A revision's kind, and the prefix of its full ref ("" where the name is the ref).
REVISION_KINDS = {"branch": "refs/heads/", "tag": "refs/tags/", "pr": "", "convert": ""}
# What a variant of a repository at another revision shares with it: everything but the tree.
TREE_KEYS = {"files", "generate_tree", "generate_folders", "tree_raw", "sha", "revisions", "lastModified"}


class Repo:
    def __init__(self, hub, kind, owner, cfg):
        check_keys(cfg, REPO_KEYS, f"{owner}: {kind} {cfg.get('name')}")
        self.hub, self.kind, self.owner, self.cfg = hub, kind, owner, cfg
        self.name = cfg["name"]
        self.id = f"{owner}/{self.name}"
        self.last_modified = cfg.get("lastModified", DEFAULT_DATE)
        self.sort_ts = parse_iso(self.last_modified)
        self.private = bool(cfg.get("private"))
        self.gated = cfg.get("gated", False)
        self.gate_tree = bool(cfg.get("gate_tree"))
        self.disabled = bool(cfg.get("disabled"))
        self.renamed_to = cfg.get("renamed_to")
        self.sha = cfg.get("sha") or hexid("sha", kind, self.id, self.last_modified, n=40)
        self.mongo_id = hexid("repo", kind, self.id)
        self._files = None
        self._folders = None
        self.ref_kind, self.ref_name = "branch", "main"
        self.revisions = [self._variant(r) for r in cfg.get("revisions", [])]

    def _variant(self, rv):
        """The repository at another revision: the same repository with the revision's own files."""
        check_keys(rv, REVISION_KEYS, f"{self.id}: revision {rv.get('name')}")
        name, kind = rv["name"], rv.get("kind", "branch")
        if kind not in REVISION_KINDS:
            raise ScenarioError(f"{self.id}: revision {name}: unknown kind {kind!r}")
        if (kind == "pr") != name.startswith("refs/pr/") or (kind == "convert") != name.startswith("refs/convert/"):
            raise ScenarioError(f"{self.id}: revision {name}: a pr is refs/pr/N, a convert refs/convert/NAME")
        cfg = {k: v for k, v in self.cfg.items() if k not in TREE_KEYS}
        cfg.update({"files": rv.get("files", []), "lastModified": rv.get("lastModified", self.last_modified),
                    "sha": rv.get("sha") or hexid("sha", self.kind, self.id, name, n=40)})
        variant = Repo(self.hub, self.kind, self.owner, cfg)
        variant.ref_kind, variant.ref_name = kind, name
        return variant

    @property
    def ref(self):
        return REVISION_KINDS[self.ref_kind] + self.ref_name

    def at(self, rev):
        """The repository at revision rev (a name, a full ref or a commit), or None."""
        for r in [self] + self.revisions:
            if rev in (r.ref_name, r.ref, r.sha):
                return r
        return None

    def refs_json(self, include_prs):
        def info(r):
            short = r.ref_name.rsplit("/", 1)[-1] if r.ref_kind in ("pr", "convert") else r.ref_name
            return {"name": short, "ref": r.ref, "targetCommit": r.sha}
        every = [self] + self.revisions
        d = {"branches": [info(r) for r in every if r.ref_kind == "branch"],
             "converts": [info(r) for r in every if r.ref_kind == "convert"],
             "tags": [info(r) for r in every if r.ref_kind == "tag"]}
        if include_prs:
            d["pullRequests"] = [info(r) for r in every if r.ref_kind == "pr"]
        return d

    @property
    def plural(self):
        return self.kind + "s"

    def field(self, key):
        s = self.cfg
        return {
            "author": self.owner, "createdAt": s.get("createdAt", "2022-03-02T23:29:04.000Z"),
            "disabled": self.disabled, "downloads": s.get("downloads", 0), "gated": self.gated,
            "lastModified": self.last_modified, "library_name": s.get("library_name"),
            "likes": s.get("likes", 0), "pipeline_tag": s.get("pipeline_tag"),
            "private": self.private, "sha": self.sha, "tags": s.get("tags", ["region:us"]),
            "trendingScore": 0,
        }.get(key)

    def listing_item(self, expand, full):
        if expand:
            d = {"_id": self.mongo_id, "id": self.id}
            for k in expand:
                v = self.field(k)
                if v is not None:
                    d[k] = v
        elif self.kind == "model":
            d = {"_id": self.mongo_id, "id": self.id}
            for k in ("likes", "trendingScore", "private", "downloads", "tags", "pipeline_tag",
                      "library_name", "createdAt"):
                if self.field(k) is not None:
                    d[k] = self.field(k)
            if full:
                for k in ("author", "sha", "lastModified", "gated", "disabled"):
                    d[k] = self.field(k)
            d["modelId"] = self.id
        else:
            d = {"_id": self.mongo_id, "id": self.id}
            for k in ("author", "disabled", "gated", "lastModified", "likes", "trendingScore",
                      "private", "downloads", "tags", "createdAt"):
                d[k] = self.field(k)
            if full:
                d["sha"] = self.sha
        return shaped(d, self.cfg, "listing")

    # Tree: folders built once on first use; files of generated folders are made per page, so a
    # repository of any size costs a few objects per folder and a page costs a slice.
    def _build(self):
        cfg = self.cfg
        implicit = cfg.get("implicit_dirs", True)
        root = Folder("", False)
        folders, files = {"": root}, {}

        def folder(path, declared=False):
            f = folders.get(path)
            if f is None:
                parent_path, _, name = path.rpartition("/")
                f = folders[path] = Folder(path, implicit)
                folder(parent_path).subs[name] = f
            if declared:
                f.visible = True
            return f

        for f in cfg.get("files", []):
            p = f["path"].strip("/")
            if f.get("type") == "directory":
                check_keys(f, {"path", "type", "date"}, f"{self.id}:{p}")
                folder(p, declared=True).date = f.get("date")
            else:
                files[p] = FileNode(self, p, f)
        g = cfg.get("generate_tree")
        if g:
            check_keys(g, {"dirs", "files_per_dir", "file_size", "dir_prefix", "file_prefix"},
                       f"{self.id}: generate_tree")
            for d in range(int(g.get("dirs", 0))):
                dname = f"{g.get('dir_prefix', 'dir-')}{d:03d}"
                for i in range(int(g.get("files_per_dir", 0))):
                    p = f"{dname}/{g.get('file_prefix', 'file-')}{i:03d}.txt"
                    files[p] = FileNode(self, p, {"generate_bytes": g.get("file_size", 64)})
                if not g.get("files_per_dir"):
                    folder(dname, declared=True)
        for p in sorted(files):
            folder(p.rpartition("/")[0]).files.append(files[p])
        for layout in cfg.get("generate_folders", []):
            check_keys(layout, GEN_KEYS, f"{self.id}: generate_folders")
            path = layout["path"].strip("/")
            count, per = int(layout.get("folders", 0)), int(layout["files"])
            if count:
                digits = int(layout.get("folder_digits", max(3, len(str(count - 1)))))
                targets = [folder(f"{path}/{k:0{digits}d}" if path else f"{k:0{digits}d}", True)
                           for k in range(count)]
            else:
                targets = [folder(path, declared=bool(path))]
            for k, target in enumerate(targets):
                if target.files or target.gen:
                    raise ScenarioError(f"{self.id}: {target.path or '(root)'} holds files already")
                target.gen = GenFiles(self, target.path, layout, k * per)
        self._files, self._folders = files, folders

    def _ensure(self):
        if self._folders is None:
            with self.hub.lock:
                if self._folders is None:
                    self._build()

    def entries(self):
        """Every tree item in recursive listing order (built on each call: for small repos only)."""
        self._ensure()
        return list(self._walk(self._folders[""], 0, True))

    def file(self, path):
        self._ensure()
        parent, _, name = path.rpartition("/")
        f = self._folders.get(parent)
        if f is not None and f.gen is not None:
            i = f.gen.index(name)
            return f.gen.node(i) if i is not None else None
        return self._files.get(path)

    def tree_view(self, sub, recursive):
        """Entries under sub (None when sub is no folder); raw tree items come verbatim."""
        if "tree_raw" in self.cfg:
            return self.cfg["tree_raw"] if not sub else None
        self._ensure()
        f = self._folders.get(sub)
        return TreeView(self, f, recursive) if f is not None else None

    def _dir_entry(self, f):
        date = f.date
        if date is None and self.cfg.get("dir_commits", True):
            latest = f.latest()
            date = latest[1] if latest else None
        return ("directory", f.path, None, date)

    def _walk(self, f, skip, recursive):
        """Entries of folder f from position skip on: each level's folders first (a folder's items
        right after it when recursive), then its files; whole sub-trees are skipped by their size."""
        for s in f.order():
            if s.visible:
                if skip:
                    skip -= 1
                else:
                    yield self._dir_entry(s)
            if recursive:
                size = s.size(True)
                if skip >= size:
                    skip -= size
                else:
                    yield from self._walk(s, skip, True)
                    skip = 0
        if f.gen is not None:
            for i in range(skip, f.gen.count):
                node = f.gen.node(i)
                yield ("file", node.path, node, node.date)
        else:
            for node in f.files[skip:]:
                yield ("file", node.path, node, node.date)

    def tree_item(self, e, expand, masked, version=None):
        if not isinstance(e, tuple):    # a tree_raw item goes out as written
            return e
        kind, path, node, date = e
        if node is None:
            d = {"type": "directory", "oid": hexid("tree", self.id, path, n=40), "size": 0,
                 "path": path}
            if expand and date:
                d["lastCommit"] = {"id": hexid("commit", self.id, path, date, n=40),
                                   "title": "Update " + path.rsplit("/", 1)[-1], "date": date}
            return d
        v = version(node) if version else 0
        d = {"type": "file", "oid": node.oid(v), "size": node.content.size}
        if node.lfs:
            d["lfs"] = {"oid": "*" * 64 if masked else node.lfs_oid(v),
                        "size": node.content.size, "pointerSize": len(lfs_pointer(node, v))}
        d["path"] = path
        if expand:
            d["lastCommit"] = {"id": node.commit, "title": node.title, "date": node.date}
        return d


OWNER_KEYS = {"type", "fullname", "models", "datasets", "generate_models", "generate_datasets",
              "collections", "generate_collections", "collections_page_size",
              "link_on_full_page"}


class Owner:
    def __init__(self, hub, name, cfg):
        check_keys(cfg, OWNER_KEYS, f"owner {name}")
        self.hub, self.name, self.cfg = hub, name, cfg
        self.type = cfg.get("type", "org")
        self.fullname = cfg.get("fullname", name)
        self.link_on_full_page = bool(cfg.get("link_on_full_page"))
        self.collections_page_size = int(cfg.get("collections_page_size", COLLECTIONS_MAX))
        self.repos = {"model": [], "dataset": []}
        for kind in ("model", "dataset"):
            for r in cfg.get(kind + "s", []):
                self.repos[kind].append(Repo(hub, kind, name, r))
            g = cfg.get(f"generate_{kind}s")
            if g:
                check_keys(g, {"count", "prefix", "digits", "start", "step_seconds"},
                           f"owner {name}: generate_{kind}s")
                count = int(g["count"])
                digits = int(g.get("digits", max(4, len(str(count - 1)))))
                start = parse_iso(g.get("start", "2025-06-30T12:00:00.000Z"))
                step = int(g.get("step_seconds", 3600))
                prefix = g.get("prefix", kind + "-")
                for i in range(count):
                    self.repos[kind].append(Repo(hub, kind, name, {
                        "name": f"{prefix}{i:0{digits}d}", "lastModified": iso(start - i * step)}))
        self.collections = [Collection(hub, self, c, i)
                            for i, c in enumerate(cfg.get("collections", []))]
        g = cfg.get("generate_collections")
        if g:
            check_keys(g, {"count", "prefix", "item_prefix", "start", "step_seconds"},
                       f"owner {name}: generate_collections")
            start = parse_iso(g.get("start", "2025-06-01T00:00:00.000Z"))
            for i in range(int(g["count"])):
                title = f"{g.get('prefix', 'Collection')} {i:03d}"
                self.collections.append(Collection(hub, self, {
                    "title": title, "slug": f"{name}/{slugify(title)}-{i + 1:024x}",
                    "lastUpdated": iso(start - i * int(g.get("step_seconds", 86400))),
                    "items": [{"type": "model",
                               "id": f"{name}/{g.get('item_prefix', 'model-')}{i:03d}"}]},
                    len(self.collections)))

    def obj(self):
        d = {"_id": hexid("owner", self.name), "avatarUrl": f"/avatars/{hexid('av', self.name, n=32)}.svg",
             "fullname": self.fullname, "name": self.name, "type": self.type}
        if self.type == "user":
            d["isPro"] = False
        d.update({"isHf": False, "isHfAdmin": False, "isMod": False, "followerCount": 0,
                  "isUserFollowing": False})
        return d


COLLECTION_KEYS = {"title", "slug", "description", "lastUpdated", "theme", "upvotes", "items",
                   "listing_override", "listing_drop", "listing_raw", "single_override",
                   "single_drop", "single_raw"}
ITEM_KEYS = {"type", "id", "slug", "title", "note", "raw", "publishedAt"}


class Collection:
    def __init__(self, hub, owner, cfg, position):
        check_keys(cfg, COLLECTION_KEYS, f"owner {owner.name}: collection")
        for it in cfg.get("items", []):
            check_keys(it, ITEM_KEYS, f"collection {cfg.get('title')}: item")
        self.hub, self.owner, self.cfg, self.position = hub, owner, cfg, position
        self.title = cfg.get("title", "Untitled")
        self.hex = hexid("collection", owner.name, self.title)
        self.slug = cfg.get("slug") or f"{owner.name}/{slugify(self.title)}-{self.hex}"
        self.last_updated = cfg.get("lastUpdated", DEFAULT_DATE)

    def share_url(self):
        return "https://hf.co/collections/" + self.slug.rsplit("-", 1)[0]

    def _item(self, it, pos):
        if "raw" in it:
            return it["raw"]
        t, iid = it.get("type", "model"), it.get("id", "")
        d = {"_id": hexid("item", self.slug, pos, iid), "type": t}
        if t in ("model", "dataset", "space"):
            repo = self.hub.repos.get((t, iid))
            owner = self.hub.owners.get(iid.split("/")[0])
            d.update({"repoType": t, "id": iid, "position": pos, "author": iid.split("/")[0]})
            if owner:
                d["authorData"] = owner.obj()
            d.update({"downloads": 0, "likes": 0,
                      "private": repo.private if repo else False,
                      "gated": repo.gated if repo else False,
                      "lastModified": repo.last_modified if repo else DEFAULT_DATE,
                      "isLikedByUser": False})
            if t == "model":
                d["availableInferenceProviders"] = []
            if t == "space":
                d.update({"title": it.get("title", iid), "sdk": "static", "emoji": "\U0001F30E",
                          "runtime": {"stage": "RUNNING"}})
        elif t == "paper":
            d.update({"id": iid, "position": pos, "title": it.get("title", iid),
                      "publishedAt": it.get("publishedAt", DEFAULT_DATE), "upvotes": 0,
                      "isUpvotedByUser": False})
        elif t == "collection":
            target = self.hub.collections.get(it.get("slug", ""))
            slug = it.get("slug", "")
            d.update({"id": target.hex if target else slug.rsplit("-", 1)[-1], "slug": slug,
                      "title": target.title if target else it.get("title", slug),
                      "numberItems": len(target.cfg.get("items", [])) if target else 0,
                      "position": pos, "owner": (target.owner if target else self.owner).obj(),
                      "shareUrl": target.share_url() if target else "", "theme": "green",
                      "upvotes": 0, "isUpvotedByUser": False,
                      "lastUpdated": target.last_updated if target else DEFAULT_DATE})
        else:
            d.update({"id": iid, "position": pos})
        if "note" in it:
            d["note"] = {"html": it["note"], "text": it["note"]}
        return d

    def _base(self, items):
        d = {"slug": self.slug, "title": self.title}
        if "description" in self.cfg:
            d["description"] = self.cfg["description"]
        d.update({"gating": False, "lastUpdated": self.last_updated, "owner": self.owner.obj(),
                  "items": items, "theme": self.cfg.get("theme", "green"), "private": False})
        return d

    def listing_json(self):
        items = [self._item(it, i) for i, it in enumerate(self.cfg.get("items", [])[:4])]
        d = self._base(items)
        d.update({"upvotes": self.cfg.get("upvotes", 0), "isUpvotedByUser": False})
        return shaped(d, self.cfg, "listing")

    def single_json(self):
        d = self._base([self._item(it, i) for i, it in enumerate(self.cfg.get("items", []))])
        d.update({"position": self.position, "shareUrl": self.share_url(),
                  "upvotes": self.cfg.get("upvotes", 0), "isUpvotedByUser": False})
        return shaped(d, self.cfg, "single")


TOKEN_KEYS = {"user", "fullname", "orgs", "role", "granted", "pending", "displayName"}


class Token:
    def __init__(self, value, cfg):
        check_keys(cfg, TOKEN_KEYS, "token")
        self.value, self.cfg = value, cfg
        self.user = cfg.get("user", "tester")
        self.orgs = list(cfg.get("orgs", []))
        self.granted = set(cfg.get("granted", []))
        self.pending = set(cfg.get("pending", []))

    def member(self, owner):
        return owner == self.user or owner in self.orgs

    def can_read_gated(self, repo):
        return self.member(repo.owner) or "*" in self.granted or repo.id in self.granted

    def whoami(self):
        s = self.cfg
        return {"type": "user", "id": hexid("user", self.user), "name": self.user,
                "fullname": s.get("fullname", self.user), "email": f"{self.user}@example.invalid",
                "emailVerified": True, "canPay": False, "billingMode": "prepaid",
                "periodEnd": 1793491200, "isPro": False,
                "avatarUrl": f"/avatars/{hexid('av', self.user, n=32)}.svg",
                "orgs": [{"type": "org", "id": hexid("owner", o), "name": o, "fullname": o,
                          "avatarUrl": f"/avatars/{hexid('av', o, n=32)}.svg",
                          "isEnterprise": False, "roleInOrg": "read"} for o in self.orgs],
                "auth": {"type": "access_token", "accessToken": {
                    "displayName": s.get("displayName", "tarn-test"), "role": s.get("role", "read"),
                    "createdAt": "2025-01-01T00:00:00.000Z"}}}


INVALID = object()   # an Authorization header with a token the hub does not know


def merge_scenarios(docs):
    merged = {"owners": {}, "tokens": {}}
    for doc in docs:
        check_keys(doc, {"owners", "tokens", "comment"}, "scenario")
        merged["tokens"].update(doc.get("tokens", {}))
        for name, o in doc.get("owners", {}).items():
            cur = merged["owners"].setdefault(name, {})
            for k, v in o.items():
                if k in ("models", "datasets", "collections"):
                    key = "title" if k == "collections" else "name"
                    keep = [x for x in cur.get(k, []) if x.get(key) not in {y.get(key) for y in v}]
                    cur[k] = keep + v
                else:
                    cur[k] = v
    return merged


class Hub:
    def __init__(self, docs):
        data = merge_scenarios(docs)
        self.lock = threading.RLock()
        self.repos, self.collections = {}, {}
        self.owners = {}
        for name, cfg in data["owners"].items():
            self.owners[name] = Owner(self, name, cfg)
        for o in self.owners.values():
            for kind in ("model", "dataset"):
                for r in o.repos[kind]:
                    self.repos[(kind, r.id)] = r
            for c in o.collections:
                self.collections[c.slug] = c
        self.tokens = {v: Token(v, s) for v, s in data["tokens"].items()}
        self._listings = {}

    def listing(self, kind, author, auth):
        """Repos in lastModified order, private ones only for members; built once per viewer."""
        orgs = frozenset([auth.user] + auth.orgs) if isinstance(auth, Token) else frozenset()
        key = (kind, author, orgs)
        with self.lock:
            if key not in self._listings:
                owners = [self.owners[author]] if author in self.owners else \
                    ([] if author is not None else list(self.owners.values()))
                repos = [r for o in owners for r in o.repos[kind]
                         if not r.private or r.owner in orgs]
                repos.sort(key=lambda r: -r.sort_ts)
                extra = sorted(((k, r) for r in repos for k in r.cfg.get("also_at", [])),
                               key=lambda x: x[0])
                for k, r in extra:
                    repos.insert(min(k, len(repos)), r)
                self._listings[key] = repos
            return self._listings[key]


# ---------------------------------------------------------------- faults

REDIRECT_FAULTS = {"redirect_loop", "redirects", "redirect_host2", "redirect_relative"}
INT_FAULTS = {"status", "cut_at", "slow", "fake_length", "delay", "redirects"}
FLAG_FAULTS = {"malformed", "no_length", "redirect_host2", "redirect_relative", "no_link",
               "link_loop", "link_relative", "hold"}
HOLD_LIMIT = 60.0   # a held request answers anyway after this long, so a failed test cannot hang it


class HoldGate:
    """Requests with the `hold` fault wait here until /__admin/release opens the gate once."""

    def __init__(self):
        self.cond = threading.Condition()
        self.releases = 0

    def wait(self):
        with self.cond:
            seen = self.releases
            self.cond.wait_for(lambda: self.releases != seen, timeout=HOLD_LIMIT)

    def release(self):
        with self.cond:
            self.releases += 1
            self.cond.notify_all()


class Fault:
    def __init__(self, name, value, page, token):
        self.name, self.value, self.page, self.token = name, value, page, token


def parse_faults(cfg):
    out = []
    for tok in cfg.split("+"):
        if not tok:
            continue
        body, at, page = tok.partition("@")
        name, eq, val = body.partition("=")
        try:
            page = int(page) if at else None
            if name == "fail_page":
                n, _, code = val.partition(":")
                name, page, val = "status", int(n), int(code)
            elif name in INT_FAULTS:
                val = int(val)
            elif name == "redirect_loop":
                val = int(val) if eq else 0
            elif name in FLAG_FAULTS:
                if eq:
                    raise ValueError
                val = True
            else:
                val = parse_range_fault(name, val, eq)
                if val is None:
                    raise ValueError
        except ValueError:
            raise FaultError(f"bad fault token {tok!r}")
        out.append(Fault(name, val, page, tok))
    return out


def fault_prefix(tokens):
    return "/__fault/" + "+".join(tokens) if tokens else ""


# ---------------------------------------------------------------- ranges, versions, hashes
# Kept apart from the other fault code: downloads in parallel ranges, resumed, and checked
# against the listing's hashes.

RANGE_INT_FAULTS = {"rate", "change_after"}
RANGE_FLAG_FAULTS = {"no_ranges", "range_200", "wrong_hash", "mask_hash"}
HASH_CHUNK = 1 << 20
_DIGESTS = {}                   # (kind, size, shift) -> hex, for generated bytes
_DIGEST_LOCKS = {}
_DIGEST_LOCK = threading.Lock()


def parse_range_fault(name, val, eq):
    """The value of a download fault token, or raises ValueError (None: not one of these)."""
    if name in RANGE_INT_FAULTS:
        return int(val)
    if name in RANGE_FLAG_FAULTS:
        if eq:
            raise ValueError
        return True
    if name == "cut_range":        # N[:K] bytes into a 206; only the first K of them if given
        n, _, k = val.partition(":")
        return (int(n), int(k) if k else None)
    return None


def changed_content(content, v):
    if content.data is not None:
        key = (0x5A * v) % 255 + 1
        return Content(bytes(b ^ key for b in content.data))
    return Content(size=content.size, shift=(content.shift + v) % 251 or 1)


def git_blob(data):
    return b"blob %d\0" % len(data) + data


# The version line every large-file pointer starts with, kept as data beside this file.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "lfs-pointer-version.txt")) as _f:
    LFS_POINTER_VERSION = _f.read().strip()


def lfs_pointer_bytes(sha256_hex, size):
    """The pointer file git keeps for a large file; its blob id is the tree's "oid"."""
    return f"version {LFS_POINTER_VERSION}\noid sha256:{sha256_hex}\nsize {size}\n".encode()


def lfs_pointer(node, v):
    return lfs_pointer_bytes(node.lfs_oid(v), node.content.size)


def content_digest(content, kind):
    """sha256 of the bytes, or ("git") the blob SHA-1; generated bytes are hashed chunk by chunk
    once per size and shift, so a multi-GiB file costs seconds once and no memory."""
    if content.data is not None:
        if kind == "git":
            return hashlib.sha1(git_blob(content.data)).hexdigest()
        return hashlib.sha256(content.data).hexdigest()
    key = (kind, content.size, content.shift)
    with _DIGEST_LOCK:     # one lock per digest: a small file's never waits for a large one's
        lock = _DIGEST_LOCKS.setdefault(key, threading.Lock())
    with lock:
        if key in _DIGESTS:
            return _DIGESTS[key]
        h = hashlib.sha1(b"blob %d\0" % content.size) if kind == "git" else hashlib.sha256()
        for off in range(0, content.size, HASH_CHUNK):
            h.update(content.read(off, HASH_CHUNK))
        _DIGESTS[key] = h.hexdigest()
        return _DIGESTS[key]


def prehash_large_files(hub, least=16 << 20):
    """Hashes the scenario's large generated files in the background, so the first listing that
    names them does not wait seconds."""
    for repo in list(hub.repos.values()):
        for f in repo.cfg.get("files", []):
            if int(f.get("generate_bytes", 0)) >= least:
                content_digest(Content(size=int(f["generate_bytes"])), "sha256" if f.get("lfs") else "git")


def xet_hash(node, v):
    """The storage host's ETag for a large file: a hash of its own (as the xet hash), not the sha256."""
    return hashlib.sha256(b"xet\0" + node.lfs_oid(v).encode()).hexdigest()


def accepts_gzip(value):
    """True when an Accept-Encoding value names gzip (q=0 refuses it)."""
    for part in (value or "").split(","):
        name, _, params = part.strip().partition(";")
        q = params.strip().lower().replace(" ", "")
        if name.strip().lower() in ("gzip", "x-gzip") and not (q.startswith("q=") and
                                                            q[2:].strip("0.") == ""):
            return True
    return False


def wrong_digest(hexdigest):
    """Another digest of the same length (a SHA-1 would be too short to stand for a SHA-256)."""
    return hashlib.sha256(("wrong\0" + hexdigest).encode()).hexdigest()[:len(hexdigest)]


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


# ---------------------------------------------------------------- costs and rate limits

# What the real hub's answers cost, from a measured 6,544-file dataset (recursive): about 2 s in
# 7 pages of 1,000 without dates, about 42 s in 66 pages of 100 with dates. A 40 ms round trip per
# answer and 0.3 ms per item give 7 x 40 ms + 6,544 x 0.3 ms = 2.2 s; 6 ms per dated item (20
# times as much) gives 66 x 40 ms + 6,544 x 6 ms = 41.9 s.
REALISTIC_COSTS = {"rtt_ms": 40.0, "item_ms": 0.3, "expand_item_ms": 6.0}


class Costs:
    """The time an answer takes before its head goes out: a round trip, plus a cost per listed item
    (higher for tree items with dates). All 0 by default, so tests stay fast. Each request waits on
    its own thread: parallel requests overlap, as on the real hub."""

    def __init__(self):
        self.lock = threading.Lock()
        self.rtt_ms = self.item_ms = self.expand_item_ms = 0.0

    def configure(self, **values):
        with self.lock:
            for k, v in values.items():
                if v is not None:
                    if float(v) < 0:
                        raise ValueError(f"{k} must not be negative")
                    setattr(self, k, float(v))

    def state(self):
        with self.lock:
            return {"rtt_ms": self.rtt_ms, "item_ms": self.item_ms,
                    "expand_item_ms": self.expand_item_ms}

    def seconds(self, resp):
        with self.lock:
            per_item = self.expand_item_ms if resp.dated else self.item_ms
            return (self.rtt_ms + resp.items * per_item) / 1000.0


# The real hub's quotas per 5-minute fixed window: (bucket, with a token) -> requests.
DEFAULT_QUOTAS = {("api", False): 500, ("resolvers", False): 3000,
                  ("api", True): 1000, ("resolvers", True): 5000}
DEFAULT_WINDOW = 300
LIFTED_QUOTA = 1000000       # what "lifted" means: headers as usual, a quota no test reaches
RETRY_AFTER_FORMS = ("seconds", "date", "none")


class Limit:
    def __init__(self, bucket, allowed, remaining, reset, quota, window, retry_after):
        self.bucket, self.allowed, self.remaining = bucket, allowed, remaining
        self.reset, self.quota, self.window, self.retry_after = reset, quota, window, retry_after

    def headers(self):
        h = [("RateLimit", f'"{self.bucket}";r={self.remaining};t={self.reset}'),
             ("RateLimit-Policy", f'"fixed window";"{self.bucket}";q={self.quota};w={self.window}')]
        if not self.allowed and self.retry_after == "seconds":
            h.append(("Retry-After", str(self.reset)))
        elif not self.allowed and self.retry_after == "date":
            h.append(("Retry-After", formatdate(time.time() + self.reset, usegmt=True)))
        return h


class RateLimits:
    """Fixed windows per caller (a known token, else the client address) and bucket ("api" for the
    API, "resolvers" for downloads through the hub). A request over the quota is answered 429 and
    not counted; its window starts at the caller's first request and lasts `window` seconds."""

    def __init__(self):
        self.lock = threading.Lock()
        self.quotas = dict(DEFAULT_QUOTAS)
        self.window = DEFAULT_WINDOW
        self.retry_after = "seconds"
        self.windows = {}

    def configure(self, api=None, resolvers=None, api_token=None, resolvers_token=None,
                  window=None, retry_after=None, lift=False):
        with self.lock:
            if lift:
                self.quotas = {k: LIFTED_QUOTA for k in self.quotas}
            for key, v in ((("api", False), api), (("resolvers", False), resolvers),
                           (("api", True), api_token), (("resolvers", True), resolvers_token)):
                if v is not None:
                    if int(v) < 0:
                        raise ValueError("a quota must not be negative")
                    self.quotas[key] = int(v)
            if window is not None:
                if int(window) < 1:
                    raise ValueError("the window must be at least 1 s")
                self.window = int(window)
            if retry_after is not None:
                if retry_after not in RETRY_AFTER_FORMS:
                    raise ValueError(f"retry_after must be one of {', '.join(RETRY_AFTER_FORMS)}")
                self.retry_after = retry_after
            self.windows = {}

    def state(self):
        with self.lock:
            return {"api": self.quotas[("api", False)], "resolvers": self.quotas[("resolvers", False)],
                    "api_token": self.quotas[("api", True)],
                    "resolvers_token": self.quotas[("resolvers", True)],
                    "window": self.window, "retry_after": self.retry_after}

    def take(self, caller, token, bucket):
        now = time.monotonic()
        with self.lock:
            quota = self.quotas[(bucket, token)]
            w = self.windows.get((caller, bucket))
            if w is None or now >= w[0] + self.window:
                w = self.windows[(caller, bucket)] = [now, 0]
            reset = max(1, math.ceil(w[0] + self.window - now))
            allowed = w[1] < quota
            if allowed:
                w[1] += 1
            return Limit(bucket, allowed, quota - w[1], reset, quota, self.window, self.retry_after)


def rate_bucket(raw):
    """The bucket a request counts in, from its target: None for routes without a limit."""
    path = raw.split("?", 1)[0]
    if path.startswith("/__fault/"):
        path = "/" + path[len("/__fault/"):].partition("/")[2]
    if path.startswith("/api/resolve-cache/"):
        return "resolvers"          # a download's second hop, served like the first
    if path.startswith("/api/"):
        return "api"
    segs = path.split("/")[1:]
    if segs and segs[0] == "datasets":
        segs = segs[1:]
    return "resolvers" if len(segs) >= 4 and segs[2] == "resolve" else None


# ---------------------------------------------------------------- request log

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


# ---------------------------------------------------------------- responses

class Resp:
    def __init__(self, status, body=b"", ctype="text/plain; charset=utf-8", headers=None,
                 source=None, rate=None, carries=False):
        self.status, self.ctype = status, ctype
        self.headers = list(headers or [])
        self.body = body.encode("utf-8") if isinstance(body, str) else body
        self.source, self.rate = source, rate
        self.carries = carries      # a redirect: its faults travel in the Location instead
        self.ranged = False         # file bytes: Range requests apply
        self.cdn = False            # served through the storage network: gzip turns Range off
        self.items, self.dated = 0, False   # listing items, and whether they carry dates (cost)
        self.file_key = None
        self.start, self.length, self.cut = 0, None, None

    def header(self, name):
        for k, v in self.headers:
            if k.lower() == name.lower():
                return v
        return None


def dumps(obj):
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def json_resp(obj, status=200, headers=()):
    body = dumps(obj)
    tag = base64.b64encode(hashlib.md5(body).digest()).decode()[:22]
    return Resp(status, body, "application/json; charset=utf-8",
                [("ETag", f'W/"{len(body):x}-{tag}{"0" * 5}"')] + list(headers))


def file_resp(repo, node, ctype, v, headers):
    resp = Resp(200, ctype=ctype, source=node.version(v), rate=node.rate,
                headers=headers + [("Last-Modified", http_date(node.date))])
    resp.ranged, resp.file_key = True, (repo.kind, repo.id, node.path)
    return resp


def listing_hash_faults(item, names):
    """wrong_hash / mask_hash on one tree item (a copy)."""
    if item.get("type") != "file" or not ({"wrong_hash", "mask_hash"} & set(names)):
        return item
    item = dict(item)
    if "lfs" in item:
        item["lfs"] = dict(item["lfs"])
        item["lfs"]["oid"] = "*" * 64 if "mask_hash" in names else wrong_digest(item["lfs"]["oid"])
    elif "wrong_hash" in names:
        item["oid"] = wrong_digest(item["oid"])
    return item


def error_resp(status, msg, api, code=None, www=False, headers=()):
    h = [("X-Error-Message", msg)] + ([("X-Error-Code", code)] if code else [])
    if www:
        h.append(("WWW-Authenticate", WWW_AUTH))
    h += list(headers)
    return json_resp({"error": msg}, status, h) if api else Resp(status, msg, headers=h)


def redirect_resp(status, location, extra=()):
    reason = "Found" if status == 302 else "Temporary Redirect"
    return Resp(status, f"{reason}. Redirecting to {location}",
                headers=[("Location", location)] + list(extra), carries=True)


STATUS_TEXT = {
    429: "You have exceeded our hourly quotas for action: api. We invite you to retry later.",
    500: "Internal Error - We're working hard to fix this as soon as possible!",
}


# ---------------------------------------------------------------- HTTP handling

class Ctx:
    pass


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
            return self._admin(raw)
        started = time.monotonic()
        entry = srv.log.add(srv.host_name, self.command,
                            raw.encode("latin-1", "replace").decode("utf-8", "replace"), self.headers)
        limit = None
        try:
            if self.command not in ("GET", "HEAD"):
                resp, faults = Resp(405, "Method not allowed", headers=[("Allow", "GET, HEAD")]), []
            else:
                limit = self._rate_limit(raw)
                if limit is not None and not limit.allowed:
                    resp, faults = self._over_quota(raw, limit), []
                else:
                    resp, faults = self._respond(raw)
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

    def _rate_limit(self, raw):
        """The caller's window for this request's bucket, counted; None off the hub's limited routes."""
        bucket = rate_bucket(raw) if self.server.host_name == "hub" else None
        if bucket is None:
            return None
        auth = self._auth(self.server.hub)
        token = isinstance(auth, Token)
        caller = ("token", auth.value) if token else ("address", self.client_address[0])
        return self.server.limits.take(caller, token, bucket)

    def _over_quota(self, raw, limit):
        path = raw if not raw.startswith("/__fault/") else "/" + raw[9:].partition("/")[2]
        msg = (f"You have exceeded our hourly quotas for action: {limit.bucket}. "
               "We invite you to retry later.")
        return error_resp(429, msg, path.startswith("/api/"), headers=limit.headers())

    def _admin_settings(self, query, apply, keys):
        values = dict(parse_qsl(query, keep_blank_values=True))
        unknown = set(values) - keys
        if unknown:
            return Resp(400, f"unknown setting(s) {sorted(unknown)}")
        try:
            apply(values)
        except ValueError as e:
            return Resp(400, str(e))
        return None

    def _admin_tree(self, path):
        segs = unquote(path).split("/")[3:]
        if len(segs) < 3 or segs[0] not in ("models", "datasets"):
            return Resp(404, "unknown repository")
        repo = self.server.hub.repos.get((segs[0][:-1], segs[1] + "/" + segs[2]))
        view = repo.tree_view("/".join(segs[3:]).strip("/"), False) if repo else None
        if view is None:
            return Resp(404, "unknown repository or folder")
        return json_resp([repo.tree_item(e, True, False) if isinstance(e, tuple) else e
                          for e in view[0:len(view)]])

    def _admin(self, raw):
        path, _, query = raw.partition("?")
        srv = self.server
        if path == "/__admin/costs":
            def apply(v):
                if truthy(v.pop("realistic", "")):
                    srv.costs.configure(**REALISTIC_COSTS)
                srv.costs.configure(**v)
            resp = self._admin_settings(query, apply, {"realistic", "rtt_ms", "item_ms",
                                                       "expand_item_ms"}) or \
                Resp(200, dumps(srv.costs.state()), "application/json; charset=utf-8")
            self._send(resp, [])
            self.close_connection = True
            return
        if path == "/__admin/limits":
            def apply(v):
                lift = truthy(v.pop("lift", ""))
                srv.limits.configure(lift=lift, **{k: x for k, x in v.items()})
            resp = self._admin_settings(query, apply, {"lift", "api", "resolvers", "api_token",
                                                       "resolvers_token", "window",
                                                       "retry_after"}) or \
                Resp(200, dumps(srv.limits.state()), "application/json; charset=utf-8")
            self._send(resp, [])
            self.close_connection = True
            return
        if path.startswith("/__admin/tree/"):
            self._send(self._admin_tree(path), [])
            self.close_connection = True
            return
        if path == "/__admin/log":
            resp = Resp(200, self.server.log.dump(), "application/json; charset=utf-8")
        elif path == "/__admin/reset":
            self.server.log.reset()
            self.server.versions.reset()
            resp = Resp(200, b'{"ok":true}', "application/json; charset=utf-8")
        elif path == "/__admin/release":
            self.server.hub.gate.release()
            resp = Resp(200, b'{"ok":true}', "application/json; charset=utf-8")
        elif path == "/__admin/health":
            resp = Resp(200, b'{"ok":true}', "application/json; charset=utf-8")
        else:
            resp = Resp(404, "unknown admin endpoint")
        self._send(resp, [])
        self.close_connection = True

    # -- fault layer

    def _respond(self, raw):
        srv = self.server
        faults, target = [], raw
        if raw.startswith("/__fault/"):
            cfg, _, rest = raw[len("/__fault/"):].partition("/")
            faults, target = parse_faults(unquote(cfg)), "/" + rest
        c = Ctx()
        c.host, c.hub, c.origin = srv.host_name, srv.hub, srv.origins[srv.host_name]
        c.faults, c.target = faults, target
        c.prefix = fault_prefix([f.token for f in faults])
        c.raw_path, _, c.raw_query = target.partition("?")
        # http.server hands the request line over as latin-1; undo that before percent-
        # decoding so raw UTF-8 and %-escaped UTF-8 name the same file.
        c.path = unquote_to_bytes(c.raw_path.encode("latin-1", "replace")).decode("utf-8", "replace")
        c.api = c.path.startswith("/api/")
        c.params = parse_qsl(c.raw_query, keep_blank_values=True)
        c.offset, c.page = 0, 1
        cur = self._param(c, "cursor")
        if cur is not None:
            try:
                pos = json.loads(base64.urlsafe_b64decode(cur + "=" * (-len(cur) % 4)))
                c.offset, c.page = int(pos["o"]), int(pos["p"])
            except Exception:
                return error_resp(400, "Invalid cursor", c.api), []
        c.auth = self._auth(c.hub)
        active = [f for f in faults if f.page is None or f.page == c.page]
        names = {f.name: f for f in active}
        if "delay" in names:
            time.sleep(names["delay"].value / 1000.0)
        if "hold" in names:
            srv.hub.gate.wait()
        for f in active:
            if f.name in REDIRECT_FAULTS and not (f.name == "redirects" and f.value < 1):
                return self._fault_redirect(c, f), active
        if "status" in names:
            return self._fault_status(c, names["status"].value), active
        c.names = names
        resp = self._ranges(c, self._route(c), names)
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

    def _fault_redirect(self, c, f):
        others = [x.token for x in c.faults if x is not f]
        if f.name == "redirect_loop":
            # A new counter on each hop, so a client cannot spot the loop by comparing URLs.
            toks = [x.token if x is not f else f"redirect_loop={f.value + 1}" for x in c.faults]
            return redirect_resp(302, c.origin + fault_prefix(toks) + c.target)
        if f.name == "redirects":
            toks = [x.token if x is not f else f"redirects={f.value - 1}" for x in c.faults
                    if x is not f or f.value > 1]
            return redirect_resp(302, c.origin + fault_prefix(toks) + c.target)
        if f.name == "redirect_host2":
            return redirect_resp(302, self.server.origins["host2"] + fault_prefix(others) + c.target)
        return redirect_resp(307, fault_prefix(others) + c.target, [("Vary", "Origin, Accept")])

    def _fault_status(self, c, code):
        msg = STATUS_TEXT.get(code) or (HTTPStatus(code).phrase if code in
                                        HTTPStatus._value2member_map_ else f"Status {code}")
        extra = []
        if code == 429:
            bucket, q = ("api", 500) if c.api else ("resolvers", 3000)
            extra = [("RateLimit", f'"{bucket}";r=0;t=120'),
                     ("RateLimit-Policy", f'"fixed window";"{bucket}";q={q};w=300')]
        return error_resp(code, msg, c.api, www=code == 401, headers=extra)

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

    # -- routes

    def _param(self, c, name, default=None):
        for k, v in c.params:
            if k == name:
                return v
        return default

    def _auth(self, hub):
        h = self.headers.get("Authorization")
        if h is None:
            return None
        scheme, _, value = h.partition(" ")
        return hub.tokens.get(value.strip(), INVALID) if scheme.lower() == "bearer" else INVALID

    def _route(self, c):
        segs = c.path.split("/")[1:]
        # A revision is one segment ("refs%2Fpr%2F1"): read it from the segments as sent, each decoded
        # on its own, as the hub does. Sent with raw slashes, "refs" is the revision and the rest a path.
        raw = [unquote_to_bytes(x.encode("latin-1", "replace")).decode("utf-8", "replace")
               for x in c.raw_path.split("/")[1:]]
        if c.host == "host2" and segs[0] == "cdn":
            return self._cdn(c, segs[1:])
        if c.host == "host2" and segs[0] == "redirect_back":
            rest = c.target[len("/redirect_back"):] or "/"
            return redirect_resp(302, self.server.origins["hub"] + c.prefix + rest)
        if segs[0] == "api":
            segs = segs[1:]
            if segs and segs[-1] == "":
                segs = segs[:-1]
            if segs and segs[0] == "resolve-cache":
                return self._resolve_cache(c, segs[1:])
            if segs == ["whoami-v2"]:
                if isinstance(c.auth, Token):
                    return json_resp(c.auth.whoami())
                return error_resp(401, "Invalid username or password.", True, www=True)
            if segs and segs[0] in ("models", "datasets"):
                kind = segs[0][:-1]
                if len(segs) == 1:
                    return self._listing(c, kind)
                if len(segs) == 3:
                    return self._info(c, kind, segs[1] + "/" + segs[2])
                if len(segs) == 4 and segs[3] == "refs":
                    return self._refs(c, kind, segs[1] + "/" + segs[2])
                if len(raw) >= 6 and raw[4] == "tree" and raw[:2] == ["api", segs[0]]:
                    return self._tree(c, kind, raw[2] + "/" + raw[3], raw[5], "/".join(raw[6:]).strip("/"))
                if len(segs) >= 5 and segs[3] == "tree":
                    return self._tree(c, kind, segs[1] + "/" + segs[2], segs[4],
                                      "/".join(segs[5:]).strip("/"))
            if segs and segs[0] == "collections":
                if len(segs) == 1:
                    return self._collections(c)
                coll = c.hub.collections.get("/".join(segs[1:]))
                if coll is None:
                    return error_resp(404, "Collection not found", True)
                return json_resp(coll.single_json())
            return error_resp(404, "Sorry, we can't find the page you are looking for.", True)
        kind = "model"
        if segs[0] == "datasets":
            kind, segs, raw = "dataset", segs[1:], raw[1:]
        if len(raw) >= 4 and raw[2] == "resolve":
            return self._resolve(c, kind, raw[0] + "/" + raw[1], raw[3], "/".join(raw[4:]))
        if len(segs) >= 4 and segs[2] == "resolve":
            return self._resolve(c, kind, segs[0] + "/" + segs[1], segs[3], "/".join(segs[4:]))
        return Resp(404, "Not Found")

    def _next_link(self, c, offset, page):
        cur = base64.urlsafe_b64encode(dumps({"o": offset, "p": page})).decode()
        keep = [p for p in c.raw_query.split("&") if p and p.split("=", 1)[0] != "cursor"]
        q = "&".join(keep + ["cursor=" + cur.replace("=", "%3D")])
        return ("Link", f'<{c.origin}{c.prefix}{c.raw_path}?{q}>; rel="next"')

    def _page(self, c, items, size, full_link=False):
        chunk = items[c.offset:c.offset + size]
        more = c.offset + size < len(items) or (full_link and len(chunk) == size)
        return chunk, [self._next_link(c, c.offset + size, c.page + 1)] if more else []

    def _limit(self, c, default, cap):
        v = self._param(c, "limit")
        try:
            n = int(v) if v not in (None, "") else default
        except ValueError:
            raise FaultError(f"bad limit {v!r}")
        return max(1, min(n, cap))

    def _listing(self, c, kind):
        expand = []
        for k, v in c.params:
            if k in ("expand", "expand[]"):
                expand += [x for x in v.split(",") if x]
        bad = [x for x in expand if x not in EXPAND_VALID]
        if bad:
            return error_resp(400, f'"expand" must be one of the allowed values, got {bad[0]}', True)
        author = self._param(c, "author")
        auth = c.auth if isinstance(c.auth, Token) else None
        items = c.hub.listing(kind, author, auth)
        owner = c.hub.owners.get(author)
        try:
            size = self._limit(c, LISTING_MAX, LISTING_MAX)
        except FaultError as e:
            return error_resp(400, str(e), True)
        chunk, link = self._page(c, items, size, bool(owner and owner.link_on_full_page))
        full = truthy(self._param(c, "full", ""))
        resp = json_resp([r.listing_item(expand, full) for r in chunk], headers=link)
        resp.items = len(chunk)
        return resp

    def _access(self, c, repo, repo_id, gate, fpath=None):
        """The hub's refusal for this repo and caller, or None when access is fine."""
        auth = c.auth
        if auth is INVALID:
            return error_resp(401, "Invalid credentials in Authorization header", c.api, www=True)
        if repo is None or (repo.private and not (auth and auth.member(repo.owner))):
            if auth is None:
                return error_resp(401, "Invalid username or password.", c.api, www=True)
            return error_resp(404, "Repository not found", c.api, code="RepoNotFound")
        if repo.disabled:
            return error_resp(403, "Access to this resource is disabled.", c.api)
        if gate and repo.gated and not (auth and auth.can_read_gated(repo)):
            if fpath in ROOT_FILES_OPEN:
                return None
            word = repo.kind
            if auth is None:
                return error_resp(401, f"Access to {word} {repo.id} is restricted. You must have "
                                  "access to it and be authenticated to access it. Please log in.",
                                  c.api, code="GatedRepo", www=True)
            if repo.id in auth.pending:
                return error_resp(403, f"Your request to access {word} {repo.id} is awaiting a "
                                  "review from the repo authors.", c.api, code="GatedRepo")
            page = self.server.origins["hub"] + "/" + ("datasets/" if word == "dataset" else "") \
                + repo.id
            return error_resp(403, f"Access to {word} {repo.id} is restricted and you are not in "
                              f"the authorized list. Visit {page} to ask for access.", c.api,
                              code="GatedRepo")
        return None

    def _renamed(self, c, repo):
        if repo is None or not repo.renamed_to:
            return None
        loc = c.prefix + quote(c.path.replace(repo.id, repo.renamed_to, 1), safe="/~")
        loc += ("?" + c.raw_query) if c.raw_query else ""
        return redirect_resp(307, loc, [("Vary", "Origin, Accept")])

    def _revision(self, c, repo, rev):
        """The repository at rev, or the hub's 404 for a revision it does not have."""
        at = repo.at(rev)
        return (at, None) if at else (None, error_resp(404, f"Invalid rev id: {rev}", c.api,
                                                       code="RevisionNotFound"))

    def _refs(self, c, kind, repo_id):
        repo = c.hub.repos.get((kind, repo_id))
        refusal = self._renamed(c, repo) or self._access(c, repo, repo_id, gate=False)
        if refusal:
            return refusal
        return json_resp(repo.refs_json(truthy(self._param(c, "include_prs", ""))))

    def _info(self, c, kind, repo_id):
        repo = c.hub.repos.get((kind, repo_id))
        refusal = self._renamed(c, repo) or self._access(c, repo, repo_id, gate=False)
        if refusal:
            return refusal
        d = {"_id": repo.mongo_id, "id": repo.id, "author": repo.owner, "sha": repo.sha,
             "lastModified": repo.last_modified, "private": repo.private, "gated": repo.gated,
             "disabled": repo.disabled, "tags": repo.field("tags"),
             "downloads": repo.field("downloads"), "likes": repo.field("likes")}
        if kind == "model":
            d["modelId"] = repo.id
        d["siblings"] = [{"rfilename": e[1]} for e in repo.entries() if e[0] == "file"]
        d["createdAt"] = repo.field("createdAt")
        return json_resp(d)

    def _tree(self, c, kind, repo_id, rev, sub):
        repo = c.hub.repos.get((kind, repo_id))
        refusal = self._renamed(c, repo) or self._access(c, repo, repo_id, gate=repo and repo.gate_tree)
        if refusal:
            return refusal
        repo, refusal = self._revision(c, repo, rev)
        if refusal:
            return refusal
        recursive = truthy(self._param(c, "recursive", ""))
        expand = truthy(self._param(c, "expand", ""))
        view = repo.tree_view(sub, recursive)
        if view is None:
            return error_resp(404, "Entry not found", True, code="EntryNotFound")
        if "tree_page_size" in repo.cfg:
            default = cap = int(repo.cfg["tree_page_size"])
        else:
            default, cap = (TREE_EXPAND_DEFAULT, TREE_EXPAND_MAX) if expand else (TREE_MAX, TREE_MAX)
        try:
            size = self._limit(c, default, cap)
        except FaultError as e:
            return error_resp(400, str(e), True)
        masked = bool(repo.gated) and not (isinstance(c.auth, Token)
                                           and c.auth.can_read_gated(repo))
        chunk, link = self._page(c, view, size)
        version = lambda node: self._file_version(c, repo, node.path, bump=False)
        resp = json_resp([listing_hash_faults(repo.tree_item(e, expand, masked, version), c.names)
                          if isinstance(e, tuple) else e for e in chunk], headers=link)
        resp.items, resp.dated = len(chunk), expand
        return resp

    def _collections(self, c):
        owners = [v for k, v in c.params if k == "owner"]
        colls = [x for o in c.hub.owners.values() if not owners or o.name in owners
                 for x in o.collections]
        if self._param(c, "sort") == "lastModified":
            colls = sorted(colls, key=lambda x: -parse_iso(x.last_updated))
        cap = min([COLLECTIONS_MAX] + [c.hub.owners[o].collections_page_size
                                       for o in owners if o in c.hub.owners])
        try:
            size = self._limit(c, cap, cap)
        except FaultError as e:
            return error_resp(400, str(e), True)
        chunk, link = self._page(c, colls, size)
        resp = json_resp([x.listing_json() for x in chunk], headers=link)
        resp.items = len(chunk)
        return resp

    def _resolve(self, c, kind, repo_id, rev, fpath):
        repo = c.hub.repos.get((kind, repo_id))
        refusal = (self._renamed(c, repo)
                   or self._access(c, repo, repo_id, gate=True, fpath=fpath))
        if refusal:
            return refusal
        repo, refusal = self._revision(c, repo, rev)
        if refusal:
            return refusal
        node = repo.file(fpath)
        if node is None:
            return error_resp(404, "Entry not found", False, code="EntryNotFound")
        common = [("X-Repo-Commit", repo.sha), ("Accept-Ranges", "bytes"), ("Vary", "Origin")]
        # Body faults ride along to wherever the bytes are served.
        keep = fault_prefix([f.token for f in c.faults if f.name not in REDIRECT_FAULTS])
        v = self._file_version(c, repo, fpath, bump=False)
        if node.lfs:
            loc = (self.server.origins["host2"] + keep + "/cdn/" + repo.plural + "/"
                   + quote(repo.id + "/" + fpath, safe="/")
                   + f"?X-Amz-Expires=3600&X-Amz-Signature={hexid('sig', repo.id, fpath, n=64)}"
                   + ("" if repo.ref_name == "main" else "&commit=" + repo.sha))
            return redirect_resp(302, loc, common + [
                ("X-Linked-Size", str(node.content.size)),
                ("X-Linked-Etag", f'"{node.lfs_oid(v)}"')])
        # A small file: a same-host relative 307 to the cached copy of that commit.
        oid = node.oid(v)
        loc = (keep + "/api/resolve-cache/" + repo.plural + "/" + quote(repo.id, safe="/") + "/"
               + repo.sha + "/" + quote(fpath, safe="/") + "?download=true&etag="
               + quote(f'"{oid}"', safe=""))
        return redirect_resp(307, loc, common + [("X-Linked-Etag", f'"{oid}"')])

    def _resolve_cache(self, c, segs):
        """/api/resolve-cache/{models|datasets}/OWNER/NAME/COMMIT/PATH: a small file's bytes."""
        if len(segs) < 5 or segs[0] not in ("models", "datasets"):
            return error_resp(404, "Sorry, we can't find the page you are looking for.", True)
        repo_id, commit, fpath = segs[1] + "/" + segs[2], segs[3], "/".join(segs[4:])
        repo = c.hub.repos.get((segs[0][:-1], repo_id))
        refusal = self._access(c, repo, repo_id, gate=True, fpath=fpath)
        if refusal:
            return refusal
        at = repo.at(commit) if len(commit) == 40 else None
        if at is None or at.sha != commit:
            return error_resp(404, f"Invalid rev id: {commit}", True, code="RevisionNotFound")
        repo = at
        node = repo.file(fpath)
        if node is None or node.lfs:
            return error_resp(404, "Entry not found", True, code="EntryNotFound")
        etag = f'"{node.oid(self._file_version(c, repo, fpath, bump=False))}"'
        if self.headers.get("If-None-Match", "").strip() in (etag, "*"):
            return Resp(304, headers=[("ETag", etag), ("Accept-Ranges", "bytes"),
                                      ("X-Repo-Commit", repo.sha)])
        v = self._file_version(c, repo, fpath, bump=True)
        base = fpath.rsplit("/", 1)[-1]
        ascii_name = "".join(ch if 32 <= ord(ch) < 127 and ch != '"' else "_" for ch in base)
        resp = file_resp(repo, node, node.ctype or "text/plain; charset=utf-8", v, [
            ("Content-Disposition", f"inline; filename*=UTF-8''{quote(base, safe='')}; "
                                    f'filename="{ascii_name}";'),
            ("ETag", f'"{node.oid(v)}"'), ("X-Repo-Commit", repo.sha), ("Accept-Ranges", "bytes"),
            ("Vary", "Origin")])
        resp.cdn = True
        return resp

    def _cdn(self, c, segs):
        if len(segs) < 4 or segs[0] not in ("models", "datasets"):
            return Resp(404, "NoSuchKey")
        repo = c.hub.repos.get((segs[0][:-1], segs[1] + "/" + segs[2]))
        commit = self._param(c, "commit")
        if repo and commit:
            repo = repo.at(commit)     # a file of another revision than main
        node = repo.file("/".join(segs[3:])) if repo else None
        if node is None:
            return Resp(404, "NoSuchKey")
        v = self._file_version(c, repo, node.path, bump=True)
        resp = file_resp(repo, node, node.ctype or "application/octet-stream", v,
                         [("ETag", f'"{xet_hash(node, v)}"'), ("Accept-Ranges", "bytes")])
        resp.cdn = True
        return resp

    # -- ranges and file versions (downloads in parts, resumed, verified)

    def _file_version(self, c, repo, fpath, bump):
        """0, or 1 once the file has changed (change_after=N: after N requests for its bytes)."""
        f = c.names.get("change_after")
        if f is None:
            return 0
        key = ("change", f.token, repo.kind, repo.id, fpath)
        return self.server.versions.current(key, f.value, bump)

    def _ranges(self, c, resp, names):
        if "no_ranges" in names:
            resp.headers = [h for h in resp.headers if h[0] != "Accept-Ranges"]
        header = self.headers.get("Range")
        if (not resp.ranged or resp.status != 200 or header is None or "no_ranges" in names
                or "range_200" in names):
            return resp
        if resp.cdn and accepts_gzip(self.headers.get("Accept-Encoding")):
            return resp         # the storage network answers such a request whole
        if_range = self.headers.get("If-Range")
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
            if k is None or self.server.versions.count(("cut", cut.token) + resp.file_key) <= k:
                resp.cut = n
        return resp

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


def find_scenario(name):
    for cand in (name, os.path.join(SCENARIO_DIR, name), os.path.join(SCENARIO_DIR, name + ".json")):
        if os.path.isfile(cand):
            return cand
    raise ScenarioError(f"scenario not found: {name}")


def load_hub(names):
    docs = []
    for name in names or ["tests.json"]:
        path = find_scenario(name)
        try:
            with open(path, encoding="utf-8") as f:
                docs.append(json.load(f))
        except ValueError as e:
            raise ScenarioError(f"{path}: {e}")
    return Hub(docs)


def main(argv=None):
    ap = argparse.ArgumentParser(description="Fake HuggingFace hub for tarnfs tests.")
    ap.add_argument("--scenario", action="append", default=[],
                    help="scenario JSON (path or name in scenarios/); repeat to merge")
    ap.add_argument("--port", type=int, default=0, help="hub port (0 = any free port)")
    ap.add_argument("--port2", type=int, default=0, help="second host's port (0 = any)")
    ap.add_argument("--bind", default="127.0.0.1")
    ap.add_argument("--verbose", action="store_true", help="log each request to stderr")
    ap.add_argument("--exit-on-stdin-eof", action="store_true",
                    help="stop when stdin closes (used by run_with_hub.py so a killed parent "
                         "never leaves the hub behind)")
    cost = ap.add_argument_group("costs (0 by default; --realistic-costs: "
                                 + ", ".join(f"{k}={v:g}" for k, v in REALISTIC_COSTS.items()) + ")")
    cost.add_argument("--realistic-costs", action="store_true",
                      help="the real hub's round trip and costs per item")
    cost.add_argument("--rtt-ms", type=float, help="round trip added to every answer")
    cost.add_argument("--item-ms", type=float, help="cost per item of a listing page")
    cost.add_argument("--expand-item-ms", type=float, help="cost per tree item with dates")
    lim = ap.add_argument_group("rate limits (the real hub's by default)")
    lim.add_argument("--api-quota", type=int, help="API requests per window, anonymous (500)")
    lim.add_argument("--resolvers-quota", type=int, help="downloads per window, anonymous (3000)")
    lim.add_argument("--api-quota-token", type=int, help="API requests per window with a token (1000)")
    lim.add_argument("--resolvers-quota-token", type=int,
                     help="downloads per window with a token (5000)")
    lim.add_argument("--rate-window", type=int, help="window length in seconds (300)")
    lim.add_argument("--retry-after", choices=RETRY_AFTER_FORMS,
                     help="the 429's Retry-After: seconds (default), an HTTP date, or none")
    lim.add_argument("--lift-rate-limits", action="store_true",
                     help=f"every quota {LIFTED_QUOTA} (headers as usual): for tests of other things")
    args = ap.parse_args(argv)
    try:
        hub = load_hub(args.scenario)
    except ScenarioError as e:
        sys.stderr.write(f"fakehub: {e}\n")
        return 2
    costs, limits = Costs(), RateLimits()
    try:
        if args.realistic_costs:
            costs.configure(**REALISTIC_COSTS)
        costs.configure(rtt_ms=args.rtt_ms, item_ms=args.item_ms, expand_item_ms=args.expand_item_ms)
        limits.configure(api=args.api_quota, resolvers=args.resolvers_quota,
                         api_token=args.api_quota_token, resolvers_token=args.resolvers_quota_token,
                         window=args.rate_window, retry_after=args.retry_after,
                         lift=args.lift_rate_limits)
    except ValueError as e:
        sys.stderr.write(f"fakehub: {e}\n")
        return 2
    hub.gate = HoldGate()
    log, origins = RequestLog(), {}
    servers = [Server((args.bind, args.port), "hub", hub, log, origins, args.verbose),
               Server((args.bind, args.port2), "host2", hub, log, origins, args.verbose)]
    versions = Versions()
    for s in servers:
        s.versions, s.costs, s.limits = versions, costs, limits
    threading.Thread(target=prehash_large_files, args=(hub,), daemon=True).start()
    host = "127.0.0.1" if args.bind in ("0.0.0.0", "") else args.bind
    for s in servers:
        origins[s.host_name] = f"http://{host}:{s.server_address[1]}"
    for s in servers:
        threading.Thread(target=s.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *a: stop.set())
    signal.signal(signal.SIGINT, lambda *a: stop.set())
    if args.exit_on_stdin_eof:
        def watch_stdin():
            while sys.stdin.buffer.read(4096):
                pass
            stop.set()
        threading.Thread(target=watch_stdin, daemon=True).start()
    print(json.dumps({"port": servers[0].server_address[1], "port2": servers[1].server_address[1]}),
          flush=True)
    while not stop.wait(0.1):
        pass
    for s in servers:
        s.shutdown()
        s.server_close()
    sys.stdout.flush()
    sys.stderr.flush()
    # A thread blocked reading stdin cannot be woken; a normal interpreter exit would
    # abort on it, so leave at once now that the sockets are closed.
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main())
