"""The endpoints under /__admin/ that tests and benchmarks use to steer the hub and read what it
saw: the request log, costs, rate limits, held requests and a folder's ground truth."""

from urllib.parse import parse_qsl, unquote

from hub.common import truthy
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
    if len(segs) < 3 or segs[0] not in ("models", "datasets"):
        return Resp(404, "unknown repository")
    repo = srv.hub.repos.get((segs[0][:-1], segs[1] + "/" + segs[2]))
    view = repo.tree_view("/".join(segs[3:]).strip("/"), False) if repo else None
    if view is None:
        return Resp(404, "unknown repository or folder")
    return json_resp([repo.tree_item(e, True, False) if isinstance(e, tuple) else e
                      for e in view[0:len(view)]])


def answer(srv, raw):
    """The answer to an admin request (never logged, never limited, never faulted)."""
    path, _, query = raw.partition("?")
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
                                        "window", "retry_after"}) or \
            Resp(200, dumps(srv.limits.state()), JSON)
    if path.startswith("/__admin/tree/"):
        return _tree(srv, path)
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
