#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora (tests/fuzz/corpus/<target>/) from the fake hub's answers.

usage: tools/fakehub/run_with_hub.py -- python3 tests/fuzz/make_seeds.py

Hub bodies are cut to a few items so the seeds stay small; the cache and favorites seeds are the
module's own file shapes filled from the same answers. Text targets (Link, URL, Location) take
UTF-16LE input.
"""
import json
import os
import urllib.error
import urllib.request

HUB = os.environ["TARN_HUB_URL"]
OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def get(rest, token=None):
    """The answer's headers and body, whatever its status."""
    req = urllib.request.Request(HUB + rest, headers={"Authorization": "Bearer " + token} if token else {})
    try:
        with urllib.request.urlopen(req) as r:
            return r.headers, r.read().decode("utf-8")
    except urllib.error.HTTPError as e:
        return e.headers, e.read().decode("utf-8")


def seed(target, name, data):
    folder = os.path.join(OUT, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode("utf-8"))


def hub_seed(target, name, rest, keep=3, token=None):
    headers, body = get(rest, token)
    link, value = headers.get("Link", ""), json.loads(body)
    if isinstance(value, list):
        value = value[:keep]
    text = json.dumps(value, ensure_ascii=False, separators=(",", ":"))
    seed(target, name, (link + "\n\n" + text) if link else text)
    return value, link


orgs, link = hub_seed("hub_org_page", "models", "api/models?author=quirks-org&limit=5&sort=lastModified&expand=lastModified")
hub_seed("hub_org_page", "datasets", "api/datasets?author=quirks-org&limit=3&sort=lastModified")
hub_seed("hub_org_page", "spaces", "api/spaces?author=spaces-org&limit=3&sort=lastModified&expand=lastModified&expand=sdk")
hub_seed("hub_org_page", "full", "api/models?author=files-org&limit=2&full=true")
tree, tree_link = hub_seed("hub_tree_page", "basic", "api/models/files-org/basic/tree/main?recursive=true&expand=true", 4)
hub_seed("hub_tree_page", "raw", "api/models/files-org/raw-tree/tree/main?recursive=true&expand=true", 8)
hub_seed("hub_tree_page", "refused", "api/models/gated-org/gated-tree/tree/main?recursive=true&expand=true")
colls, coll_link = hub_seed("hub_collections_page", "page", "api/collections?owner=coll-org&limit=2", 2)
single, _ = hub_seed("hub_collection", "favourites", "api/collections/coll-org/favourites-65f000000000000000000001")
hub_seed("hub_collection", "oddities", "api/collections/coll-org/parsing-oddities-65f000000000000000000006")
hub_seed("hub_whoami", "good", "api/whoami-v2", token="hf_test_good")
hub_seed("hub_whoami", "refused", "api/whoami-v2", token="hf_nope")
hub_seed("hub_space_info", "sdk", "api/spaces/spaces-org/chat-demo?expand=sdk")
hub_seed("hub_space_info", "full", "api/spaces/spaces-org/docker-app")
hub_seed("hub_space_info", "refused", "api/spaces/spaces-org/private-lab?expand=sdk")


def rate_limit_seed(name, rest, extra=""):
    """The rate-limit headers of one answer, as header lines."""
    headers, _ = get(rest)
    lines = "".join(f"{k}: {v}\r\n" for k, v in headers.items()
                    if k.lower() in ("ratelimit", "ratelimit-policy", "retry-after"))
    seed("rate_limit_headers", name, lines + extra)


rate_limit_seed("api", "api/models?author=files-org&limit=2")
rate_limit_seed("resolvers", "files-org/basic/resolve/main/no-such-file")
rate_limit_seed("refused", "__fault/status=429/api/whoami-v2", "Retry-After: Sun, 06 Nov 1994 08:49:37 GMT\r\n")

for target, name, values in (
        ("link_header", "link", [link, tree_link, coll_link, '<https://huggingface.co/api/x?cursor=a,b>; rel="prev", <b>; rel=next']),
        ("url_split", "url", ["https://huggingface.co/api/models?author=acme&limit=50", link[1:link.find(">")],
                              "http://user:pw@[::1]:8080/a b/é?q=ü#frag", "HTTPS://Hub.Example:443"]),
        ("redirect_location", "location", ["https://cdn.example/file?sig=1", "/api/models/acme/renamed/tree/main",
                                           "../other?x=1", "//huggingface.co/api/y", "https://HUGGINGFACE.CO:443/api/z",
                                           "http://huggingface.co/api"])):
    for i, value in enumerate(values):
        seed(target, f"{name}{i}", value.encode("utf-16-le"))

