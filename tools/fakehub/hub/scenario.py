"""The scenario model: owners, repositories with their files, folders and generated trees,
collections and tokens, read from the scenario files."""

import json
import os
import threading

from hub.commits import DEFAULT_REF
from hub.common import (DEFAULT_DATE, ScenarioError, check_keys, hexid, iso, parse_iso, shaped,
                        slugify)
from hub.trees import Commit

SCENARIO_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scenarios")
COLLECTIONS_MAX = 100       # largest page of /api/collections


REPO_KEYS = {"name", "lastModified", "createdAt", "private", "gated", "gate_tree", "disabled",
             "renamed_to", "tree_page_size", "implicit_dirs", "dir_commits", "files",
             "generate_tree", "generate_folders", "tree_raw", "listing_override", "listing_drop", "listing_raw",
             "also_at", "downloads", "likes", "tags", "pipeline_tag", "library_name", "sha", "revisions"}
SPACE_KEYS = {"sdk"}
SPACE_SDKS = {"gradio", "docker", "static", "streamlit"}
REVISION_KEYS = {"name", "kind", "files", "sha", "lastModified"}
# A revision's kind, and the prefix of its full ref ("" where the name is the ref).
REVISION_KINDS = {"branch": "refs/heads/", "tag": "refs/tags/", "pr": "", "convert": ""}
REF_GROUPS = (("branches", "refs/heads/"), ("converts", "refs/convert/"), ("tags", "refs/tags/"),
              ("pullRequests", "refs/pr/"))


class Repo:
    """A model, dataset or Space: what it is (access, listing values) and its history: every commit it
    ever had, and the refs (branches, tags, pull requests, conversions) that point at them."""

    def __init__(self, hub, kind, owner, cfg):
        check_keys(cfg, REPO_KEYS | (SPACE_KEYS if kind == "space" else set()),
                   f"{owner}: {kind} {cfg.get('name')}")
        self.hub, self.kind, self.owner, self.cfg = hub, kind, owner, cfg
        self.name = cfg["name"]
        self.id = f"{owner}/{self.name}"
        self.private = bool(cfg.get("private"))
        self.gated = cfg.get("gated", False)
        self.gate_tree = bool(cfg.get("gate_tree"))
        self.disabled = bool(cfg.get("disabled"))
        self.renamed_to = cfg.get("renamed_to")
        self.mongo_id = hexid("repo", kind, self.id)
        self.sdk = cfg.get("sdk", "static")
        if kind == "space" and self.sdk not in SPACE_SDKS:
            raise ScenarioError(f"{self.id}: sdk {self.sdk!r} is none of {sorted(SPACE_SDKS)}")
        self.refs, self.commits = {}, {}
        date = cfg.get("lastModified", DEFAULT_DATE)
        tree = {k: cfg[k] for k in ("files", "generate_tree", "generate_folders") if k in cfg}
        self._scenario_commit(DEFAULT_REF, cfg.get("sha") or hexid("sha", kind, self.id, date, n=40),
                              date, tree, cfg.get("tree_raw"))
        for rv in cfg.get("revisions", []):
            check_keys(rv, REVISION_KEYS, f"{self.id}: revision {rv.get('name')}")
            name, rkind = rv["name"], rv.get("kind", "branch")
            if rkind not in REVISION_KINDS:
                raise ScenarioError(f"{self.id}: revision {name}: unknown kind {rkind!r}")
            if (rkind == "pr") != name.startswith("refs/pr/") or \
                    (rkind == "convert") != name.startswith("refs/convert/"):
                raise ScenarioError(f"{self.id}: revision {name}: a pr is refs/pr/N, a convert refs/convert/NAME")
            self._scenario_commit(REVISION_KINDS[rkind] + name,
                                  rv.get("sha") or hexid("sha", kind, self.id, name, n=40),
                                  rv.get("lastModified", date), {"files": rv.get("files", [])})

    def _scenario_commit(self, ref, sha, date, tree, raw=None):
        """A ref of the scenario: one commit holding its file set, its history before left out."""
        self.refs[ref] = self.commits[sha] = Commit(self, sha, None, date, "Initial commit", source=tree,
                                                    raw=raw, origin=None if ref == DEFAULT_REF else sha)

    def add_commit(self, ref, commit):
        """Moves ref to a commit just made (under the hub's lock)."""
        self.commits[commit.sha] = commit
        self.refs[ref] = commit
        if ref == DEFAULT_REF:
            self.hub.forget_listings()

    @property
    def head(self):
        return self.refs[DEFAULT_REF]

    @property
    def sha(self):
        return self.head.sha

    @property
    def last_modified(self):
        return self.head.date

    @property
    def sort_ts(self):
        return parse_iso(self.last_modified)

    def at(self, rev):
        """The commit rev names (a branch, tag or ref by its name or full ref, or a commit the
        repository ever had), or None."""
        for full in (rev, "refs/heads/" + rev, "refs/tags/" + rev):
            if full.startswith("refs/") and full in self.refs:
                return self.refs[full]
        return self.commits.get(rev)

    def refs_json(self, include_prs):
        d = {}
        for group, prefix in REF_GROUPS:
            if group != "pullRequests" or include_prs:
                d[group] = [{"name": ref[len(prefix):], "ref": ref, "targetCommit": c.sha}
                            for ref, c in self.refs.items() if ref.startswith(prefix)]
        return d

    # The main branch's tree, for tools that look at a repository as it is now.
    def file(self, path):
        return self.head.file(path)

    def tree_view(self, sub, recursive):
        return self.head.tree_view(sub, recursive)

    def entries(self):
        return self.head.entries()

    @property
    def plural(self):
        return self.kind + "s"

    @property
    def subdomain(self):
        return "-".join("".join(ch if ch.isalnum() else "-" for ch in self.id.lower()).split("-"))

    def field(self, key, commit=None):
        """A listing's or info's value of key (None: the repository has none), at commit or main."""
        s, commit = self.cfg, commit or self.head
        values = {
            "author": self.owner, "createdAt": s.get("createdAt", "2022-03-02T23:29:04.000Z"),
            "disabled": self.disabled, "gated": self.gated, "lastModified": commit.date,
            "likes": s.get("likes", 0), "private": self.private, "sha": commit.sha,
            "tags": s.get("tags", ["region:us"]), "trendingScore": 0,
        }
        if self.kind == "space":
            values.update({"sdk": self.sdk, "subdomain": self.subdomain, "runtime": {
                "stage": "RUNNING", "hardware": {"current": "cpu-basic", "requested": "cpu-basic"},
                "storage": None, "gcTimeout": 172800, "devMode": False}})
        else:
            values.update({"downloads": s.get("downloads", 0), "library_name": s.get("library_name"),
                           "pipeline_tag": s.get("pipeline_tag")})
        if key == "siblings":
            return [{"rfilename": e[1]} for e in commit.entries() if e[0] == "file"]
        return values.get(key)

    def info_json(self, commit):
        """The repository's info at commit, every member (expand picks from it)."""
        keys = ["author", "sha", "lastModified", "private", "gated", "disabled", "tags"]
        keys += ["likes", "sdk", "runtime", "subdomain"] if self.kind == "space" else ["downloads", "likes"]
        d = {"_id": self.mongo_id, "id": self.id}
        d.update((k, self.field(k, commit)) for k in keys)
        if self.kind == "model":
            d["modelId"] = self.id
        if self.kind == "space":
            d["host"] = f"https://{self.subdomain}.hf.space"
        d["siblings"] = self.field("siblings", commit)
        d["createdAt"] = self.field("createdAt")
        return d

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
        elif self.kind == "space":
            d = {"_id": self.mongo_id, "id": self.id}
            for k in ("author", "sdk", "private", "likes", "lastModified", "subdomain", "createdAt",
                      "tags", "sha"):
                d[k] = self.field(k)
        else:
            d = {"_id": self.mongo_id, "id": self.id}
            for k in ("author", "disabled", "gated", "lastModified", "likes", "trendingScore",
                      "private", "downloads", "tags", "createdAt"):
                d[k] = self.field(k)
            if full:
                d["sha"] = self.sha
        return shaped(d, self.cfg, "listing")


