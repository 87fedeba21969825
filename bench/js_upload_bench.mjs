// The hub team's JavaScript client uploading one large file to the fake hub: the time uploadFiles
// takes, hashing and uploading apart, at the storage host's per-connection rate and part size.
// usage: node bench/js_upload_bench.mjs SIZE_BYTES   (TARN_HUB_URL set by run_with_hub.py)
import { createRequire } from "node:module";
import { closeSync, mkdtempSync, openAsBlob, openSync, rmSync, writeSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));
// The client is the one pinned for the tests (npm ci in tests/js).
const client = await import(createRequire(join(here, "..", "tests", "js", "package.json")).resolve("@huggingface/hub"));
const hubUrl = process.env.TARN_HUB_URL.replace(/\/$/, "");
const size = Number(process.argv[2]);
const settings = await (await fetch(hubUrl + "/__admin/storage")).json();

// Bytes of the fake hub's pattern (i % 251): written once, read by the client from the file.
const work = mkdtempSync(join(tmpdir(), "tarn-js-upload-"));
try {
  const file = join(work, "large.bin");
  const fd = openSync(file, "w");
  const block = Buffer.from(Array.from({ length: 251 * 4096 }, (_, i) => i % 251));
  for (let done = 0; done < size; done += block.length) writeSync(fd, block, 0, Math.min(block.length, size - done));
  closeSync(fd);
  const began = performance.now();
  let uploading = null;
  const events = client.uploadFilesWithProgress({ repo: { type: "model", name: "write-org/playground" },
    accessToken: "hf_test_write", hubUrl, files: [{ path: "bench/large.bin", content: await openAsBlob(file) }] });
  let res = await events.next();
  while (!res.done) {
    if (res.value.event === "fileProgress" && res.value.state === "uploading" && uploading === null) {
      uploading = performance.now();
    }
    res = await events.next();
  }
  const end = performance.now();
  const log = await (await fetch(hubUrl + "/__admin/log")).json();
  const parts = log.filter((e) => e.host === "host2" && e.method === "PUT").length;
  const mb = size / 1e6, secs = (end - began) / 1000, hashing = ((uploading ?? end) - began) / 1000;
  console.log(`${mb.toFixed(0)} MB, part size ${settings.part_size}, ${settings.upload_rate || "no"} B/s a connection, ` +
              `${parts} PUTs: ${secs.toFixed(2)} s in all (${(mb / secs).toFixed(1)} MB/s), ` +
              `${hashing.toFixed(2)} s to the first upload, ${(secs - hashing).toFixed(2)} s uploading and committing ` +
              `(commit ${res.value.commit.oid.slice(0, 12)})`);
} finally {
  rmSync(work, { recursive: true, force: true });
}
