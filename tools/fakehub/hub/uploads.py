"""Large files on their way in: the LFS batch, the storage host's signed uploads (whole, or in parts
with a completion on the hub), verify, and the objects stored for each repository."""

import hashlib
import hmac
import json
import math
import os
import re
import shutil
import tempfile
import threading
import time
import uuid
from urllib.parse import quote

from hub.access import access, renamed
from hub.content import Content
from hub.faults import REDIRECT_FAULTS, fault_prefix, pair_fault
from hub.request import BodyError, body_pieces, read_body
from hub.responses import Resp, dumps, error_resp, json_resp
from hub.scenario import Token

LFS_JSON = "application/vnd.git-lfs+json"
OID = re.compile(r"[0-9a-f]{64}")
MAX_OBJECT = 500 * 10 ** 9      # the hub's largest file
EXPIRES = 3600                  # signed addresses live an hour, as the storage network's do
MAX_BATCH_BODY = 16 << 20
# The hub does not publish when it switches to parts, nor their size; ours, settable.
DEFAULT_PART_SIZE = 100 << 20
NO_PERMISSION = "Forbidden: pass `create_pr=1` as a query parameter to create a Pull Request"


def s3_error(status, code, message):
    """An error of the storage network: S3's XML."""
    return Resp(status, '<?xml version="1.0" encoding="UTF-8"?>\n'
                        f"<Error><Code>{code}</Code><Message>{message}</Message></Error>",
                "application/xml")


class Upload:
    """A multipart upload handed out by a batch: the object it makes and its parts (number -> (file,
    size, ETag)), and the SHA-256 of the parts 1..k already in, taken as they arrive, as the storage
    network does its checksums, so the completion does not read the whole object again."""

    def __init__(self, kind, repo_id, oid, size, part_size):
        self.id = uuid.uuid4().hex
        self.kind, self.repo_id, self.oid, self.size, self.part_size = kind, repo_id, oid, size, part_size
        self.count = max(1, math.ceil(size / part_size))
        self.parts = {}
        self.hash_lock = threading.Lock()
        self.sha = hashlib.sha256()
        self.hashed = []        # the files of parts 1..k in the order hashed

    def hash_in_order(self, storage, wait):
        """Takes the parts that follow those hashed into the running SHA-256; without `wait` it leaves
        the work to a thread already at it. A part sent again after it was hashed starts it over."""
        if not self.hash_lock.acquire(blocking=wait):
            return
        try:
            while True:
                with storage.lock:
                    files = [self.parts[n][0] for n in range(1, self.count + 1) if n in self.parts]
                    following = self.parts.get(len(self.hashed) + 1)
                if files[:len(self.hashed)] != self.hashed:
                    self.sha, self.hashed = hashlib.sha256(), []
                    continue
                if following is None:
                    return
                try:
                    with open(following[0], "rb") as f:
                        for piece in iter(lambda: f.read(1 << 20), b""):
                            self.sha.update(piece)
                except OSError:     # replaced while read: its successor is hashed from the start
                    self.sha, self.hashed = hashlib.sha256(), []
                    continue
                self.hashed.append(following[0])
        finally:
            self.hash_lock.release()