KINDS = ("model", "dataset", "space")
OWNER_KEYS = {"type", "fullname", "models", "datasets", "spaces", "generate_models", "generate_datasets",
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
        self.repos = {kind: [] for kind in KINDS}
        for kind in KINDS:
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
                d.update({"title": it.get("title", iid), "sdk": repo.sdk if repo else "static",
                          "emoji": "\U0001F30E",
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


TOKEN_KEYS = {"user", "fullname", "orgs", "role", "writes", "granted", "pending", "displayName"}
TOKEN_ROLES = ("read", "write")


class Token:
    def __init__(self, value, cfg):
        check_keys(cfg, TOKEN_KEYS, "token")
        self.value, self.cfg = value, cfg
        self.user = cfg.get("user", "tester")
        self.orgs = list(cfg.get("orgs", []))
        self.role = cfg.get("role", "read")
        if self.role not in TOKEN_ROLES:
            raise ScenarioError(f"token of {self.user}: role {self.role!r} is none of {TOKEN_ROLES}")
        # A write token writes its user's repositories and those of the organisations it names.
        self.writes = set(cfg.get("writes", []))
        if not self.writes <= set(self.orgs):
            raise ScenarioError(f"token of {self.user}: writes names an organisation it is not in")
        self.granted = set(cfg.get("granted", []))
        self.pending = set(cfg.get("pending", []))

    def member(self, owner):
        return owner == self.user or owner in self.orgs

    def can_write(self, repo):
        return self.role == "write" and (repo.owner == self.user or repo.owner in self.writes)

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
                          "isEnterprise": False,
                          "roleInOrg": "write" if o in self.writes else "read"} for o in self.orgs],
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
                if k in ("models", "datasets", "spaces", "collections"):
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
            for kind in KINDS:
                for r in o.repos[kind]:
                    self.repos[(kind, r.id)] = r
            for c in o.collections:
                self.collections[c.slug] = c
        self.tokens = {v: Token(v, s) for v, s in data["tokens"].items()}
        self._listings = {}

    def forget_listings(self):
        """A commit on a main branch changes its repository's date, and so the listings' order."""
        with self.lock:
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
