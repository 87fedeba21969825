// Lists folders of one repository through a plugin module loaded by path, as a host does, and prints
// what each listing showed and how long it took; bench/scale_bench.py runs it per case and judges.
//
// usage: tarn_scale_bench MODULE HUB_URL model|dataset REPO_ID STEP...
//   list:PATH     one listing (FsFindFirstW, FsFindNextW..., FsFindClose) of PATH, a "/"-separated
//                 folder of the repository ("" for its root)
//   watch:PATH:EVERY:FOR:TRUTH
//                 lists PATH, then again every EVERY seconds until every name in TRUTH (lines of
//                 "name<TAB>unix seconds") shows its time, or FOR seconds have passed
//   phase:NAME    the listings that follow are reported under NAME
//   sleep:SECONDS waits, as a user who looks at what was listed
//   browse:SECONDS:PAUSE_MS:PATH,PATH...
//                 lists the PATHs one after another, again and again, PAUSE_MS apart, until SECONDS
//                 have passed (bench/pinned_bench.py)
// The module gets a fresh configuration folder (the roaming folder's under Windows and Wine) with one
// single-repository entry "Bench" and the hub address, so every run starts from an empty cache.
// Output, one JSON object a line: {"phase","path","wall","t","ms","items":[[name,folder,size,unix],...]}
// per listing (wall: its start in seconds since 1970, to match the fake hub's request log),
// {"log":TEXT} per log line and {"request":TEXT} per question of the module, and last
// {"rss_before_module","rss_after_load","peak_rss"} in bytes.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "module_loader.h"
#include "peak_memory.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

Clock::time_point g_start;

std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

void Emit(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void TARN_CALL OnLog(int32_t, int32_t, HostChar* text) { Emit("{\"log\":" + JsonText(FromHostString(text)) + "}"); }

HostBool TARN_CALL OnRequest(int32_t, int32_t type, HostChar* title, HostChar* text, HostChar*, int32_t) {
  Emit("{\"request\":" + JsonText(FromHostString(title) + ": " + FromHostString(text)) + "}");
  return type == kRequestMessageOk ? 1 : 0;  // an OK box is acknowledged; a question is answered no
}

int32_t TARN_CALL OnProgress(int32_t, HostChar*, HostChar*, int32_t) { return 0; }

fs::path ConfigFolder() {
#if defined(_WIN32)
  wchar_t buffer[MAX_PATH] = {0};
  GetEnvironmentVariableW(L"APPDATA", buffer, MAX_PATH);
  return fs::path(buffer) / "tarnfs";
#else
  const fs::path scratch = fs::temp_directory_path() / ("tarnfs-scale-bench-" + std::to_string(getpid()));
  setenv("XDG_CONFIG_HOME", scratch.string().c_str(), 1);
  setenv("XDG_DATA_HOME", (scratch / "data").string().c_str(), 1);
  return scratch / "tarnfs";
#endif
}

int64_t UnixTime(const HostFileTime& t) {
  const uint64_t ft = (static_cast<uint64_t>(t.high) << 32) | t.low;
  if (ft == 0) return 0;  // the module's "no time"
  return static_cast<int64_t>((ft - 116444736000000000ULL) / 10000000ULL);
}

struct Shown {
  std::string name;
  bool folder = false;
  uint64_t size = 0;
  int64_t time = 0;
};

std::vector<Shown> ListOnce(PluginModule& m, const std::string& phase, const std::string& path) {
  std::string host_path = "\\Bench";
  if (!path.empty()) host_path += "\\" + path;
  for (char& c : host_path) c = c == '/' ? '\\' : c;
  std::basic_string<HostChar> wide = ToHostString(host_path);
  std::vector<Shown> shown;
  const double wall = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  const auto began = Clock::now();
  HostFindData data{};
  HostHandle handle = m.FsFindFirstW(wide.data(), &data);
  if (handle != TARN_INVALID_HANDLE) {
    do {
      Shown s;
      s.name = FromHostString(data.file_name);
      s.folder = (data.attributes & 0x10) != 0;
      s.size = (static_cast<uint64_t>(data.size_high) << 32) | data.size_low;
      s.time = UnixTime(data.last_write_time);
      shown.push_back(std::move(s));
    } while (m.FsFindNextW(handle, &data));
    m.FsFindClose(handle);
  }
  const auto ended = Clock::now();
  char wall_text[32];
  std::snprintf(wall_text, sizeof(wall_text), "%.4f", wall);
  std::string line = "{\"phase\":" + JsonText(phase) + ",\"path\":" + JsonText(path) + ",\"wall\":" + wall_text +
                     ",\"t\":" + std::to_string(std::chrono::duration<double>(began - g_start).count()) + ",\"ms\":" +
                     std::to_string(std::chrono::duration<double, std::milli>(ended - began).count()) +
                     ",\"items\":[";
  for (size_t i = 0; i < shown.size(); ++i) {
    if (i) line += ",";
    line += "[" + JsonText(shown[i].name) + "," + (shown[i].folder ? "1" : "0") + "," +
            std::to_string(shown[i].size) + "," + std::to_string(shown[i].time) + "]";
  }
  Emit(line + "]}");
  return shown;
}

std::map<std::string, int64_t> ReadTruth(const std::string& file) {
  std::map<std::string, int64_t> truth;
  std::ifstream in(fs::u8path(file), std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    const size_t tab = line.find('\t');
    if (tab != std::string::npos) truth[line.substr(0, tab)] = std::atoll(line.c_str() + tab + 1);
  }
  return truth;
}

bool AllDatesRight(const std::vector<Shown>& shown, const std::map<std::string, int64_t>& truth) {
  size_t right = 0;
  for (const Shown& s : shown) {
    const auto found = truth.find(s.name);
    if (found != truth.end() && found->second == s.time) ++right;
  }
  return !truth.empty() && right == truth.size();
}

// watch:PATH:EVERY:FOR:TRUTH (TRUTH may hold ":" itself, a drive letter under Windows).
void Watch(PluginModule& m, const std::string& phase, const std::string& watch_list) {
  std::vector<std::string> parts;
  size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    const size_t colon = watch_list.find(':', pos);
    if (colon == std::string::npos) return;
    parts.push_back(watch_list.substr(pos, colon - pos));
    pos = colon + 1;
  }
  const std::string path = parts[0];
  const double every = std::atof(parts[1].c_str()), limit = std::atof(parts[2].c_str());
  const std::map<std::string, int64_t> truth = ReadTruth(watch_list.substr(pos));
  const auto first = Clock::now();
  for (int round = 1;; ++round) {
    if (AllDatesRight(ListOnce(m, phase, path), truth)) return;
    const auto next = first + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(every * round));
    if (std::chrono::duration<double>(next - first).count() > limit) return;
    std::this_thread::sleep_until(next);
  }
}