class Storage:
    """The storage network's side: objects kept on disk by sha256 and known per repository, uploads
    in parts under way, the settings of uploads, and the key its signed addresses are made with."""

    def __init__(self):
        self.lock = threading.Lock()
        self.secret = os.urandom(16)
        self.root = None
        self.objects = {}       # (kind, repo id) -> {oid: Content}: uploaded, or committed there
        self.committed = {}     # (kind, repo id) -> {oid}: LFS objects a commit of the repository holds
        self.uploads = {}
        self.indexes = {}       # (kind, repo id) -> (commits seen, {oid: Content} of scenario files)
        self.upload_rate = 0    # bytes a second per connection (0: no cap)
        self.part_size = DEFAULT_PART_SIZE
        self.multipart_threshold = DEFAULT_PART_SIZE

    def configure(self, upload_rate=None, part_size=None, multipart_threshold=None):
        with self.lock:
            for name, v, least in (("upload_rate", upload_rate, 0), ("part_size", part_size, 1),
                                   ("multipart_threshold", multipart_threshold, 0)):
                if v is not None:
                    if int(v) < least:
                        raise ValueError(f"{name} must be at least {least}")
                    setattr(self, name, int(v))

    def state(self):
        with self.lock:
            return {"upload_rate": self.upload_rate, "part_size": self.part_size,
                    "multipart_threshold": self.multipart_threshold}

    def folder(self, *parts):
        with self.lock:
            if self.root is None:
                self.root = tempfile.mkdtemp(prefix="fakehub-storage-")
        path = os.path.join(self.root, *parts)
        os.makedirs(path, exist_ok=True)
        return path

    def remove(self):
        if self.root is not None:
            shutil.rmtree(self.root, ignore_errors=True)

    def keep(self, kind, repo_id, oid, tmp, size):
        """Takes a checked temporary file as the object oid of a repository."""
        final = os.path.join(self.folder("objects"), oid)
        os.replace(tmp, final)      # the same bytes, whoever put them last
        with self.lock:
            self.objects.setdefault((kind, repo_id), {})[oid] = Content(
                path=final, size=size, digests={"sha256": oid})

    def keep_parts(self, up, files):
        """Takes the checked parts of an upload as its object, where they lie: a completion on the
        storage network joins its parts without copying them."""
        final = os.path.join(self.folder("objects"), up.oid + "." + up.id)
        os.replace(os.path.join(self.root, "parts", up.id), final)
        pieces = tuple((os.path.join(final, os.path.basename(path)), size) for path, size in files)
        with self.lock:
            self.objects.setdefault((up.kind, up.repo_id), {})[up.oid] = Content(
                path=pieces, size=up.size, digests={"sha256": up.oid})

    def record_commit(self, repo, node):
        """A commit of repo holds the LFS file node: its object is the repository's from now on."""
        oid = node.lfs_oid()
        with self.lock:
            self.objects.setdefault((repo.kind, repo.id), {}).setdefault(oid, node.content)
            self.committed.setdefault((repo.kind, repo.id), set()).add(oid)

    def _scenario_objects(self, repo):
        """The LFS objects of the repository's scenario and admin commits (not those of generated
        folders, which would cost a hash of every file), rebuilt when commits were added."""
        key = (repo.kind, repo.id)
        with repo.hub.lock:
            commits = list(repo.commits.values())
        seen = self.indexes.get(key)
        if seen is not None and seen[0] == len(commits):
            return seen[1]
        found = {}
        for commit in commits:
            if commit.raw is not None:
                continue
            stack = [commit.root]
            while stack:
                f = stack.pop()
                stack.extend(f.subs.values())
                for node in list(f.files.values()) + [n for n in f.gen_changes.values() if n]:
                    if node.lfs:
                        found.setdefault(node.lfs_oid(), node.content)
        self.indexes[key] = (len(commits), found)
        return found

    def find(self, repo, oid, committed_only=False):
        """The object oid as the repository knows it (uploaded through it, or in one of its commits),
        or None."""
        with self.lock:
            obj = self.objects.get((repo.kind, repo.id), {}).get(oid)
            if obj is not None and committed_only and oid not in self.committed.get((repo.kind, repo.id), ()):
                obj = None
        return obj or self._scenario_objects(repo).get(oid)

    # -- signed addresses

    def sign(self, *fields):
        return hmac.new(self.secret, "\n".join(str(f) for f in fields).encode("utf-8"),
                        hashlib.sha256).hexdigest()

    def signed_query(self, *fields):
        date = int(time.time())
        return f"X-Amz-Date={date}&X-Amz-Expires={EXPIRES}&X-Amz-Signature={self.sign(date, *fields)}"

    def check(self, c, *fields):
        """None when the request's signature covers fields and has not expired, else S3's 403."""
        try:
            date, expires = int(c.param("X-Amz-Date", "")), int(c.param("X-Amz-Expires", ""))
        except ValueError:
            return s3_error(403, "AccessDenied", "Query-string authentication requires the Signature, "
                                                 "Expires and AWSAccessKeyId parameters")
        if not hmac.compare_digest(self.sign(date, *fields), c.param("X-Amz-Signature", "")) or \
                expires != EXPIRES:
            return s3_error(403, "SignatureDoesNotMatch", "The request signature we calculated does not "
                                                          "match the signature you provided.")
        if time.time() > date + expires:
            return s3_error(403, "AccessDenied", "Request has expired")
        return None


