"""The endpoints under /__admin/ that tests and benchmarks use to steer the hub and read what it
saw: the request log, costs, rate limits, the storage host's upload settings, held requests, a
folder's ground truth, the commit a revision is at, and commits that move a branch under a client."""

import json
from urllib.parse import parse_qsl, unquote

from hub.commits import CommitError, make_commit
from hub.common import ScenarioError, check_keys, truthy
from hub.rate_limits import REALISTIC_COSTS
from hub.responses import Resp, dumps, json_resp

OK = b'{"ok":true}'
JSON = "application/json; charset=utf-8"


def _settings(query, apply, keys):
    values = dict(parse_qsl(query, keep_blank_values=True))
    unknown = set(values) - keys
    if unknown:
        return Resp(400, f"unknown setting(s) {sorted(unknown)}")
    try:
        apply(values)
    except ValueError as e:
        return Resp(400, str(e))
    return None


def _tree(srv, path):
    segs = unquote(path).split("/")[3:]
    if len(segs) < 3 or segs[0] not in ("models", "datasets", "spaces"):
        return Resp(404, "unknown repository")
    repo = srv.hub.repos.get((segs[0][:-1], segs[1] + "/" + segs[2]))
    view = repo.tree_view("/".join(segs[3:]).strip("/"), False) if repo else None
    if view is None:
        return Resp(404, "unknown repository or folder")
    return json_resp([repo.head.tree_item(e, True, False) for e in view[0:len(view)]])


def _sha(srv, path, query):
    """The commit a revision (`rev`, default main) of a repository is at now, as info's `sha` says,
    without a request in the log or against the rate limits."""
    segs = unquote(path).split("/")[3:]
    if len(segs) != 3 or segs[0] not in ("models", "datasets", "spaces"):
        return Resp(404, "unknown repository")
    repo = srv.hub.repos.get((segs[0][:-1], segs[1] + "/" + segs[2]))
    commit = repo.at(dict(parse_qsl(query)).get("rev", "main")) if repo else None
    if commit is None:
        return Resp(404, "unknown repository or revision")
    return json_resp({"sha": commit.sha})


COMMIT_KEYS = {"kind", "repo", "branch", "files", "delete", "title", "date", "parent"}


def _commit(srv, method, body):
    """POST {"kind", "repo", "branch", "files", "delete", "title", "date", "parent"}: a new commit
    on the branch, answered with its sha and its parent's."""
    if method != "POST":
        return Resp(405, "POST a commit", headers=[("Allow", "POST")])
    try:
        req = json.loads(body or b"null")
        check_keys(req, COMMIT_KEYS, "commit")
        files, deletes = req.get("files", []), req.get("delete", [])
        if not (isinstance(files, list) and all(isinstance(f, dict) for f in files)
                and isinstance(deletes, list) and all(isinstance(p, str) for p in deletes)):
            raise ScenarioError("files is a list of FILE objects, delete a list of paths")
        if any(not isinstance(req.get(k, ""), str) for k in ("kind", "repo", "branch", "title", "date", "parent")):
            raise ScenarioError("kind, repo, branch, title, date and parent are strings")
    except (ValueError, ScenarioError) as e:
        return json_resp({"error": str(e)}, 400)
    repo = srv.hub.repos.get((req.get("kind", "model"), req.get("repo")))
    if repo is None:
        return json_resp({"error": "Repository not found"}, 404)
    try:
        commit = make_commit(srv.hub, repo, req.get("branch", "main"), files, deletes,
                             req.get("title", ""), req.get("date"), req.get("parent"))
    except CommitError as e:
        return json_resp({"error": e.message}, e.status,
                         [("X-Error-Code", e.code)] if e.code else [])
    return json_resp({"sha": commit.sha, "parent": commit.parent.sha})


def answer(srv, method, raw, body):
    """The answer to an admin request (never logged, never limited, never faulted)."""
    path, _, query = raw.partition("?")
    if path == "/__admin/commit":
        return _commit(srv, method, body)
    if path == "/__admin/costs":
        def apply(v):
            if truthy(v.pop("realistic", "")):
                srv.costs.configure(**REALISTIC_COSTS)
            srv.costs.configure(**v)
        return _settings(query, apply, {"realistic", "rtt_ms", "item_ms", "expand_item_ms"}) or \
            Resp(200, dumps(srv.costs.state()), JSON)
    if path == "/__admin/limits":
        def apply(v):
            lift = truthy(v.pop("lift", ""))
            srv.limits.configure(lift=lift, **{k: x for k, x in v.items()})
        return _settings(query, apply, {"lift", "api", "resolvers", "api_token", "resolvers_token",
                                        "window", "retry_after", "commits", "commit_window"}) or \
            Resp(200, dumps(srv.limits.state()), JSON)
    if path == "/__admin/storage":
        return _settings(query, lambda v: srv.hub.storage.configure(**v),
                         {"upload_rate", "part_size", "multipart_threshold"}) or \
            Resp(200, dumps(srv.hub.storage.state()), JSON)
    if path.startswith("/__admin/tree/"):
        return _tree(srv, path)
    if path.startswith("/__admin/sha/"):
        return _sha(srv, path, query)
    if path == "/__admin/log":
        return Resp(200, srv.log.dump(), JSON)
    if path == "/__admin/reset":
        srv.log.reset()
        srv.versions.reset()
        return Resp(200, OK, JSON)
    if path == "/__admin/release":
        srv.hub.gate.release()
        return Resp(200, OK, JSON)
    if path == "/__admin/health":
        return Resp(200, OK, JSON)
    return Resp(404, "unknown admin endpoint")
