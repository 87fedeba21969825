// Listing benchmarks through the loaded module, as a host drives it:
//   cached-tree  FsFindFirstW..FsFindClose over 200 folders of a cached 10,000-item repository
//                (median, 95th percentile, peak RSS); no hub needed.
//   org-paging   an organisation of 5,000 repositories paged at 500 against the fake hub
//                (needs TARN_HUB_URL; run through tools/fakehub/run_with_hub.py).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "module_loader.h"

#if defined(_WIN32)
#include <windows.h>
#include <psapi.h>
#else
#include <sys/resource.h>
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

// A tree cache record in the form the plugin writes, fresh by its file time.
void WriteTreeCache(const fs::path& cache) {
  std::string text = "{\n  \"fetched_at\": 1751284800,\n  \"files\": [\n";
  bool first = true;
  auto item = [&](const char* type, const std::string& path, int size) {
    if (!first) text += ",\n";
    first = false;
    text += "    {\n      \"mtime\": 1751284800,\n      \"path\": \"" + path + "\",\n      \"size\": " +
            std::to_string(size) + ",\n      \"type\": \"" + type + "\"\n    }";
  };
  for (int d = 0; d < kFolders; ++d) {
    item("directory", FolderName(d), 0);
    for (int f = 0; f < kFilesPerFolder; ++f) {
      char file[32];
      std::snprintf(file, sizeof(file), "/file-%03d.safetensors", f);
      item("file", FolderName(d) + file, 1000000 + f);
    }
  }
  text += "\n  ],\n  \"repo_id\": \"bench/big\",\n  \"type\": \"model-tree\"\n}";
  WriteFile(cache / "tree_bench_big.json", text);
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
  WriteTreeCache(config / "cache");
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
  else if (which == "org-paging") rc = OrgPaging(scratch);
  else std::fprintf(stderr, "usage: tarn_listing_bench cached-tree|org-paging\n");
  std::error_code ec;
  fs::remove_all(scratch, ec);
  return rc;
}
