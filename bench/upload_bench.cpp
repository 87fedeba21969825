// The write path's costs: SHA-256 of a large local file as an upload hashes it, and one commit of that
// file through CommitChanges with its rate and peak memory growth.
// usage: tarn_upload_bench hash FILE
//        tarn_upload_bench commit SITE_URL FILE [CONNECTIONS [REPO_ID KEY]]
//   SITE_URL is a hub root ending in "/" that takes uploads (bench/upload_server.py, or the fake hub
//   with REPO_ID write-org/playground and KEY hf_test_write).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "core/files.h"
#include "core/text.h"
#include "hub/commit.h"
#include "peak_memory.h"

namespace {

void WriteTextFileForBench(const std::u16string& path) { std::ofstream(FsPath(path), std::ios::binary) << "warm\n"; }

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int Hash(const std::u16string& path) {
  std::vector<UploadFile> files(1);
  files[0].path = "big.bin";
  files[0].local_path = path;
  if (!ReadLocalFiles(&files).Done()) return 1;
  files[0].mode = UploadFile::Mode::Lfs;
  WriteProgress progress;
  const auto start = std::chrono::steady_clock::now();
  const WriteOutcome outcome = HashLargeFiles(&files, &progress);
  const double seconds = SecondsSince(start);
  std::printf("hashed=%lld seconds=%.3f mb_per_s=%.1f sha256=%s\n", static_cast<long long>(files[0].size), seconds,
              files[0].size / 1e6 / seconds, files[0].sha256.c_str());
  return outcome.Done() ? 0 : 1;
}

int Commit(const std::string& site, const std::u16string& path, int connections, const std::string& repo_id,
           const std::string& key) {
  CommitRequest request;
  request.target.site_url = site;
  request.target.repo_id = repo_id;
  request.target.api_key = key;
  request.summary = "Upload";
  request.connections = connections;
  // A small commit first: the transport's libraries are loaded and its pools settled before the idle
  // reading, so the growth measured is the upload's own.
  const std::u16string warm = path + u".warm.txt";
  WriteTextFileForBench(warm);
  CommitOperation op;
  op.path = "warm.txt";
  op.local_path = warm;
  request.operations = {op};
  if (!CommitChanges(request).outcome.Done()) return 1;
  const uint64_t idle = PeakResidentBytes();

  op.path = "big.bin";
  op.local_path = path;
  request.operations = {op};
  int reports = 0;
  const int64_t bytes = FileSize(path);
  // Where the time goes, from the progress the coordinator reports every 20 ms: the hash counts the
  // file once, the uploads once more, then the completion and the commit.
  const auto start = std::chrono::steady_clock::now();
  double hashed_at = 0, uploaded_at = 0;
  request.progress = [&](int64_t done, int64_t) {
    ++reports;
    if (hashed_at == 0 && done >= bytes) hashed_at = SecondsSince(start);
    if (uploaded_at == 0 && done >= 2 * bytes) uploaded_at = SecondsSince(start);
    return true;
  };
  const CommitResult result = CommitChanges(request);
  const double seconds = SecondsSince(start);
  const uint64_t peak = PeakResidentBytes();
  std::printf("result=%d bytes=%lld seconds=%.3f mb_per_s=%.1f hashed_s=%.2f uploaded_s=%.2f rss_growth_kib=%llu "
              "reports=%d %s\n",
              static_cast<int>(result.outcome.end), static_cast<long long>(bytes), seconds, bytes / 1e6 / seconds,
              hashed_at, uploaded_at,
              static_cast<unsigned long long>((peak > idle ? peak - idle : 0) / 1024), reports,
              WideToUtf8(result.outcome.message).c_str());
  RemoveFileQuietly(warm);
  return result.outcome.Done() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "hash" && argc == 3) return Hash(Utf8ToWide(argv[2]));
  if (mode == "commit" && (argc == 4 || argc == 5 || argc == 7)) {
    return Commit(argv[2], Utf8ToWide(argv[3]), argc >= 5 ? std::atoi(argv[4]) : 8, argc == 7 ? argv[5] : "o/m",
                  argc == 7 ? argv[6] : "");
  }
  std::fprintf(stderr, "usage: %s hash FILE | commit SITE_URL FILE [CONNECTIONS [REPO_ID KEY]]\n", argv[0]);
  return 2;
}