def _receive(c, storage, folder, name, whole=True):
    """Takes a storage PUT's body into a file: (path, size, sha256, md5), or an S3 refusal. Paced at
    the upload rate (the `rate` mode's or the storage's); `cut_upload` hangs up part-way. A part
    (`whole` false) needs only its MD5: its sha256 is None."""
    if "chunked" in c.headers.get("Transfer-Encoding", "").lower():
        return s3_error(501, "NotImplemented", "A header you provided implies functionality that is "
                                               "not implemented")
    length = c.headers.get("Content-Length")
    if length is None or not length.strip().isdigit():
        return s3_error(411, "MissingContentLength", "You must provide the Content-Length HTTP header.")
    if int(length) == 0:
        # An empty PUT fails on the storage network (the hub team's client says so and sends small
        # files regular).
        return s3_error(501, "NotImplemented", "A header you provided implies functionality that is "
                                               "not implemented")
    rate = c.names["rate"].value if "rate" in c.names else storage.upload_rate
    cut = pair_fault(c, "cut_upload", c.raw_path)
    path = os.path.join(storage.folder(folder), name + "." + uuid.uuid4().hex)
    sha, md5, size = hashlib.sha256() if whole else None, hashlib.md5(), 0
    try:
        with open(path, "wb") as f:
            for piece in body_pieces(c, rate=rate or None, cut=cut):
                f.write(piece)
                if sha:
                    sha.update(piece)
                md5.update(piece)
                size += len(piece)
    except BaseException:
        c.log_body = {"bytes": size}
        os.remove(path)
        raise
    c.log_body = {"bytes": size}
    return path, size, sha.hexdigest() if sha else None, md5.hexdigest()


def put_object(c, segs):
    """Host 2's PUT /lfs/{models|datasets|spaces}/OWNER/NAME/OID?size=N&...: a whole object, kept only
    when its bytes hash to its oid."""
    storage = c.hub.storage
    if len(segs) != 5 or segs[1] not in ("models", "datasets", "spaces"):
        return s3_error(404, "NoSuchKey", "The specified key does not exist.")
    kind, repo_id, oid = segs[1][:-1], segs[2] + "/" + segs[3], segs[4]
    size = c.param("size", "")
    refusal = storage.check(c, "lfs", kind, repo_id, oid, size)
    if refusal:
        return refusal
    got = _receive(c, storage, "incoming", oid)
    if isinstance(got, Resp):
        return got
    path, n, sha, md5 = got
    if n != int(size) or sha != oid:
        os.remove(path)
        return s3_error(400, "BadDigest", f"The bytes received ({n}, sha256 {sha}) are not the object "
                                          f"{oid} of {size} bytes.")
    storage.keep(kind, repo_id, oid, path, n)
    return Resp(200, headers=[("ETag", f'"{md5}"')])


def put_part(c, segs):
    """Host 2's PUT /lfs-part/UPLOAD/N?...: part N of a multipart upload, answered with its ETag."""
    storage = c.hub.storage
    if len(segs) != 3 or not segs[2].isdigit():
        return s3_error(404, "NoSuchKey", "The specified key does not exist.")
    refusal = storage.check(c, "part", segs[1], int(segs[2]))
    if refusal:
        return refusal
    with storage.lock:
        up = storage.uploads.get(segs[1])
    if up is None:
        return s3_error(404, "NoSuchUpload", "The specified upload does not exist.")
    got = _receive(c, storage, os.path.join("parts", up.id), segs[2], whole=False)
    if isinstance(got, Resp):
        return got
    path, n, _, md5 = got
    with storage.lock:
        old = up.parts.get(int(segs[2]))
        up.parts[int(segs[2])] = (path, n, md5)
    if old:
        os.remove(old[0])       # a part sent again replaces the first
    up.hash_in_order(storage, wait=False)
    return Resp(200, headers=[("ETag", f'"{md5}"')])


