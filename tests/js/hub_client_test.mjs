// The hub team's JavaScript client (@huggingface/hub) against the fake hub, compared with what the
// plugin lists and copies through the stand-in host: names, sizes, dates and bytes must agree; files
// the client uploads, the plugin copies out, and files the plugin uploads, the client reads back.
// usage: node hub_client_test.mjs TARNHOST   (TARN_HUB_URL set by run_with_hub.py)
import { spawnSync } from "node:child_process";
import { createHash } from "node:crypto";
import { mkdtempSync, mkdirSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";

let client;
try {
  client = await import("@huggingface/hub");
} catch {
  console.log("skipped: @huggingface/hub is not installed (npm ci in tests/js)");
  process.exit(77);  // CTest's skip code
}

const TOKEN = "hf_test_good";
const hubUrl = (process.env.TARN_HUB_URL || "").replace(/\/$/, "");
const tarnhost = process.argv[2];
if (!hubUrl || !tarnhost) {
  console.error("usage: TARN_HUB_URL=... node hub_client_test.mjs TARNHOST");
  process.exit(2);
}

let passed = 0;
const failures = [];
function check(cond, what) {
  if (cond) passed++;
  else failures.push(what);
  console.log(`${cond ? "ok  " : "FAIL"} ${what}`);
}
const same = (a, b) => JSON.stringify(a) === JSON.stringify(b);
const sorted = (xs) => [...xs].sort();
const seconds = (date) => new Date(date).toISOString().slice(0, 19).replace("T", " ");
const gitOid = (bytes) => createHash("sha1").update(`blob ${bytes.length}\0`).update(bytes).digest("hex");
const sha256 = (bytes) => createHash("sha256").update(bytes).digest("hex");
const opts = { hubUrl, accessToken: TOKEN };

// The plugin: a configuration folder of its own, entries for what is compared, the key of the viewer.
const work = mkdtempSync(join(tmpdir(), "tarn-js-client-"));
const entries = [
  ["Files models", { type: "org-models", kind: "model", org: "files-org" }],
  ["Files datasets", { type: "org-models", kind: "dataset", org: "files-org" }],
  ["Basic", { type: "single-model", kind: "model", repo_id: "files-org/basic" }],
  ["Dataset one", { type: "single-model", kind: "dataset", repo_id: "files-org/dataset-one" }],
  ["Checkpoints @ step1000", { type: "single-model", kind: "model", repo_id: "rev-org/checkpoints", revision: "step1000" }],
  ["Spaces org", { type: "org-models", kind: "space", org: "spaces-org" }],
  ["Chat demo", { type: "single-model", kind: "space", repo_id: "spaces-org/chat-demo" }],
  ["Docker app", { type: "single-model", kind: "space", repo_id: "spaces-org/docker-app" }],
];
mkdirSync(join(work, "config", "tarnfs"), { recursive: true });
let pluginKey = TOKEN, caches = 0;
// A new cache folder makes the plugin list afresh what changed on the hub since it last listed.
function configure({ key = pluginKey, freshCache = false } = {}) {
  pluginKey = key;
  if (freshCache) caches++;
  writeFileSync(join(work, "config", "tarnfs", "favorites.json"), JSON.stringify({
    hub_url: hubUrl + "/", api_key: key, use_local_hf_cache: false,
    ...(caches ? { cache_path: join(work, `cache-${caches}`) } : {}),
    entries: entries.map(([name, e], i) => ({ display_name: name, id: `js-${i}`, limit_count: 300, ...e })),
  }));
}
configure();
const env = { ...process.env, XDG_CONFIG_HOME: join(work, "config"), XDG_DATA_HOME: join(work, "data"),
              HF_HUB_CACHE: join(work, "hf-hub"), HF_HOME: join(work, "hf-home") };

function host(...args) {
  const r = spawnSync(tarnhost, args, { env, encoding: "utf8" });
  return { rc: r.status, out: r.stdout || "", err: r.stderr || "" };
}

// `tarnhost ls`: one line per item, "dir |file  SIZE  YYYY-MM-DD HH:MM:SS UTC  NAME".
function ls(path) {
  const r = host("ls", path);
  return r.out.split("\n").filter(Boolean).map((line) => {
    const m = /^(dir |file) +(\d+)  (.{19}) UTC  (.*)$/.exec(line);
    return m && { folder: m[1] === "dir ", size: Number(m[2]), date: m[3], name: m[4] };
  }).filter(Boolean).filter((i) => !i.name.startsWith("[Load next"));
}

function get(remote) {
  const target = join(work, "copy-" + Math.random().toString(36).slice(2));
  const r = host("get", remote, target, "--overwrite");
  try {
    return r.rc === 0 ? readFileSync(target) : null;
  } finally {
    rmSync(target, { force: true });
  }
}

async function all(iterable) {
  const out = [];
  for await (const x of iterable) out.push(x);
  return out;
}

async function hubLog() {
  return (await fetch(hubUrl + "/__admin/log")).json();
}

// The organisation listings: each repository's name and date, as the client and the plugin give them.
async function compareOwnerListing(list, owner, folder, what) {
  const repos = await all(list({ search: { owner }, ...opts }));
  const shown = ls(folder);
  check(repos.length > 0 && same(sorted(shown.map((i) => i.name)), sorted(repos.map((r) => r.name.split("/")[1]))),
        `${what} of ${owner}: the same repositories (${repos.length})`);
  const dates = Object.fromEntries(shown.map((i) => [i.name, i.date]));
  check(repos.every((r) => dates[r.name.split("/")[1]] === seconds(r.updatedAt)), `${what} of ${owner}: the same dates`);
  return repos;
}

// A repository's tree: the recursive listing with dates against the plugin's folders, one by one.
async function compareTree(repo, entry, revision) {
  const files = await all(client.listFiles({ repo, recursive: true, expand: true, revision, ...opts }));
  const folders = ["", ...files.filter((f) => f.type === "directory").map((f) => f.path)];
  let agree = true;
  for (const folder of folders) {
    const want = files.filter((f) => f.path.slice(0, f.path.lastIndexOf("/") + 1) === (folder ? folder + "/" : ""))
      .map((f) => ({ folder: f.type === "directory", size: f.type === "directory" ? 0 : f.size,
                     date: seconds(f.lastCommit.date), name: f.path.split("/").pop() }));
    const got = ls(folder ? `/${entry}/${folder}` : `/${entry}`);
    const key = (i) => JSON.stringify([i.name, i.folder, i.size, i.date]);
    if (!same(sorted(got.map(key)), sorted(want.map(key)))) {
      agree = false;
      console.log(`  ${repo.name} ${folder || "(root)"}: plugin ${JSON.stringify(got)} client ${JSON.stringify(want)}`);
    }
  }
  check(files.length > 0 && agree, `${repo.type} ${repo.name}${revision ? "@" + revision : ""}: every folder lists ` +
        `the same names, sizes and dates (${files.length} items)`);
  return files;
}

// One file: the client's download info and bytes against the listing and the plugin's copy.
async function compareFile(repo, entry, path, listed, revision, small) {
  await fetch(hubUrl + "/__admin/reset");  // the log then holds this download's requests alone
  const info = await client.fileDownloadInfo({ repo, path, revision, ...opts });
  const blob = await client.downloadFile({ repo, path, revision, ...opts });
  const bytes = Buffer.from(await blob.arrayBuffer());
  const where = `${repo.name}/${path}`;
  check(info.size === listed.size && bytes.length === listed.size, `${where}: the listed size ${listed.size}`);
  if (small) {
    check(info.url.includes(`/api/resolve-cache/${repo.type}s/${repo.name}/`) && info.etag === `"${listed.oid}"` &&
          gitOid(bytes) === listed.oid, `${where}: through the 307 to the cached copy, its ETag the listed blob id`);
  } else {
    const log = await hubLog();
    check(sha256(bytes) === listed.lfs.oid &&
          log.some((e) => e.host === "host2" && e.path.startsWith(`/cdn/${repo.type}s/${repo.name}/${path}?`)),
          `${where}: through the 302 to the storage host, the bytes of the listed sha256`);
  }
  if (entry) {
    const copy = get(`/${entry}/${path}`);
    check(copy !== null && copy.equals(bytes), `${where}: the plugin copies the same bytes`);
  }
}

// Each part runs on its own, so that a shape the client refuses in one leaves the others checked.
async function part(what, body) {
  try {
    await body();
  } catch (e) {
    check(false, `${what}: ${e && e.message || e}`);
  }
}

async function compareModels() {
  const basic = await client.modelInfo({ name: "files-org/basic", additionalFields: ["sha", "filePaths"], ...opts });
  const models = await compareOwnerListing(client.listModels, "files-org", "/Files models", "listModels");
  const listed = models.find((m) => m.name === "files-org/basic");
  check(listed && listed.id === basic.id && +listed.updatedAt === +basic.updatedAt && basic.private === false,
        "modelInfo agrees with listModels");
  const repo = { type: "model", name: "files-org/basic" };
  const tree = await compareTree(repo, "Basic");
  check(same(sorted(basic.filePaths), sorted(tree.filter((f) => f.type === "file").map((f) => f.path))),
        "modelInfo's files are the tree's");
  const folder = await all(client.listFiles({ repo, path: "nested/a", expand: true, ...opts }));
  const shown = ls("/Basic/nested/a");
  check(folder.length > 0 && same(folder.map((f) => f.path.split("/").pop()), shown.map((i) => i.name)) &&
        folder.every((f, i) => seconds(f.lastCommit.date) === shown[i].date), "listFiles of one folder: the plugin's folder");
  const byPath = Object.fromEntries(tree.map((f) => [f.path, f]));
  await compareFile(repo, "Basic", "README.md", byPath["README.md"], undefined, true);
  await compareFile(repo, "Basic", "big.bin", byPath["big.bin"], undefined, true);
  await compareFile(repo, "Basic", "weights.safetensors", byPath["weights.safetensors"], undefined, false);
}

async function compareDatasets() {
  const dataset = await client.datasetInfo({ name: "files-org/dataset-one", revision: "main", ...opts });
  const datasets = await compareOwnerListing(client.listDatasets, "files-org", "/Files datasets", "listDatasets");
  check(datasets.some((d) => d.name === dataset.name && +d.updatedAt === +dataset.updatedAt),
        "datasetInfo agrees with listDatasets");
  const repo = { type: "dataset", name: "files-org/dataset-one" };
  const tree = Object.fromEntries((await compareTree(repo, "Dataset one")).map((f) => [f.path, f]));
  await compareFile(repo, "Dataset one", "data/train.csv", tree["data/train.csv"], undefined, true);
  await compareFile(repo, "Dataset one", "data/big.parquet", tree["data/big.parquet"], undefined, false);
}

// A revision: info at the branch and at its commit, against the refs, and the branch's tree and files.
async function compareRevision() {
  const refs = await (await fetch(`${hubUrl}/api/models/rev-org/checkpoints/refs`)).json();
  const step = refs.branches.find((b) => b.name === "step1000").targetCommit;
  const atStep = await client.modelInfo({ name: "rev-org/checkpoints", revision: "step1000",
                                          additionalFields: ["sha", "filePaths"], ...opts });
  const byCommit = await client.modelInfo({ name: "rev-org/checkpoints", revision: step, additionalFields: ["sha"], ...opts });
  check(atStep.sha === step && byCommit.sha === step && atStep.name === "rev-org/checkpoints",
        "modelInfo at a branch and at its commit: the branch's commit");
  const repo = { type: "model", name: "rev-org/checkpoints" };
  const tree = await compareTree(repo, "Checkpoints @ step1000", "step1000");
  check(same(sorted(atStep.filePaths), sorted(tree.filter((f) => f.type === "file").map((f) => f.path))),
        "modelInfo at a revision lists that revision's files");
  const byPath = Object.fromEntries(tree.map((f) => [f.path, f]));
  await compareFile(repo, "Checkpoints @ step1000", "config.json", byPath["config.json"], "step1000", true);
  await compareFile(repo, "Checkpoints @ step1000", "weights/model.bin", byPath["weights/model.bin"], "step1000", false);
}

// A branch moved under both: an entry pinned to the old commit still lists and copies the old tree,
// as the client does at that commit; main shows the new one.
async function compareMovedBranch() {
  const name = "acme/model-00", repo = { type: "model", name };
  const old = (await client.modelInfo({ name, additionalFields: ["sha"], ...opts })).sha;
  entries.push(["Acme pinned", { type: "single-model", kind: "model", repo_id: name, revision: old }],
               ["Acme", { type: "single-model", kind: "model", repo_id: name }]);
  configure();
  const moved = await fetch(hubUrl + "/__admin/commit", { method: "POST", body: JSON.stringify({
    repo: name, title: "Move main", files: [{ path: "who.txt", text: "moved\n" }, { path: "more/new.txt", text: "new\n" }] }) });
  const sha = (await moved.json()).sha;
  const now = await client.modelInfo({ name, additionalFields: ["sha"], ...opts });
  check(moved.ok && now.sha === sha && sha !== old, "a commit moved main");
  const before = Object.fromEntries((await compareTree(repo, "Acme pinned", old)).map((f) => [f.path, f]));
  const after = Object.fromEntries((await compareTree(repo, "Acme")).map((f) => [f.path, f]));
  check(!before["more/new.txt"] && after["more/new.txt"] && before["who.txt"].oid !== after["who.txt"].oid,
        "the pinned commit's tree is the old one");
  await compareFile(repo, "Acme pinned", "who.txt", before["who.txt"], old, true);
  await compareFile(repo, "Acme", "who.txt", after["who.txt"], undefined, true);
}

// Spaces: the client's listing, info, tree and downloads agree with one another; the plugin's side is
// compared once the module lists Spaces (an entry of kind "space" that lists anything).
async function compareSpaces() {
  const spaces = await all(client.listSpaces({ search: { owner: "spaces-org" }, additionalFields: ["subdomain"], ...opts }));
  check(spaces.length === 4 && new Set(spaces.map((s) => +s.updatedAt)).size === 4, "listSpaces: the owner's Spaces");
  const plugin = ls("/Spaces org").length > 0 || ls("/Chat demo").length > 0;
  for (const space of spaces) {
    const info = await client.spaceInfo({ name: space.name, revision: "main", additionalFields: ["sha", "runtime", "subdomain"], ...opts });
    check(info.id === space.id && info.sdk === space.sdk && +info.updatedAt === +space.updatedAt &&
          info.subdomain === space.subdomain && info.runtime.stage === "RUNNING", `spaceInfo of ${space.name} agrees with listSpaces`);
    const byCommit = await client.spaceInfo({ name: space.name, revision: info.sha, additionalFields: ["sha"], ...opts });
    check(byCommit.sha === info.sha, `spaceInfo of ${space.name} at its commit`);
  }
  if (plugin) {
    await compareOwnerListing(client.listSpaces, "spaces-org", "/Spaces org", "listSpaces");
  } else {
    console.log("skip the plugin's side of Spaces: the module lists no Space yet");
  }
  for (const [name, entry, small, large] of [["spaces-org/chat-demo", "Chat demo", "app.py", null],
                                             ["spaces-org/docker-app", "Docker app", "app/main.py", "weights/model.bin"]]) {
    const repo = { type: "space", name };
    const files = plugin ? await compareTree(repo, entry)
      : await all(client.listFiles({ repo, recursive: true, expand: true, ...opts }));
    const byPath = Object.fromEntries(files.map((f) => [f.path, f]));
    await compareFile(repo, plugin ? entry : null, small, byPath[small], undefined, true);
    if (large) await compareFile(repo, plugin ? entry : null, large, byPath[large], undefined, false);
  }
}

const WRITE = "hf_test_write";
const writeOpts = { hubUrl, accessToken: WRITE };
const playground = { type: "model", name: "write-org/playground" };
// Bytes with NULs and no period short of 251, so a part out of place or a byte lost shows.
const patterned = (n, seed) => Buffer.from(Array.from({ length: n }, (_, i) => (i * 7 + seed) % 251));

async function listed(repo, revision, token = WRITE) {
  const files = await all(client.listFiles({ repo, recursive: true, expand: true, revision, hubUrl, accessToken: token }));
  return Object.fromEntries(files.map((f) => [f.path, f]));
}

async function readBack(repo, path, revision) {
  const blob = await client.downloadFile({ repo, path, revision, ...writeOpts });
  return blob && Buffer.from(await blob.arrayBuffer());
}

// The client's uploads, whole and in parts (a small part size set for it), its deletion and a pull
// request from a read-only token: read back by the client, and copied out by the plugin.
async function compareUploads() {
  await fetch(hubUrl + "/__admin/storage?part_size=1048576&multipart_threshold=2097152");
  await fetch(hubUrl + "/__admin/reset");
  const files = { "notes/hello.txt": Buffer.from("hello from the client\n"), "data/table.csv": Buffer.from("id,x\n1,2\n"),
                  "weights/tiny.safetensors": patterned(1000, 1), "blob/large.dat": patterned(3_500_000, 2) };
  const made = await client.uploadFiles({ repo: playground, ...writeOpts,
    files: Object.entries(files).map(([path, bytes]) => ({ path, content: new Blob([bytes]) })) });
  const info = await client.modelInfo({ name: playground.name, additionalFields: ["sha"], ...writeOpts });
  check(made.commit.oid === info.sha && made.commit.url === `${hubUrl}/${playground.name}/commit/${info.sha}`,
        "uploadFiles: its commit is main's head");
  const log = await hubLog();
  const parts = log.filter((e) => e.host === "host2" && e.method === "PUT" && e.path.startsWith("/lfs-part/"));
  check(parts.length === 4 && log.filter((e) => e.host === "host2" && e.path.startsWith("/lfs/")).length === 1 &&
        log.some((e) => e.method === "POST" && e.path.startsWith("/api/complete_multipart?")) &&
        !log.some((e) => e.host === "host2" && e.headers.Authorization),
        "one file whole, one in 4 parts and a completion, no key sent to the storage host");
  let tree = await listed(playground);
  for (const [path, bytes] of Object.entries(files)) {
    const lfs = path.endsWith(".safetensors") || path.endsWith(".dat");
    const f = tree[path];
    check(f && f.size === bytes.length && (lfs ? f.lfs && f.lfs.oid === sha256(bytes) : !f.lfs && f.oid === gitOid(bytes)) &&
          f.lastCommit.id === made.commit.oid, `${path}: listed with its size and hash`);
    check((await readBack(playground, path))?.equals(bytes), `${path}: the client reads back the bytes`);
  }
  const attributes = (await readBack(playground, ".gitattributes")).toString();
  check(attributes.includes("\nblob/large.dat filter=lfs diff=lfs merge=lfs -text\n") && !attributes.includes("tiny"),
        ".gitattributes tracks the LFS file its patterns missed");
  entries.push(["Playground", { type: "single-model", kind: "model", repo_id: playground.name, allow_changes: true }]);
  configure({ freshCache: true });
  tree = Object.fromEntries(((await compareTree(playground, "Playground"))).map((f) => [f.path, f]));
  for (const path of Object.keys(files)) {
    await compareFile(playground, "Playground", path, tree[path], undefined, !tree[path].lfs);
  }

  const gone = await client.deleteFile({ repo: playground, path: "notes/hello.txt", ...writeOpts });
  tree = await listed(playground);
  check(!tree["notes/hello.txt"] && !tree["notes"] && (await readBack(playground, "notes/hello.txt")) === null &&
        (await readBack(playground, "notes/hello.txt", made.commit.oid))?.equals(files["notes/hello.txt"]),
        "deleteFile: gone from main, kept at the commit before");
  configure({ freshCache: true });
  check(!ls("/Playground").some((i) => i.name === "notes"), "the plugin no longer lists the deleted file's folder");
  check(gone.commit.oid !== made.commit.oid, "the deletion is a commit of its own");

  const proposal = { "proposal/idea.txt": Buffer.from("an idea\n"), "proposal/w.bin": patterned(3000, 3) };
  const pr = await client.uploadFiles({ repo: playground, ...opts, isPullRequest: true,
    files: Object.entries(proposal).map(([path, bytes]) => ({ path, content: new Blob([bytes]) })) });
  const number = /\/discussions\/(\d+)$/.exec(pr.pullRequestUrl || "")?.[1];
  const refs = await (await fetch(`${hubUrl}/api/models/${playground.name}/refs?include_prs=1`)).json();
  const ref = `refs/pr/${number}`;
  check(number && refs.pullRequests.some((r) => r.ref === ref && r.targetCommit === pr.commit.oid),
        `a read-only token's pull request: ${pr.pullRequestUrl}, its ref at the commit`);
  // listFiles writes a revision into its address unencoded, which the hub reads as a path: ask at the commit.
  const atPr = await listed(playground, pr.commit.oid), atMain = await listed(playground);
  check(atPr["proposal/w.bin"]?.lfs?.oid === sha256(proposal["proposal/w.bin"]) && !atMain["proposal/idea.txt"],
        "the pull request has the files, main has not");
  entries.push([`Playground PR ${number}`, { type: "single-model", kind: "model", repo_id: playground.name, revision: ref }]);
  configure();
  for (const path of Object.keys(proposal)) {
    await compareFile(playground, `Playground PR ${number}`, path, atPr[path], ref, !atPr[path].lfs);
  }

  const sink = { type: "dataset", name: "write-org/data-sink" };
  const ds = await client.uploadFiles({ repo: sink, ...writeOpts, files: [{ path: "rows.csv", content: new Blob(["a,b\n"]) }] });
  check(ds.commit.url === `${hubUrl}/datasets/${sink.name}/commit/${ds.commit.oid}` &&
        (await readBack(sink, "rows.csv"))?.toString() === "a,b\n", "a dataset's commit and its file");

  const refused = async (what, body) => {
    try {
      await body();
      return `${what}: accepted`;
    } catch (e) {
      return e;
    }
  };
  const noWrite = await refused("a read token's commit", () => client.uploadFiles({ repo: playground, ...opts,
    files: [{ path: "no.txt", content: new Blob(["no"]) }] }));
  check(noWrite.statusCode === 403 && noWrite.message.includes("pass `create_pr=1`"), `the client reads the 403: ${noWrite.message}`);
  const stale = await refused("a commit on an old parent", () => client.uploadFiles({ repo: playground, ...writeOpts,
    parentCommit: made.commit.oid, files: [{ path: "late.txt", content: new Blob(["late"]) }] }));
  check(stale.statusCode === 412 && stale.message.includes("The branch was updated since you opened this page"),
        `the client reads the 412: ${stale.message}`);
}

// The plugin's uploads (tarnhost put), read back by the client: runs once the stand-in host can put.
async function comparePuts() {
  const usage = host();
  if (!/\bput\b/.test(usage.out + usage.err)) {
    console.log("skip the plugin's uploads: tarnhost has no put command yet");
    return;
  }
  configure({ key: WRITE, freshCache: true });
  try {
    for (const [name, bytes] of [["small.txt", Buffer.from("written by the plugin\n")],
                                 ["large.bin", patterned(3_500_000, 4)]]) {
      const local = join(work, "put-" + name);
      writeFileSync(local, bytes);
      const r = host("put", local, `/Playground/from-plugin/${name}`);
      const tree = await listed(playground);
      check(r.rc === 0 && tree[`from-plugin/${name}`]?.size === bytes.length &&
            (await readBack(playground, `from-plugin/${name}`))?.equals(bytes),
            `tarnhost put ${name}: the client reads back its ${bytes.length} bytes (rc ${r.rc} ${r.err.trim()})`);
    }
  } finally {
    configure({ key: TOKEN });
  }
}

try {
  await part("models", compareModels);
  await part("datasets", compareDatasets);
  await part("a revision", compareRevision);
  await part("Spaces", compareSpaces);
  await part("a moved branch", compareMovedBranch);
  await part("uploads", compareUploads);
  await part("the plugin's uploads", comparePuts);
} finally {
  await fetch(hubUrl + "/__admin/storage?part_size=104857600&multipart_threshold=104857600").catch(() => {});
  rmSync(work, { recursive: true, force: true });
}
console.log(`${passed} passed, ${failures.length} failed`);
process.exit(failures.length || passed === 0 ? 1 : 0);