// browse:SECONDS:PAUSE_MS:PATH,PATH...
void Browse(PluginModule& m, const std::string& phase, const std::string& step) {
  const size_t first = step.find(':'), second = first == std::string::npos ? first : step.find(':', first + 1);
  if (second == std::string::npos) return;
  const double seconds = std::atof(step.c_str());
  const auto pause = std::chrono::milliseconds(std::atoll(step.c_str() + first + 1));
  std::vector<std::string> paths;
  for (size_t pos = second + 1; pos <= step.size();) {
    const size_t comma = std::min(step.find(',', pos), step.size());
    paths.push_back(step.substr(pos, comma - pos));
    pos = comma + 1;
  }
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  for (size_t i = 0; Clock::now() < end; ++i) {
    ListOnce(m, phase, paths[i % paths.size()]);
    std::this_thread::sleep_for(pause);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6 || (std::strcmp(argv[3], "model") != 0 && std::strcmp(argv[3], "dataset") != 0)) {
    std::fprintf(stderr, "usage: %s MODULE HUB_URL model|dataset REPO_ID STEP...\n", argv[0]);
    return 2;
  }
  const fs::path config = ConfigFolder();
  std::error_code ec;
  fs::remove_all(config, ec);
  fs::create_directories(config, ec);
  {
    std::ofstream out(config / "favorites.json", std::ios::binary | std::ios::trunc);
    out << R"({"hub_url": )" << JsonText(argv[2]) << R"(, "cache_ttl_hours": 24, "entries": [)"
        << R"({"display_name": "Bench", "id": "bench-1", "type": "single-model", "kind": ")" << argv[3]
        << R"(", "repo_id": )" << JsonText(argv[4]) << R"(, "created_at": 1764979200}]})";
  }
  const uint64_t before = PeakResidentBytes();
  PluginModule m;
  std::string error;
  if (!LoadPluginModule(argv[1], &m, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  m.FsInitW(1, OnProgress, OnLog, OnRequest);
  const uint64_t loaded = PeakResidentBytes();
  g_start = Clock::now();
  std::string phase = "main";
  for (int i = 5; i < argc; ++i) {
    const std::string step = argv[i];
    if (step.compare(0, 5, "list:") == 0) ListOnce(m, phase, step.substr(5));
    else if (step.compare(0, 6, "watch:") == 0) Watch(m, phase, step.substr(6));
    else if (step.compare(0, 6, "phase:") == 0) phase = step.substr(6);
    else if (step.compare(0, 6, "sleep:") == 0) std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(step.c_str() + 6)));
    else if (step.compare(0, 7, "browse:") == 0) Browse(m, phase, step.substr(7));
    else std::fprintf(stderr, "unknown step %s\n", step.c_str());
  }
  const uint64_t peak = PeakResidentBytes();
  UnloadPluginModule(&m);
  Emit("{\"rss_before_module\":" + std::to_string(before) + ",\"rss_after_load\":" + std::to_string(loaded) +
       ",\"peak_rss\":" + std::to_string(peak) + "}");
#if !defined(_WIN32)
  fs::remove_all(config.parent_path(), ec);
#endif
  return 0;
}
