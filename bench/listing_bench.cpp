// Listing benchmarks through the loaded module, as a host drives it:
//   cached-tree  FsFindFirstW..FsFindClose over 200 folders of a cached 10,000-item repository
//                (median, 95th percentile, peak RSS); no hub needed.
//   cached-folder  the same for one folder of 1,000 and one of 10,000 files with their hashes, listed
//                50 times each; and the record's reads alone (names only, and whole as a copy reads it).
//   org-paging   an organisation of 5,000 repositories paged at 500 against the fake hub
//                (needs TARN_HUB_URL; run through tools/fakehub/run_with_hub.py).
//   folders      repositories at the hub's scale against the fake hub with a 40 ms round trip (and
//                no cost per item): each first listing's time and requests, a walk's requests, a
//                1,000-file folder's dates, memory after listing 100 folders of 1,000.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "cache/tree_folders.h"
#include "hub/http.h"
#include "core/files.h"
#include "core/text.h"
#include "core/time.h"
#include "module_loader.h"

#if defined(_WIN32)
#include <windows.h>
#include <psapi.h>
#else
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFolders = 200;
constexpr int kFilesPerFolder = 49;  // 200 folders + 200 x 49 files = 10,000 items

double PeakRssMiB() {
#if defined(_WIN32)
  PROCESS_MEMORY_COUNTERS counters{};
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
  return static_cast<double>(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
#else
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
#endif
}

// The configuration folder the module reads: XDG_CONFIG_HOME on Linux, the roaming folder on Windows.
fs::path ConfigFolder(const fs::path& scratch) {
#if defined(_WIN32)
  (void)scratch;
  wchar_t buffer[MAX_PATH] = {0};
  GetEnvironmentVariableW(L"APPDATA", buffer, MAX_PATH);
  return fs::path(buffer) / "tarnfs";
#else
  setenv("XDG_CONFIG_HOME", scratch.string().c_str(), 1);
  setenv("XDG_DATA_HOME", (scratch / "data").string().c_str(), 1);
  return scratch / "tarnfs";
#endif
}

void WriteFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string FolderName(int i) {
  char name[32];
  std::snprintf(name, sizeof(name), "dir-%03d", i);
  return name;
}

// Folder records written by the plugin's own writer, fresh: the root's (200 folders) and each folder's.
bool WriteTreeRecords(const fs::path& cache) {
  const std::u16string folder = Utf8ToWide(cache.string());
  TreeFolderRecord root;
  root.repo_id = "bench/big";
  root.fetched_at = UnixNow();
  root.dates_complete = true;
  for (int d = 0; d < kFolders; ++d) {
    root.items.push_back({"directory", FolderName(d), 0, 1751284800, "7ree"});
    TreeFolderRecord sub = root;
    sub.folder = FolderName(d);
    sub.items.clear();
    for (int f = 0; f < kFilesPerFolder; ++f) {
      char file[32];
      std::snprintf(file, sizeof(file), "/file-%03d.safetensors", f);
      sub.items.push_back({"file", FolderName(d) + file, 1000000 + f, 1751284800});
    }
    if (!WriteTreeFolderRecord(folder, sub)) return false;
  }
  return WriteTreeFolderRecord(folder, root);
}

// One folder of `count` large files, each with its git id and SHA-256 as the hub lists them.
bool WriteLargeFolder(const fs::path& cache, const std::string& name, int count) {
  TreeFolderRecord record;
  record.repo_id = "bench/big";
  record.folder = name;
  record.fetched_at = UnixNow();
  record.dates_complete = true;
  for (int i = 0; i < count; ++i) {
    char file[48], oid[48], lfs[80];
    std::snprintf(file, sizeof(file), "/shard-%05d-of-%05d.parquet", i, count);
    std::snprintf(oid, sizeof(oid), "%040x", i * 2654435761u);
    std::snprintf(lfs, sizeof(lfs), "%032x%032x", i * 40503u, i * 2246822519u);
    record.items.push_back({"file", name + file, 500000000 + i, 1751284800 + i, oid, lfs});
  }
  return WriteTreeFolderRecord(Utf8ToWide(cache.string()), record);
}

// The calling thread's processor time in milliseconds (natively; the machine's other load does not
// count), or -1 where the clock is too coarse to tell milliseconds.
double ThreadCpuMs() {
#if defined(_WIN32)
  return -1;
#else
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
#endif
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const size_t index = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[index];
}

size_t ListAll(PluginModule& m, const std::string& path_utf8) {
  std::basic_string<HostChar> path = ToHostString(path_utf8);
  HostFindData data{};
  HostHandle handle = m.FsFindFirstW(path.data(), &data);
  if (handle == TARN_INVALID_HANDLE) return 0;
  size_t n = 1;
  while (m.FsFindNextW(handle, &data)) ++n;
  m.FsFindClose(handle);
  return n;
}

bool LoadModule(PluginModule* m) {
  std::string error;
  if (!LoadPluginModule(DefaultModulePath(), m, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
  }
  m->FsInitW(1, nullptr, nullptr, nullptr);
  return true;
}

int CachedTree(const fs::path& scratch) {
  const fs::path config = ConfigFolder(scratch);
  fs::remove_all(config);
  // No hub at this address: every listing must come from the cache.
  WriteFile(config / "favorites.json",
            R"({"hub_url": "http://127.0.0.1:9/", "cache_ttl_hours": 24, "entries": [)"
            R"({"display_name": "Big", "type": "single-model", "repo_id": "bench/big"}]})");
  if (!WriteTreeRecords(config / "cache")) return 1;
  const double rss_before = PeakRssMiB();
  PluginModule m;
  if (!LoadModule(&m)) return 1;

  std::vector<double> ms;
  size_t listed = 0;
  for (int i = 0; i < kFolders; ++i) {
    const auto start = Clock::now();
    listed += ListAll(m, "\\Big\\" + FolderName(i));
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  UnloadPluginModule(&m);
  if (listed != static_cast<size_t>(kFolders * kFilesPerFolder)) {
    std::fprintf(stderr, "cached-tree: listed %zu records, expected %d\n", listed, kFolders * kFilesPerFolder);
    return 1;
  }
  std::printf("cached-tree: %d listings of a 10,000-item cached repository\n", kFolders);
  std::printf("  median %.2f ms, p95 %.2f ms, min %.2f ms, max %.2f ms\n", Percentile(ms, 0.5),
              Percentile(ms, 0.95), Percentile(ms, 0.0), Percentile(ms, 1.0));
  std::printf("  peak RSS %.1f MiB (%.1f MiB before loading the module)\n", PeakRssMiB(), rss_before);
  return 0;
}

int CachedFolder(const fs::path& scratch) {
  const fs::path config = ConfigFolder(scratch);
  fs::remove_all(config);
  WriteFile(config / "favorites.json",
            R"({"hub_url": "http://127.0.0.1:9/", "cache_ttl_hours": 24, "entries": [)"
            R"({"display_name": "Big", "type": "single-model", "repo_id": "bench/big"}]})");
  const int sizes[] = {1000, 10000};
  for (int count : sizes) {
    if (!WriteLargeFolder(config / "cache", "folder-" + std::to_string(count), count)) return 1;
  }
  PluginModule m;
  if (!LoadModule(&m)) return 1;
  const std::u16string cache = Utf8ToWide((config / "cache").string());
  for (int count : sizes) {
    const std::string name = "folder-" + std::to_string(count);
    std::vector<double> listing, listing_cpu, names, whole;
    for (int run = 0; run < 50; ++run) {
      auto start = Clock::now();
      const double cpu_start = ThreadCpuMs();
      if (ListAll(m, "\\Big\\" + name) != static_cast<size_t>(count)) return 1;
      listing.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      listing_cpu.push_back(cpu_start < 0 ? -1 : ThreadCpuMs() - cpu_start);
      TreeFolderRecord record;
      start = Clock::now();
      if (!ReadTreeFolderRecord(cache, "bench/big", ModelRepo, "main", name, TreeRecordRead::Names, &record)) return 1;
      names.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      start = Clock::now();
      if (!ReadTreeFolderRecord(cache, "bench/big", ModelRepo, "main", name, TreeRecordRead::Whole, &record)) return 1;
      whole.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::error_code ec;
    const auto bytes = fs::file_size(FsPath(TreeFolderRecordPath(cache, "bench/big", ModelRepo, "main", name)), ec);
    std::printf("cached-folder: %d files (record %.2f MB), 50 runs\n", count, static_cast<double>(bytes) / 1e6);
    std::printf("  listing through the exports: median %.2f ms, p95 %.2f ms", Percentile(listing, 0.5),
                Percentile(listing, 0.95));
    if (listing_cpu[0] >= 0) {
      std::printf(" (processor time: median %.2f ms, p95 %.2f ms)", Percentile(listing_cpu, 0.5),
                  Percentile(listing_cpu, 0.95));
    }
    std::printf("\n");
    std::printf("  record read, names only:     median %.2f ms, p95 %.2f ms\n", Percentile(names, 0.5),
                Percentile(names, 0.95));
    std::printf("  record read, whole:          median %.2f ms, p95 %.2f ms\n", Percentile(whole, 0.5),
                Percentile(whole, 0.95));
  }
  UnloadPluginModule(&m);
  std::printf("  peak RSS %.1f MiB\n", PeakRssMiB());
  return 0;
}

int OrgPaging(const fs::path& scratch) {
  const char* hub = std::getenv("TARN_HUB_URL");
  if (!hub || !*hub) {
    std::fprintf(stderr, "org-paging: TARN_HUB_URL is not set; run through tools/fakehub/run_with_hub.py\n");
    return 1;
  }
  const fs::path config = ConfigFolder(scratch);
  fs::remove_all(config);
  WriteFile(config / "favorites.json",
            std::string(R"({"hub_url": ")") + hub +
                R"(", "cache_ttl_hours": 24, "entries": [{"display_name": "Org", "type": "org-models", )"
                R"("org": "bench-org", "limit_enabled": true, "limit_count": 500}]})");
  PluginModule m;
  if (!LoadModule(&m)) return 1;

  const auto start = Clock::now();
  size_t records = ListAll(m, "\\Org");
  int pages = 1;
  std::basic_string<HostChar> item = ToHostString("\\Org\\[Load next 500 models]");
  while (records == static_cast<size_t>(pages) * 500 + 1 && pages < 20) {
    std::basic_string<HostChar> buffer = item;
    buffer.resize(260, 0);
    m.FsExecuteFileW(nullptr, buffer.data(), nullptr);
    ++pages;
    records = ListAll(m, "\\Org");
  }
  const double total = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  UnloadPluginModule(&m);
  std::printf("org-paging: %zu repositories in %d pages of 500\n", records,
              pages);
  std::printf("  total %.0f ms, %.1f ms per page (request, merge, cache write, relisting)\n", total, total / pages);
  return records == 5000 ? 0 : 1;
}

// The fake hub's request log since its last reset: how many requests, and how many of them carried
// `part`.
size_t HubRequests(const std::string& hub, const std::string& part = "") {
  uint32_t status = 0;
  const std::string text = HttpGet(Utf8ToWide(hub + "__admin/log"), "", &status);
  size_t count = 0;
  for (size_t at = text.find("\"path\""); at != std::string::npos; at = text.find("\"path\"", at + 1)) {
    const size_t end = text.find('"', text.find('"', at + 6) + 1);
    if (part.empty() || text.substr(at, end - at).find(part) != std::string::npos) ++count;
  }
  return count;
}
void ResetHub(const std::string& hub) { HttpGet(Utf8ToWide(hub + "__admin/reset"), ""); }

int Folders(const fs::path& scratch) {
  const char* hub_env = std::getenv("TARN_HUB_URL");
  if (!hub_env || !*hub_env) {
    std::fprintf(stderr, "folders: TARN_HUB_URL is not set; run through tools/fakehub/run_with_hub.py\n");
    return 1;
  }
  const std::string hub = hub_env;
  const fs::path config = ConfigFolder(scratch);
  const auto configure = [&] {
    fs::remove_all(config);
    WriteFile(config / "favorites.json",
              R"({"hub_url": ")" + hub + R"(__fault/delay=40/", "cache_ttl_hours": 24, "entries": [)"
              R"({"display_name": "Crawl", "type": "single-model", "kind": "dataset", "repo_id": "bench-data/web-crawl"},)"
              R"({"display_name": "Big", "type": "single-model", "repo_id": "bench-data/big-folder"},)"
              R"({"display_name": "Small", "type": "single-model", "repo_id": "bench-data/small-model"}]})");
  };
  const auto shard = [](int i) {
    char name[48];
    std::snprintf(name, sizeof(name), "\\Crawl\\data\\shard-%03d", i);
    return std::string(name);
  };
  PluginModule m;
  // One first listing: its time, its items, and the requests it made (the date worker, which waits
  // a second before its first page, is stopped by the root listing before that).
  const auto step = [&](const char* what, const std::string& path) {
    ResetHub(hub);
    const auto start = Clock::now();
    const size_t listed = ListAll(m, path);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    ListAll(m, "\\");
    std::printf("  %-44s %7.0f ms %6zu items %4zu requests\n", what, ms, listed, HubRequests(hub));
  };
  std::printf("folders: a 40 ms round trip, no cost per item\n");
  // The fake hub builds a generated repository on its first request; that is not the module's time.
  for (const char* rest : {"api/datasets/bench-data/web-crawl/tree/main?limit=1",
                           "api/models/bench-data/big-folder/tree/main?limit=1"}) {
    HttpGet(Utf8ToWide(hub + rest), "");
  }
  configure();
  if (!LoadModule(&m)) return 1;
  step("100k-file dataset, its root", "\\Crawl");
  step("its data/ (100 folders), with dates", "\\Crawl\\data");
  step("one folder of 1,000 files", shard(0));
  step("the 10,000-file folder, all names", "\\Big\\files-000");
  step("a 15-file model, with dates", "\\Small");

  // Dates of a 1,000-file folder: listed again (the same folder) until its record has them all.
  ResetHub(hub);
  const auto dates_start = Clock::now();
  ListAll(m, shard(1));
  const std::u16string cache = Utf8ToWide((config / "cache").string());
  TreeFolderRecord record;
  while (std::chrono::duration<double>(Clock::now() - dates_start).count() < 120 &&
         !(ReadTreeFolderRecord(cache, "bench-data/web-crawl", DatasetRepo, "main", "data/shard-001",
                                TreeRecordRead::Names, &record) &&
           record.dates_complete)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ListAll(m, shard(1));
  }
  std::printf("  %-44s %7.0f ms %6s       %4zu requests (%zu with dates)\n", "the dates of a 1,000-file folder",
              std::chrono::duration<double, std::milli>(Clock::now() - dates_start).count(), "",
              HubRequests(hub), HubRequests(hub, "expand=true"));
  UnloadPluginModule(&m);

  // A walk from a fresh cache: the root, data/ and 20 of its folders, as a host lists them one after
  // another. The fewest requests that give every name: one page each.
  configure();
  if (!LoadModule(&m)) return 1;
  ResetHub(hub);
  size_t names = ListAll(m, "\\Crawl") + ListAll(m, "\\Crawl\\data");
  for (int i = 0; i < 20; ++i) names += ListAll(m, shard(i));
  ListAll(m, "\\");
  const size_t walk = HubRequests(hub);
  std::printf("  %-44s %14zu items %4zu requests (fewest 22: %.2fx)\n", "walk: root, data/, 20 folders", names,
              walk, static_cast<double>(walk) / 22.0);
  // Every folder listed once more, from the cache, and the memory all of them took.
  for (int i = 20; i < 100; ++i) ListAll(m, shard(i));
  std::vector<double> cached;
  for (int i = 0; i < 100; ++i) {
    const auto start = Clock::now();
    ListAll(m, shard(i));
    cached.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  ListAll(m, "\\");
  UnloadPluginModule(&m);
  std::printf("  %-44s median %.2f ms, p95 %.2f ms\n", "cached listing of each 1,000-file folder",
              Percentile(cached, 0.5), Percentile(cached, 0.95));
  std::printf("  %-44s %.1f MiB\n", "peak RSS after listing all 100 folders", PeakRssMiB());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string which = argc > 1 ? argv[1] : "cached-tree";
  const fs::path scratch = fs::temp_directory_path() / ("tarnfs-bench-" + std::to_string(
#if defined(_WIN32)
                                                                               GetCurrentProcessId()
#else
                                                                               getpid()
#endif
                                                                                   ));
  int rc = 1;
  if (which == "cached-tree") rc = CachedTree(scratch);
  else if (which == "cached-folder") rc = CachedFolder(scratch);
  else if (which == "org-paging") rc = OrgPaging(scratch);
  else if (which == "folders") rc = Folders(scratch);
  else std::fprintf(stderr, "usage: tarn_listing_bench cached-tree|cached-folder|org-paging|folders\n");
  std::error_code ec;
  fs::remove_all(scratch, ec);
  return rc;
}
