"""Small helpers and limits every part of the fake hub shares: ids, dates, scenario checks."""

import hashlib
import json
from datetime import datetime, timezone

CHUNK = 65536
DEFAULT_DATE = "2024-01-01T00:00:00.000Z"


class ScenarioError(Exception):
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