def complete(c):
    """The hub's POST /api/complete_multipart?uploadId=U&...: every part present with its ETag, put
    together, and kept only when the whole hashes to the oid and has its size."""
    storage = c.hub.storage
    uid = c.param("uploadId", "")
    refusal = storage.check(c, "complete", uid)
    if refusal:
        return refusal
    try:
        req = json.loads(read_body(c, MAX_BATCH_BODY))
        c.log_body = req
        oid, parts = req["oid"], req["parts"]
        numbers = [p["partNumber"] for p in parts]
        etags = [p["etag"] for p in parts]
        if not all(isinstance(x, int) and not isinstance(x, bool) for x in numbers) or \
                not all(isinstance(x, str) for x in etags):
            raise ValueError
    except (ValueError, KeyError, TypeError):
        return error_resp(400, "The body is {oid, parts: [{partNumber, etag}]}", True)
    except BodyError as e:
        return error_resp(e.status, e.message, True)
    with storage.lock:
        up = storage.uploads.get(uid)
    if up is None:
        done = any(oid in objs for objs in storage.objects.values())
        # A completion sent again after its answer was lost finds the object made.
        return json_resp({}) if done else error_resp(404, "The specified upload does not exist.", True)
    if oid != up.oid:
        return error_resp(400, f"This upload makes {up.oid}, not {oid}", True)
    if numbers != list(range(1, up.count + 1)):
        return error_resp(400, f"The parts must be 1 to {up.count}, each once and in order", True)
    with storage.lock:
        held = dict(up.parts)
    for n, etag in zip(numbers, etags):
        if n not in held:
            return error_resp(400, f"Part {n} was not uploaded", True)
        if etag.strip('"') != held[n][2]:
            return error_resp(400, f"Part {n}: the ETag {etag} is not the part's", True)
        if held[n][1] != (up.part_size if n < up.count else up.size - up.part_size * (up.count - 1)):
            return error_resp(400, f"Part {n} has {held[n][1]} bytes, not its share of the object", True)
    up.hash_in_order(storage, wait=True)     # after any part's thread still at it
    with up.hash_lock:
        digest = up.sha.copy().hexdigest() if up.hashed == [held[n][0] for n in numbers] else None
    if digest != up.oid:
        return error_resp(400, f"The parts do not make the object {up.oid} (sha256 {digest})", True)
    with storage.lock:
        if storage.uploads.pop(uid, None) is None:
            return json_resp({})    # completed by a request sent again meanwhile
    storage.keep_parts(up, [(held[n][0], held[n][1]) for n in numbers])
    return json_resp({})


def _lfs_repo(c, kind, repo_id):
    """The repository of an LFS route, or the hub's refusal: the read rules, and a key."""
    repo = c.hub.repos.get((kind, repo_id))
    refusal = renamed(c, repo) or access(c, repo, repo_id, gate=False)
    if refusal:
        return None, refusal
    if not isinstance(c.auth, Token):
        return None, error_resp(401, "Invalid username or password.", True, www=True)
    return repo, None


