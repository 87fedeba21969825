// tarnhost: a stand-in for the file manager. Loads a plugin module, drives its exports from the
// command line and prints what a host would show.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "module_loader.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <csignal>
#include <unistd.h>
#endif

namespace {

PluginModule g_module;
bool g_verbose = false;
int g_answer = 0;  // 0 ask on the terminal, 1 yes, -1 no

void TARN_CALL OnLog(int32_t, int32_t msg_type, HostChar* text) {
  if (g_verbose) std::fprintf(stderr, "[log %d] %s\n", msg_type, FromHostString(text).c_str());
}

volatile int g_interrupted = 0;  // Ctrl-C: the next progress report asks the plugin to cancel
int g_last_percent = -1;
bool g_progress_drawn = false;

int32_t TARN_CALL OnProgress(int32_t, HostChar* source, HostChar*, int32_t percent) {
  if (percent != g_last_percent) {
    g_last_percent = percent;
    const int width = 40;
    const int filled = percent < 0 ? 0 : (percent > 100 ? width : percent * width / 100);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(width - filled), '.');
    std::string name = FromHostString(source);
    const size_t cut = name.find_last_of('\\');
    if (cut != std::string::npos) name = name.substr(cut + 1);
    std::fprintf(stderr, "\r[%s] %3d%%  %s", bar.c_str(), percent, name.c_str());
    std::fflush(stderr);
    g_progress_drawn = true;
  }
  return g_interrupted ? 1 : 0;
}

#if defined(_WIN32)
BOOL WINAPI OnConsoleCtrl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  g_interrupted = 1;
  return TRUE;
}
void InstallInterruptHandler() { SetConsoleCtrlHandler(OnConsoleCtrl, TRUE); }
#else
void OnSigint(int) { g_interrupted = 1; }
void InstallInterruptHandler() { std::signal(SIGINT, OnSigint); }
#endif

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

std::string JoinHostPath(const std::string& folder, const std::string& name) {
  return folder == "\\" ? "\\" + name : folder + "\\" + name;
}

// Depth-first walk, listing each folder once; the listing is closed before descending, as a file
// manager does when the user opens folders one by one.
int Tree(const std::string& path, int depth, int max_depth) {
  std::basic_string<HostChar> wide = ToHostString(path);
  HostFindData record{};
  HostHandle handle = g_module.FsFindFirstW(wide.data(), &record);
  if (handle == TARN_INVALID_HANDLE) return 0;
  std::vector<std::pair<std::string, bool>> children;
  std::vector<uint64_t> sizes;
  do {
    children.emplace_back(FromHostString(record.file_name), (record.attributes & 0x10) != 0);
    sizes.push_back((static_cast<uint64_t>(record.size_high) << 32) | record.size_low);
  } while (g_module.FsFindNextW(handle, &record));
  g_module.FsFindClose(handle);
  int count = 0;
  for (size_t i = 0; i < children.size(); ++i) {
    const auto& child = children[i];
    std::printf("%s%s%s", std::string(static_cast<size_t>(depth) * 2, ' ').c_str(), child.first.c_str(),
                child.second ? "\\" : "");
    if (!child.second) std::printf("  (%" PRIu64 " bytes)", sizes[i]);
    std::printf("\n");
    ++count;
    // The temporary folder asks for an address; a walk never enters it.
    if (child.second && depth + 1 < max_depth && child.first != "***_TEMPORARY_***") {
      count += Tree(JoinHostPath(path, child.first), depth + 1, max_depth);
    }
  }
  return count;
}

