// tarnhost: a stand-in for the file manager. Loads a plugin module, drives its exports from the
// command line and prints what a host would show.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "module_loader.h"

namespace {

PluginModule g_module;
bool g_verbose = false;
int g_answer = 0;  // 0 ask on the terminal, 1 yes, -1 no

void TARN_CALL OnLog(int32_t, int32_t msg_type, HostChar* text) {
  if (g_verbose) std::fprintf(stderr, "[log %d] %s\n", msg_type, FromHostString(text).c_str());
}

int32_t TARN_CALL OnProgress(int32_t, HostChar*, HostChar*, int32_t percent) {
  (void)percent;
  return 0;
}

HostBool TARN_CALL OnRequest(int32_t, int32_t type, HostChar* title, HostChar* text, HostChar*, int32_t) {
  if (type != kRequestYesNo) return 0;
  std::fprintf(stderr, "\n== %s ==\n%s\n", FromHostString(title).c_str(), FromHostString(text).c_str());
  if (g_answer != 0) {
    std::fprintf(stderr, "[answered %s]\n", g_answer > 0 ? "yes" : "no");
    return g_answer > 0;
  }
  std::fprintf(stderr, "[y/N] ");
  char line[16] = {0};
  if (!std::fgets(line, sizeof(line), stdin)) return 0;
  return line[0] == 'y' || line[0] == 'Y';
}

std::string HostPath(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  if (path.empty() || path[0] != '\\') path = "\\" + path;
  return path;
}

std::string FormatTime(const HostFileTime& ft) {
  const uint64_t value = (static_cast<uint64_t>(ft.high) << 32) | ft.low;
  if (value == 0) return "-------------------";
  const int64_t unix_seconds = static_cast<int64_t>(value / 10000000ULL) - 11644473600LL;
  const time_t t = static_cast<time_t>(unix_seconds);
  std::tm tm{};
#if defined(_WIN32)
  gmtime_s(&tm, &t);
#else
  gmtime_r(&t, &tm);
#endif
  char buffer[32];
  std::strftime(buffer, sizeof(buffer), "%Y-%m-%d %H:%M:%S", &tm);
  return buffer;
}

int ListFolder(const std::string& path) {
  std::basic_string<HostChar> wide = ToHostString(HostPath(path));
  HostFindData record{};
  HostHandle handle = g_module.FsFindFirstW(wide.data(), &record);
  if (handle == TARN_INVALID_HANDLE) {
    std::fprintf(stderr, "%s: empty folder (nothing to list, or the listing failed; -v shows why)\n",
                 HostPath(path).c_str());
    return 3;
  }
  do {
    const bool folder = (record.attributes & 0x10) != 0;
    const uint64_t size = (static_cast<uint64_t>(record.size_high) << 32) | record.size_low;
    std::printf("%s %12" PRIu64 "  %s UTC  %s\n", folder ? "dir " : "file", folder ? 0 : size,
                FormatTime(record.last_write_time).c_str(), FromHostString(record.file_name).c_str());
  } while (g_module.FsFindNextW(handle, &record));
  g_module.FsFindClose(handle);
  return 0;
}

void Usage() {
  std::fprintf(stderr,
               "usage: tarnhost [--module PATH] [-v] [--yes|--no] COMMAND\n"
               "  ls PATH        list one folder of the plugin's tree (\\ or / separated)\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string module_path = DefaultModulePath();
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--module" && i + 1 < argc) module_path = argv[++i];
    else if (a == "-v" || a == "--verbose") g_verbose = true;
    else if (a == "--yes") g_answer = 1;
    else if (a == "--no") g_answer = -1;
    else args.push_back(a);
  }
  if (args.empty()) {
    Usage();
    return 2;
  }
  std::string error;
  if (!LoadPluginModule(module_path, &g_module, &error)) {
    std::fprintf(stderr, "tarnhost: %s\n", error.c_str());
    return 2;
  }
  g_module.FsInitW(1, OnProgress, OnLog, OnRequest);
  int rc = 2;
  if (args[0] == "ls" && args.size() == 2) {
    rc = ListFolder(args[1]);
  } else {
    Usage();
  }
  UnloadPluginModule(&g_module);
  return rc;
}
