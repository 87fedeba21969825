// tarnhost: a stand-in for the file manager. Loads a plugin module, drives its exports from the
// command line and prints what a host would show.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "module_loader.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <csignal>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

PluginModule g_module;
bool g_verbose = false;
int g_answer = 0;  // yes/no questions once the scripted answers are used up: 0 ask, 1 yes, -1 no

// Scripted answers (--answer TEXT, --cancel), used in order by the request boxes that take one.
struct ScriptedAnswer {
  bool cancel = false;
  std::string text;
};
std::deque<ScriptedAnswer> g_answers;

#if defined(_WIN32)
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

void TARN_CALL OnLog(int32_t, int32_t msg_type, HostChar* text) {
  if (g_verbose) std::fprintf(stderr, "[log %d] %s\n", msg_type, FromHostString(text).c_str());
}

volatile int g_interrupted = 0;  // Ctrl-C: the next progress report asks the plugin to cancel
int g_last_percent = -1;
bool g_progress_drawn = false;
int g_messages_shown = 0;  // OK messages: how an operation's end tells what it could not commit

int32_t TARN_CALL OnProgress(int32_t, HostChar* source, HostChar*, int32_t percent) {
  if (percent != g_last_percent) {
    g_last_percent = percent;
    const int width = 40;
    const int filled = percent < 0 ? 0 : (percent > 100 ? width : percent * width / 100);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(width - filled), '.');
    std::string name = FromHostString(source);
    const size_t cut = name.find_last_of("/\\");
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

// A line from the terminal without its line break; false at the end of input.
bool ReadLine(std::string* line, bool hidden) {
#if defined(_WIN32)
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  const bool console = hidden && GetConsoleMode(in, &mode);
  if (console) SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
#else
  termios saved{};
  const bool console = hidden && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (console) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  }
#endif
  char buffer[1024];
  const bool got = std::fgets(buffer, sizeof(buffer), stdin) != nullptr;
#if defined(_WIN32)
  if (console) SetConsoleMode(in, mode);
#else
  if (console) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
#endif
  if (hidden) std::fprintf(stderr, "\n");
  if (!got) return false;
  *line = buffer;
  while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
  return true;
}

bool IsYes(const std::string& text) {
  return !text.empty() && (text[0] == 'y' || text[0] == 'Y' || text == "ok" || text == "OK");
}

// The host's request boxes: 0 text, 2 password, 7 URL, 8 OK message, 9 yes/no, 10 OK/Cancel. The
// answer buffer holds the default on entry and the typed text on OK.
HostBool TARN_CALL OnRequest(int32_t, int32_t type, HostChar* title, HostChar* text, HostChar* answer, int32_t max_len) {
  std::fprintf(stderr, "\n== %s ==\n%s\n", FromHostString(title).c_str(), FromHostString(text).c_str());
  if (type == kRequestMessageOk) {
    ++g_messages_shown;
    std::fprintf(stderr, "[OK]\n");
    return 1;
  }
  const bool question = type == kRequestYesNo || type == kRequestOkCancel;
  const bool text_box = type == kRequestOther || type == kRequestPassword || type == kRequestUrl;
  if (!question && !text_box) return 0;
  if (text_box && (!answer || max_len <= 0)) return 0;

  ScriptedAnswer reply;
  if (!g_answers.empty()) {
    reply = g_answers.front();
    g_answers.pop_front();
    std::fprintf(stderr, "[answered %s]\n",
                 reply.cancel ? "cancel" : (type == kRequestPassword ? "(hidden)" : reply.text.c_str()));
  } else if (question && g_answer != 0) {
    reply.text = g_answer > 0 ? "y" : "n";
    std::fprintf(stderr, "[answered %s]\n", g_answer > 0 ? "yes" : "no");
  } else {
    const std::string fallback = text_box ? FromHostString(answer) : "";
    if (question) {
      std::fprintf(stderr, type == kRequestYesNo ? "[y/N] " : "[ok/Cancel] ");
    } else if (type != kRequestPassword && !fallback.empty()) {
      std::fprintf(stderr, "[%s] ", fallback.c_str());  // Enter keeps the default
    } else {
      std::fprintf(stderr, "> ");
    }
    std::fflush(stderr);
    if (!ReadLine(&reply.text, type == kRequestPassword)) return 0;  // end of input cancels
    if (text_box && reply.text.empty()) reply.text = fallback;
  }
  if (reply.cancel) return 0;
  if (question) return IsYes(reply.text) ? 1 : 0;
  const std::basic_string<HostChar> typed = ToHostString(reply.text);
  const size_t n = typed.size() < static_cast<size_t>(max_len) - 1 ? typed.size() : static_cast<size_t>(max_len) - 1;
  for (size_t i = 0; i < n; ++i) answer[i] = typed[i];
  answer[n] = 0;
  return 1;
}