entries = [
    {"id": "e1", "type": "org-models", "kind": "model", "org": "files-org", "repo_id": "", "display_name": "Files",
     "cache_enabled": True, "cached_at": 1750000000, "created_at": 1740000000, "limit_enabled": True, "limit_count": 300},
    {"id": "e2", "type": "org-collections", "kind": "dataset", "org": "coll-org", "repo_id": "", "display_name": "Colls",
     "cache_enabled": False, "cached_at": 0, "created_at": 0, "limit_enabled": False, "limit_count": 0},
    {"id": "e3", "type": "single-model", "kind": "model", "org": "", "repo_id": "space owner/model one",
     "display_name": "One", "cache_enabled": True, "cached_at": 0, "created_at": 0, "limit_enabled": False,
     "limit_count": 300}]
seed("favorites_file", "full", json.dumps({"cache_ttl_hours": 24, "cache_path": "", "hub_url": HUB,
                                           "api_key": "hf_plain", "entries": entries}, indent=2))
seed("favorites_file", "sealed", json.dumps({"cache_ttl_hours": 1, "cache_path": "cache", "entries": entries[:1],
                                             "api_key_enc": "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"}))

models = [{"repo_id": m.get("id", ""), "name": m.get("id", "").split("/")[-1], "last_modified": 1735689600}
          for m in orgs]
seed("cache_org_repos", "models", json.dumps({"type": "org-models", "org": "acme", "fetched_at": 1750000000,
                                              "page_size": 300, "pages_loaded": 1, "has_more": True,
                                              "next_url": link[1:link.find(">")], "models": models}, indent=2))
# A folder record: the items of "data" as the module writes them, one line each, hashes after them.
kinds = {"directory": "d", "file": "f"}
items = [f'{kinds.get(t["type"], "o")} {t.get("size", 0)} 1735689600 {t["path"].rsplit("/", 1)[-1]}' for t in tree]
oids = [(t.get("oid", "") + (" " + t["lfs"]["oid"] if "lfs" in t else "")) for t in tree]
seed("cache_tree_folder", "folder", json.dumps({"type": "tree-folder", "format": 1, "fetched_at": 1750000000,
                                                "identity": {"repo_id": "acme/model", "kind": "model",
                                                             "revision": "main", "folder": "data"},
                                                "dates_complete": False, "dates_next_url": "",
                                                "large_repository": False, "items": items, "oids": oids},
                                               indent=2, sort_keys=True, ensure_ascii=False))
collections = [{"slug": c["slug"], "title": c.get("title", c["slug"]), "last_updated": 1735689600,
                "model_ids": [i["id"] for i in c.get("items", []) if i.get("type") == "model"]} for c in colls]
seed("cache_org_collections", "collections", json.dumps({"type": "org-collections", "org": "acme",
                                                         "fetched_at": 1750000000, "collections": collections},
                                                        indent=2))
ids = [i["id"] for i in single["items"] if i.get("type") == "model"]
seed("cache_collection_items", "items", json.dumps({"type": "collection-items", "slug": single["slug"],
                                                    "fetched_at": 1750000000, "model_ids": ids}, indent=2))

# The write path's answers, one document answering every request of a commit (the fake hub has no write
# endpoints to ask): refs, preupload, the LFS batch (a basic upload, parts, an object held already, an
# error), the commit. The large file is the fuzz target's own: 1,000 bytes i % 251.
import hashlib
large = bytes(i % 251 for i in range(1000))
oid = hashlib.sha256(large).hexdigest()
common = {"branches": [{"name": "main", "ref": "refs/heads/main"}], "tags": [{"name": "v1", "ref": "refs/tags/v1"}],
          "files": [{"path": "w.bin", "uploadMode": "lfs", "shouldIgnore": False},
                    {"path": "notes.txt", "uploadMode": "regular", "shouldIgnore": False}],
          "commitOid": "89abcdef0123456789abcdef0123456789abcdef",
          "commitUrl": "https://huggingface.co/acme/model/commit/89abcdef0123456789abcdef0123456789abcdef"}
parts = {"chunk_size": "400", "00001": "https://s3.example/p1?sig=1", "00002": "https://s3.example/p2?sig=2",
         "00003": "https://s3.example/p3?sig=3"}
for name, transfer, obj in (
        ("basic", "basic", {"actions": {"upload": {"href": "https://s3.example/put?sig=0", "header": {}}}}),
        ("parts", "multipart", {"actions": {"upload": {"href": "https://huggingface.co/complete?t=1", "header": parts}}}),
        ("held", "basic", {}),
        ("refused", "basic", {"error": {"code": 422, "message": "Object too weird"}})):
    seed("hub_write_answers", name, json.dumps(dict(common, transfer=transfer,
                                                    objects=[dict({"oid": oid, "size": len(large)}, **obj)])))
