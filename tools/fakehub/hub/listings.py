"""What the API lists: an owner's repositories, trees (recursive or one folder), repository info,
refs, collections and whoami."""

from hub.access import access, renamed, revision
from hub.commits import DEFAULT_REF
from hub.common import parse_iso, truthy
from hub.downloads import file_version
from hub.faults import FaultError, listing_hash_faults
from hub.responses import error_resp, json_resp
from hub.scenario import COLLECTIONS_MAX, Token

LISTING_MAX = 1000          # largest page the hub serves for /api/models and /api/datasets
TREE_MAX = 1000             # tree page without dates: the default and the largest
TREE_EXPAND_DEFAULT = 50    # tree page with dates (expand=true) when no limit is asked for
TREE_EXPAND_MAX = 100       # ... and the largest a limit gets
# What a listing may expand: for models and datasets (the hub's 400 text names these), for Spaces.
EXPAND_VALID = {
    "author", "baseModels", "cardData", "config", "createdAt", "disabled", "downloads",
    "downloadsAllTime", "evalResults", "gated", "inference", "inferenceProviderMapping",
    "lastModified", "library_name", "likes", "mask_token", "model-index", "pipeline_tag",
    "private", "safetensors", "sha", "siblings", "spaces", "tags", "transformersInfo",
    "trendingScore", "widgetData", "gguf", "resourceGroup", "xetEnabled", "description",
    "citation", "paperswithcode_id",
}
SPACE_EXPAND = {
    "author", "cardData", "createdAt", "datasets", "disabled", "lastModified", "likes", "models",
    "private", "region", "runtime", "sdk", "siblings", "sha", "subdomain", "tags", "trendingScore",
    "usedStorage", "resourceGroup",
}
# What repository info may expand, per kind.
INFO_EXPAND = {
    "model": {
        "author", "baseModels", "cardData", "childrenModelCount", "config", "createdAt", "disabled",
        "downloads", "downloadsAllTime", "evalResults", "gated", "gguf", "inference",
        "inferenceProviderMapping", "lastModified", "library_name", "likes", "mask_token",
        "model-index", "pipeline_tag", "private", "safetensors", "sha", "siblings", "spaces", "tags",
        "transformersInfo", "trendingScore", "widgetData", "usedStorage", "resourceGroup", "xetEnabled",
    },
    "dataset": {
        "author", "cardData", "citation", "createdAt", "description", "disabled", "downloads",
        "downloadsAllTime", "gated", "lastModified", "likes", "paperswithcode_id", "private",
        "siblings", "sha", "tags", "trendingScore", "usedStorage", "resourceGroup", "xetEnabled",
    },
    "space": SPACE_EXPAND,
}


def expand_params(c):
    """The properties asked for: repeated `expand=`, `expand[]=` (also sent as `expand%5B%5D=`), or a
    comma list."""
    out = []
    for k, v in c.params:
        if k in ("expand", "expand[]"):
            out += [x for x in v.split(",") if x]
    return out


def bad_expand(expand, valid):
    bad = [x for x in expand if x not in valid]
    if bad:
        return error_resp(400, f'"expand" must be one of the allowed values, got {bad[0]}', True)
    return None


def whoami(c):
    if isinstance(c.auth, Token):
        return json_resp(c.auth.whoami())
    return error_resp(401, "Invalid username or password.", True, www=True)


def listing(c, kind):
    expand = expand_params(c)
    refusal = bad_expand(expand, SPACE_EXPAND if kind == "space" else EXPAND_VALID)
    if refusal:
        return refusal
    author = c.param("author")
    auth = c.auth if isinstance(c.auth, Token) else None
    items = c.hub.listing(kind, author, auth)
    owner = c.hub.owners.get(author)
    try:
        size = c.limit(LISTING_MAX, LISTING_MAX)
    except FaultError as e:
        return error_resp(400, str(e), True)
    chunk, link = c.page_of(items, size, bool(owner and owner.link_on_full_page))
    full = truthy(c.param("full", ""))
    resp = json_resp([r.listing_item(expand, full) for r in chunk], headers=link)
    resp.items = len(chunk)
    return resp


def refs(c, kind, repo_id):
    repo = c.hub.repos.get((kind, repo_id))
    refusal = renamed(c, repo) or access(c, repo, repo_id, gate=False)
    if refusal:
        return refusal
    return json_resp(repo.refs_json(truthy(c.param("include_prs", ""))))


def info(c, kind, repo_id, rev=None):
    """A repository's info at rev (HEAD, the default branch, when none is named); with `expand`
    only `_id`, `id` and the properties asked for."""
    repo = c.hub.repos.get((kind, repo_id))
    refusal = renamed(c, repo) or access(c, repo, repo_id, gate=False)
    if refusal:
        return refusal
    expand = expand_params(c)
    refusal = bad_expand(expand, INFO_EXPAND[kind])
    if refusal:
        return refusal
    commit, refusal = revision(c, repo, DEFAULT_REF if rev in (None, "HEAD") else rev)
    if refusal:
        return refusal
    if not expand:
        return json_resp(repo.info_json(commit))
    d = {"_id": repo.mongo_id, "id": repo.id}
    for k in expand:
        v = repo.field(k, commit)
        if v is not None:
            d[k] = v
    return json_resp(d)


def tree(c, kind, repo_id, rev, sub):
    repo = c.hub.repos.get((kind, repo_id))
    refusal = renamed(c, repo) or access(c, repo, repo_id, gate=repo and repo.gate_tree)
    if refusal:
        return refusal
    commit, refusal = revision(c, repo, rev)
    if refusal:
        return refusal
    recursive = truthy(c.param("recursive", ""))
    expand = truthy(c.param("expand", ""))
    view = commit.tree_view(sub, recursive)
    if view is None:
        return error_resp(404, "Entry not found", True, code="EntryNotFound")
    if "tree_page_size" in repo.cfg:
        default = cap = int(repo.cfg["tree_page_size"])
    else:
        default, cap = (TREE_EXPAND_DEFAULT, TREE_EXPAND_MAX) if expand else (TREE_MAX, TREE_MAX)
    try:
        size = c.limit(default, cap)
    except FaultError as e:
        return error_resp(400, str(e), True)
    masked = bool(repo.gated) and not (isinstance(c.auth, Token) and c.auth.can_read_gated(repo))
    chunk, link = c.page_of(view, size)
    version = lambda node: file_version(c, repo, node.path, bump=False)
    resp = json_resp([listing_hash_faults(commit.tree_item(e, expand, masked, version), c.names)
                      if isinstance(e, tuple) else e for e in chunk], headers=link)
    resp.items, resp.dated = len(chunk), expand
    return resp


def collections(c):
    owners = [v for k, v in c.params if k == "owner"]
    colls = [x for o in c.hub.owners.values() if not owners or o.name in owners
             for x in o.collections]
    if c.param("sort") == "lastModified":
        colls = sorted(colls, key=lambda x: -parse_iso(x.last_updated))
    cap = min([COLLECTIONS_MAX] + [c.hub.owners[o].collections_page_size
                                   for o in owners if o in c.hub.owners])
    try:
        size = c.limit(cap, cap)
    except FaultError as e:
        return error_resp(400, str(e), True)
    chunk, link = c.page_of(colls, size)
    resp = json_resp([x.listing_json() for x in chunk], headers=link)
    resp.items = len(chunk)
    return resp


def collection(c, slug):
    coll = c.hub.collections.get(slug)
    if coll is None:
        return error_resp(404, "Collection not found", True)
    return json_resp(coll.single_json())