int Get(const std::string& remote, const std::string& local, int32_t flags) {
  InstallInterruptHandler();
  std::basic_string<HostChar> r = ToHostString(HostPath(remote));
  std::basic_string<HostChar> l = ToHostString(local);
  HostRemoteInfo info{};
  const auto started = std::chrono::steady_clock::now();
  const int32_t rc = g_module.FsGetFileW(r.data(), l.data(), flags, &info);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (g_progress_drawn) std::fprintf(stderr, "\n");
  if (rc == 0) {
    std::error_code ec;
    const double bytes = static_cast<double>(std::filesystem::file_size(std::filesystem::u8path(local), ec));
    if (!ec && seconds > 0) std::fprintf(stderr, "%.0f bytes in %.1f s (%.1f MB/s)\n", bytes, seconds, bytes / seconds / 1e6);
  }
  static const char* kMeaning[] = {"done", "target exists (use --overwrite)", "not found", "read error",
                                   "write error", "cancelled", "not supported",
                                   "target exists and is shorter (use --resume or --overwrite)"};
  const char* meaning = (rc >= 0 && rc <= 7) ? kMeaning[rc] : "unknown result";
  std::fprintf(rc == 0 ? stdout : stderr, "get %s -> %s: %s (%d)\n", HostPath(remote).c_str(), local.c_str(),
               meaning, rc);
  return rc == 0 ? 0 : 10 + rc;
}

int Execute(const std::string& remote, const std::string& verb) {
  std::basic_string<HostChar> r = ToHostString(HostPath(remote));
  r.resize(r.size() < 260 ? 260 : r.size() + 1, 0);
  std::basic_string<HostChar> v = ToHostString(verb);
  const int32_t rc = g_module.FsExecuteFileW(nullptr, r.data(), v.data());
  if (rc == kExecSymlink) {
    std::printf("exec %s: go to %s\n", verb.c_str(), FromHostString(r.data()).c_str());
  } else {
    std::printf("exec %s: %s (%d)\n", verb.c_str(), rc == 0 ? "done" : "host handles it", rc);
  }
  return 0;
}

void Usage() {
  std::fprintf(stderr,
               "usage: tarnhost [--module PATH] [-v] [--yes|--no] COMMAND\n"
               "  ls PATH                          list one folder of the plugin's tree (\\ or / separated)\n"
               "  tree PATH [--depth N]            walk the tree below PATH (default depth 3)\n"
               "  get REMOTE LOCAL [--overwrite|--resume]\n"
               "                                   copy a file out, with a progress bar; Ctrl-C cancels\n"
               "  exec REMOTE [VERB]               run a command on an item (open, properties, edit)\n"
               "  rm PATH | mv OLD NEW | mkdir PATH\n");
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
  const std::string& cmd = args[0];
  if (cmd == "ls" && args.size() == 2) {
    rc = ListFolder(args[1]);
  } else if (cmd == "tree" && (args.size() == 2 || (args.size() == 4 && args[2] == "--depth"))) {
    const int depth = args.size() == 4 ? std::atoi(args[3].c_str()) : 3;
    rc = Tree(HostPath(args[1]), 0, depth > 0 ? depth : 1) > 0 ? 0 : 3;
    if (rc != 0) std::fprintf(stderr, "%s: empty folder\n", HostPath(args[1]).c_str());
  } else if (cmd == "get" && (args.size() == 3 || (args.size() == 4 && (args[3] == "--overwrite" ||
                                                                         args[3] == "--resume")))) {
    rc = Get(args[1], args[2], args.size() == 3 ? 0 : args[3] == "--overwrite" ? kCopyOverwrite : kCopyResume);
  } else if (cmd == "exec" && (args.size() == 2 || args.size() == 3)) {
    rc = Execute(args[1], args.size() == 3 ? args[2] : "open");
  } else if (cmd == "rm" && args.size() == 2) {
    std::basic_string<HostChar> p = ToHostString(HostPath(args[1]));
    rc = g_module.FsDeleteFileW(p.data()) ? 0 : 1;
    std::printf("rm %s: %s\n", HostPath(args[1]).c_str(), rc == 0 ? "true" : "false");
  } else if (cmd == "mv" && args.size() == 3) {
    std::basic_string<HostChar> a = ToHostString(HostPath(args[1])), b = ToHostString(HostPath(args[2]));
    const int32_t r = g_module.FsRenMovFileW(a.data(), b.data(), 1, 0, nullptr);
    std::printf("mv: %d\n", r);
    rc = r == 0 ? 0 : 1;
  } else if (cmd == "mkdir" && args.size() == 2) {
    std::basic_string<HostChar> p = ToHostString(HostPath(args[1]));
    rc = g_module.FsMkDirW(p.data()) ? 0 : 1;
  } else {
    Usage();
  }
  UnloadPluginModule(&g_module);
  return rc;
}
