// Downloads one file through DownloadFile and prints its transfer rate and peak memory growth.
// usage: tarn_download_bench SITE_URL REPO_ID FILE_PATH LOCAL_FILE
//   SITE_URL is the hub root ending in "/"; the file is fetched from SITE_URL REPO_ID/resolve/main/FILE_PATH.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "core/files.h"
#include "core/state.h"
#include "hub/download.h"
#include "core/text.h"

#include "peak_memory.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s SITE_URL REPO_ID FILE_PATH LOCAL_FILE\n", argv[0]);
    return 2;
  }
  g_state.hub_site_url = argv[1];
  const std::u16string local = Utf8ToWide(argv[4]);
  const uint64_t cold = PeakResidentBytes();
  // A small file first: the transport's libraries are loaded and its pools settled before the idle
  // reading, so the growth measured is the download's own.
  DownloadFile(argv[2], "warm.txt", local, "", nullptr, ModelRepo);
  const uint64_t idle = PeakResidentBytes();

  int32_t last_percent = -1;
  int reports = 0;
  const auto start = std::chrono::steady_clock::now();
  auto body_end = start;
  const DownloadResult result = DownloadFile(argv[2], argv[3], local, "", [&](int64_t done, int64_t total) {
    // What the host's adapter does with each report.
    last_percent = total > 0 ? static_cast<int32_t>(done * 100 / total) : 0;
    // The first report of the whole body comes before the file is flushed, synced and moved.
    if (done == total && body_end == start) body_end = std::chrono::steady_clock::now();
    ++reports;
    return true;
  }, ModelRepo);
  const auto end = std::chrono::steady_clock::now();
  const double seconds = std::chrono::duration<double>(end - start).count();
  const double finish_seconds = std::chrono::duration<double>(end - body_end).count();
  const uint64_t peak = PeakResidentBytes();

  std::ifstream written(FsPath(local), std::ios::binary | std::ios::ate);
  const long long bytes = written ? static_cast<long long>(written.tellg()) : -1;
  // rss_growth: over the process after the warm-up; cold: over the process before any transfer, so the
  // transport's own start-up (TLS library, WinHTTP) counts as well.
  std::printf(
      "result=%d bytes=%lld seconds=%.3f mb_per_s=%.1f finish_seconds=%.3f rss_growth_kib=%llu "
      "rss_growth_cold_kib=%llu reports=%d last_percent=%d\n",
      static_cast<int>(result), bytes, seconds, bytes / 1e6 / seconds, finish_seconds,
      static_cast<unsigned long long>((peak > idle ? peak - idle : 0) / 1024),
      static_cast<unsigned long long>((peak > cold ? peak - cold : 0) / 1024), reports, last_percent);
  return result == DownloadOk ? 0 : 1;
}
