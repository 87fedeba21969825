// Copies one file out of the tree through the loaded module's FsGetFileW, as a host does, and prints
// the transfer rate and the peak memory growth of the copy.
// usage: tarn_get_bench HUB_URL REPO_ID FILE LOCAL [--cancel-at PERCENT] [--settings JSON-MEMBERS] [--keep] [--again]
//                       [--list]
//   The module's configuration (a fresh folder, or APPDATA under Wine) holds one single-model entry
//   "Bench" for REPO_ID and hub_url HUB_URL, plus JSON-MEMBERS (e.g. '"some_setting": 8') as given.
//   The copy is preceded by one of warm.txt from the same repository, so the libraries and the
//   listing are loaded before the memory baseline is read. --cancel-at answers "cancel" to the
//   first progress report at or above PERCENT. The configuration folder starts empty unless --keep
//   is given (a second run after a cancelled one). --again copies the file a second time and prints
//   how much the peak grew beyond the first copy's. --list lists the entry's folder first, as a host
//   does before a copy: the copy then has the listing's size and hash.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "module_loader.h"
#include "peak_memory.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace {

int32_t g_cancel_at = 101;
int32_t g_last_percent = -1;
int g_reports = 0;

fs::path ConfigFolder() {
#if defined(_WIN32)
  wchar_t buffer[MAX_PATH] = {0};
  GetEnvironmentVariableW(L"APPDATA", buffer, MAX_PATH);
  return fs::path(buffer) / "tarnfs";
#else
  const fs::path scratch = fs::temp_directory_path() / "tarnfs-get-bench";
  setenv("XDG_CONFIG_HOME", scratch.string().c_str(), 1);
  setenv("XDG_DATA_HOME", (scratch / "data").string().c_str(), 1);
  return scratch / "tarnfs";
#endif
}

int32_t TARN_CALL OnProgress(int32_t, HostChar*, HostChar*, int32_t percent) {
  g_last_percent = percent;
  ++g_reports;
  return percent >= g_cancel_at ? 1 : 0;
}

void TARN_CALL OnLog(int32_t, int32_t, HostChar* text) {
  if (std::getenv("BENCH_VERBOSE")) std::fprintf(stderr, "[log] %s\n", FromHostString(text).c_str());
}

HostBool TARN_CALL OnRequest(int32_t, int32_t, HostChar*, HostChar*, HostChar*, int32_t) { return 0; }

void List(PluginModule& m, const std::string& folder) {
  std::basic_string<HostChar> path = ToHostString(folder);
  HostFindData data{};
  const HostHandle handle = m.FsFindFirstW(path.data(), &data);
  if (handle == TARN_INVALID_HANDLE) return;
  while (m.FsFindNextW(handle, &data)) {
  }
  m.FsFindClose(handle);
}

int32_t Get(PluginModule& m, const std::string& remote, const std::string& local) {
  std::basic_string<HostChar> r = ToHostString(remote);
  std::basic_string<HostChar> l = ToHostString(local);
  HostRemoteInfo info{};
  return m.FsGetFileW(r.data(), l.data(), kCopyOverwrite, &info);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s HUB_URL REPO_ID FILE LOCAL [--cancel-at P] [--settings JSON] [--keep] [--again] [--list]\n",
                 argv[0]);
    return 2;
  }
  std::string settings;
  int32_t cancel_at = 101;
  bool keep = false;
  bool again = false;
  bool list = false;
  for (int i = 5; i < argc; ++i) {
    if (std::strcmp(argv[i], "--cancel-at") == 0 && i + 1 < argc) cancel_at = std::atoi(argv[++i]);
    else if (std::strcmp(argv[i], "--settings") == 0 && i + 1 < argc) settings = argv[++i];
    else if (std::strcmp(argv[i], "--keep") == 0) keep = true;
    else if (std::strcmp(argv[i], "--again") == 0) again = true;
    else if (std::strcmp(argv[i], "--list") == 0) list = true;
  }
  const fs::path config = ConfigFolder();
  std::error_code gone;
  if (!keep) fs::remove_all(config, gone);  // no listing cached from an earlier file of the same name
  fs::create_directories(config);
  {
    std::ofstream out(config / "favorites.json", std::ios::binary | std::ios::trunc);
    out << R"({"hub_url": ")" << argv[1] << R"(", "cache_ttl_hours": 24, )"
        << (settings.empty() ? "" : settings + ", ")
        << R"("entries": [{"display_name": "Bench", "id": "bench-1", "type": "single-model", "kind": "model", )"
        << R"("repo_id": ")" << argv[2] << R"(", "created_at": 1764979200}]})";
  }
  PluginModule m;
  std::string error;
  if (!LoadPluginModule(DefaultModulePath(), &m, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  m.FsInitW(1, OnProgress, OnLog, OnRequest);
  if (list) List(m, "\\Bench");
  const std::string local = argv[4];
  // Beside the target, not onto it: a copy of another file to the target would drop what a cancelled
  // copy kept for it.
  const std::string warm_local = local + ".warm.txt";
  const int32_t warm = Get(m, "\\Bench\\warm.txt", warm_local);
  std::error_code ec;
  fs::remove(fs::u8path(warm_local), ec);
  const uint64_t idle = PeakResidentBytes();
  g_reports = 0;
  g_cancel_at = cancel_at;

  const double cpu_start = ProcessorSeconds();
  const auto start = std::chrono::steady_clock::now();
  const int32_t rc = Get(m, std::string("\\Bench\\") + argv[3], local);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu_seconds = ProcessorSeconds() - cpu_start;
  const uint64_t peak = PeakResidentBytes();
  // Once more when asked: growth beyond the first copy's peak is what every later copy costs, apart
  // from what the first one paid once (threads' first start, libraries loaded on first use).
  uint64_t again_peak = peak;
  if (again && rc == 0) {
    Get(m, std::string("\\Bench\\") + argv[3], local);
    again_peak = PeakResidentBytes();
  }
  UnloadPluginModule(&m);

  const long long bytes = rc == 0 ? static_cast<long long>(fs::file_size(fs::u8path(local), ec)) : 0;
  std::printf("result=%d warm=%d bytes=%lld seconds=%.3f mb_per_s=%.1f cpu_seconds=%.3f rss_growth_kib=%llu "
              "reports=%d last_percent=%d",
              rc, warm, bytes, seconds, bytes / 1e6 / seconds, cpu_seconds,
              static_cast<unsigned long long>((peak > idle ? peak - idle : 0) / 1024), g_reports,
              g_last_percent);
  if (again) std::printf(" again_growth_kib=%llu", static_cast<unsigned long long>((again_peak - peak) / 1024));
  std::printf("\n");
  return rc == 0 || (cancel_at <= 100 && rc == kFileUserAbort) ? 0 : 1;
}