def batch(c, kind, repo_id):
    """POST {prefix}OWNER/NAME.git/info/lfs/objects/batch: per object, nothing to do when the repository
    has it, else where to upload it (whole, or in parts above the threshold when the client offers
    multipart), or an error for a bad oid or size."""
    repo, refusal = _lfs_repo(c, kind, repo_id)
    if refusal:
        return refusal
    try:
        req = json.loads(read_body(c, MAX_BATCH_BODY))
        c.log_body = req
        objects = req["objects"]
        if not isinstance(objects, list) or not all(isinstance(o, dict) for o in objects):
            raise ValueError
    except (ValueError, KeyError, TypeError):
        return error_resp(422, "The body is {operation, transfers, objects: [{oid, size}]}", True)
    except BodyError as e:
        return error_resp(e.status, e.message, True)
    if req.get("operation") != "upload":
        return error_resp(422, "Only uploads go through this hub's batch", True)
    if req.get("hash_algo", "sha256") not in ("sha256", "sha_256"):
        return error_resp(409, f"Unsupported hash algorithm {req.get('hash_algo')}", True)
    # A batch for a branch needs write access; one without `ref` is for a pull request.
    if isinstance(req.get("ref"), dict) and not c.auth.can_write(repo):
        return error_resp(403, NO_PERMISSION, True)
    transfers = req.get("transfers") or ["basic"]
    storage = c.hub.storage
    keep = fault_prefix([f.token for f in c.faults if f.name not in REDIRECT_FAULTS and f.name != "status"])
    host2, hub = c.origins["host2"] + keep, c.origins["hub"] + keep
    verify = hub + "/" + ("" if kind == "model" else kind + "s/") + repo_id + ".git/info/lfs/objects/verify"
    out, used = [], set()
    settings = storage.state()
    for o in objects:
        oid, size = o.get("oid"), o.get("size")
        item = {"oid": oid, "size": size}
        if not isinstance(oid, str) or not OID.fullmatch(oid):
            item["error"] = {"code": 422, "message": f"Invalid oid {oid!r}: 64 lowercase hex digits"}
        elif not isinstance(size, int) or isinstance(size, bool) or size < 0:
            item["error"] = {"code": 422, "message": f"Invalid size {size!r}"}
        elif size > MAX_OBJECT:
            item["error"] = {"code": 422, "message": "Files above 500 GB cannot be stored"}
        else:
            known = storage.find(repo, oid)
            if known is not None and known.size != size:
                item["error"] = {"code": 422, "message": f"{oid} is stored with {known.size} bytes"}
            elif known is None and "multipart" in transfers and size > settings["multipart_threshold"]:
                up = Upload(kind, repo_id, oid, size, settings["part_size"])
                with storage.lock:
                    storage.uploads[up.id] = up
                width = max(5, len(str(up.count)))
                header = {"chunk_size": str(up.part_size)}
                for n in range(1, up.count + 1):
                    header[f"{n:0{width}d}"] = (f"{host2}/lfs-part/{up.id}/{n}?"
                                                + storage.signed_query("part", up.id, n))
                item["actions"] = {
                    "upload": {"href": f"{hub}/api/complete_multipart?uploadId={up.id}&"
                                       + storage.signed_query("complete", up.id),
                               "header": header, "expires_in": EXPIRES},
                    "verify": {"href": verify}}
                used.add("multipart")
            elif known is None:
                q = storage.signed_query("lfs", kind, repo_id, oid, size)
                item["actions"] = {
                    "upload": {"href": f"{host2}/lfs/{repo.plural}/{quote(repo_id, safe='/')}/{oid}"
                                       f"?size={size}&{q}", "expires_in": EXPIRES},
                    "verify": {"href": verify}}
                used.add("basic")
        out.append(item)
    resp = Resp(200, dumps({"transfer": "multipart" if "multipart" in used else "basic", "objects": out}),
                LFS_JSON)
    return resp


def verify(c, kind, repo_id):
    """POST ...git/info/lfs/objects/verify {oid, size}: 200 when the repository has the object."""
    repo, refusal = _lfs_repo(c, kind, repo_id)
    if refusal:
        return refusal
    try:
        req = json.loads(read_body(c, MAX_BATCH_BODY))
        c.log_body = req
        oid, size = req["oid"], req["size"]
    except (ValueError, KeyError, TypeError):
        return error_resp(422, "The body is {oid, size}", True)
    except BodyError as e:
        return error_resp(e.status, e.message, True)
    known = c.hub.storage.find(repo, oid) if isinstance(oid, str) else None
    if known is None or known.size != size:
        return error_resp(404, "Object not found", True)
    return Resp(200, b"{}", LFS_JSON)