// A path as this platform's host writes it: "\\" on Windows, "/" elsewhere (where "\\" is a name
// character to the host, though the module accepts both).
std::string HostPath(std::string path) {
#if defined(_WIN32)
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
#endif
  if (path.empty() || (path[0] != '/' && path[0] != '\\')) path = std::string(1, kSeparator) + path;
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
  const bool root = folder.size() == 1 && (folder[0] == '/' || folder[0] == '\\');
  return root ? folder + name : folder + kSeparator + name;
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
                child.second ? std::string(1, kSeparator).c_str() : "");
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

// The host's bracket around an operation, as a file manager sends it: start before, end after.
// `failed` tells whether the end showed a message (what it could not commit).
struct Operation {
  std::basic_string<HostChar> dir;
  int32_t code;
  int messages = 0;
  Operation(const std::string& remote_dir, int32_t operation) : dir(ToHostString(HostPath(remote_dir))), code(operation) {
    g_module.FsStatusInfoW(dir.data(), kStatusStart, code);
  }
  bool End() {
    messages = g_messages_shown;
    g_module.FsStatusInfoW(dir.data(), kStatusEnd, code);
    code = -1;
    return g_messages_shown == messages;
  }
  ~Operation() {
    if (code >= 0) g_module.FsStatusInfoW(dir.data(), kStatusEnd, code);
  }
};

std::string ParentOf(const std::string& path) {
  const size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos || cut == 0 ? std::string(1, kSeparator) : path.substr(0, cut);
}

std::string BaseName(const std::string& path) {
  const size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

// One LOCAL goes to REMOTE as its name (operation 4); several go into the folder REMOTE (5). The
// operation's end commits what the files did not commit themselves.
int Put(const std::vector<std::string>& locals, const std::string& remote, int32_t flags) {
  InstallInterruptHandler();
  const bool several = locals.size() > 1;
  int failures = 0;
  int last_rc = 0;
  {
    Operation operation(several ? remote : ParentOf(HostPath(remote)), several ? kOpPutSeveral : kOpPutOne);
    for (const std::string& local : locals) {
      const std::string target = several ? JoinHostPath(HostPath(remote), BaseName(local)) : HostPath(remote);
      std::basic_string<HostChar> l = ToHostString(local), r = ToHostString(target);
      g_last_percent = -1;
      g_progress_drawn = false;
      const int32_t rc = g_module.FsPutFileW(l.data(), r.data(), flags);
      if (g_progress_drawn) std::fprintf(stderr, "\n");
      static const char* kMeaning[] = {"done", "target exists (use --overwrite)", "not found", "read error",
                                       "write error", "cancelled", "not supported"};
      const char* meaning = (rc >= 0 && rc <= 6) ? kMeaning[rc] : "unknown result";
      std::fprintf(rc == 0 ? stdout : stderr, "put %s -> %s: %s (%d)\n", local.c_str(), target.c_str(), meaning, rc);
      if (rc != 0) {
        ++failures;
        last_rc = rc;
      }
      if (rc == kFileUserAbort) break;
    }
    if (!operation.End()) {
      std::fprintf(stderr, "put: the operation's commit failed (see the message)\n");
      ++failures;
      last_rc = kFileWriteError;
    }
  }
  return failures == 0 ? 0 : 10 + last_rc;
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
               "usage: tarnhost [--module PATH] [-v] [--yes|--no] [--answer TEXT|--cancel]... COMMAND\n"
               "  ls PATH                          list one folder of the plugin's tree\n"
               "  tree PATH [--depth N]            walk the tree below PATH (default depth 3)\n"
               "  get REMOTE LOCAL [--overwrite|--resume]\n"
               "                                   copy a file out, with a progress bar; Ctrl-C cancels\n"
               "  exec REMOTE [VERB...]            run a command on an item: open (default), properties,\n"
               "                                   edit, or \"quote export PATH\" and the like\n"
               "  put LOCAL... REMOTE [--overwrite|--move]\n"
               "                                   copy files in: one LOCAL to the path REMOTE, several into\n"
               "                                   the folder REMOTE; one operation, with a progress bar\n"
               "  rm PATH | rmdir PATH | mv OLD NEW | mkdir PATH\n"
               "                                   one operation each, as a file manager brackets them\n"
               "The module's questions are asked on the terminal (a line for text, y/n, hidden input for the\n"
               "key) unless --answer/--cancel give the answers in order; --yes/--no answer the yes/no rest.\n");
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
    else if (a == "--answer" && i + 1 < argc) g_answers.push_back({false, argv[++i]});
    else if (a == "--cancel") g_answers.push_back({true, ""});
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
  } else if (cmd == "exec" && args.size() >= 2) {
    std::string verb = args.size() == 2 ? "open" : args[2];
    for (size_t i = 3; i < args.size(); ++i) verb += " " + args[i];
    rc = Execute(args[1], verb);
  } else if (cmd == "put" && args.size() >= 3) {
    std::vector<std::string> rest(args.begin() + 1, args.end());
    int32_t flags = 0;
    if (rest.back() == "--overwrite" || rest.back() == "--move") {
      flags = rest.back() == "--overwrite" ? kCopyOverwrite : kCopyMove;
      rest.pop_back();
    }
    if (rest.size() >= 2) {
      const std::string remote = rest.back();
      rest.pop_back();
      rc = Put(rest, remote, flags);
    } else {
      Usage();
    }
  } else if ((cmd == "rm" || cmd == "rmdir") && args.size() == 2) {
    std::basic_string<HostChar> p = ToHostString(HostPath(args[1]));
    {
      Operation operation(ParentOf(HostPath(args[1])), kOpDelete);
      rc = (cmd == "rm" ? g_module.FsDeleteFileW(p.data()) : g_module.FsRemoveDirW(p.data())) ? 0 : 1;
      if (!operation.End()) rc = 1;
    }
    std::printf("%s %s: %s\n", cmd.c_str(), HostPath(args[1]).c_str(), rc == 0 ? "true" : "false");
  } else if (cmd == "mv" && args.size() == 3) {
    std::basic_string<HostChar> a = ToHostString(HostPath(args[1])), b = ToHostString(HostPath(args[2]));
    int32_t r = 0;
    {
      Operation operation(ParentOf(HostPath(args[1])), kOpRenameOne);
      r = g_module.FsRenMovFileW(a.data(), b.data(), 1, 0, nullptr);
      if (!operation.End() && r == 0) r = kFileWriteError;
    }
    std::printf("mv: %d\n", r);
    rc = r == 0 ? 0 : 1;
  } else if (cmd == "mkdir" && args.size() == 2) {
    std::basic_string<HostChar> p = ToHostString(HostPath(args[1]));
    const Operation operation(ParentOf(HostPath(args[1])), kOpMakeFolder);
    rc = g_module.FsMkDirW(p.data()) ? 0 : 1;
  } else {
    Usage();
  }
  UnloadPluginModule(&g_module);
  return rc;
}
