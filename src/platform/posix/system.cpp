// POSIX side of the seam: folders, atomic replace, links resolved, the environment, process facts,
// opening a URL, holding this module.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>
#include <system_error>

#include "platform/platform.h"
#include "core/state.h"
#include "core/text.h"

extern char** environ;

std::u16string PlatformRoamingFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg) return Utf8ToWide(xdg);
  const char* home = std::getenv("HOME");
  if (home && *home) return Utf8ToWide(std::string(home) + "/.config");
  return std::u16string();
}

bool PlatformCreateFolders(const std::u16string& path) {
  if (path.empty()) return false;
  std::error_code ec;
  std::filesystem::create_directories(PlatformFsPath(path), ec);
  return !ec;
}

bool PlatformReplaceFile(const std::u16string& from, const std::u16string& to, bool write_through) {
  const std::string src = WideToUtf8(from);
  const std::string dst = WideToUtf8(to);
  if (!write_through) return ::rename(src.c_str(), dst.c_str()) == 0;
  // Write-through: the data reaches the disk before the name points at it, and the rename after.
  int fd = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  if (!synced || ::rename(src.c_str(), dst.c_str()) != 0) return false;
  const std::string folder = std::filesystem::path(dst).parent_path().string();
  int dfd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

bool PlatformSetFileTime(const std::u16string& path, int64_t unix_seconds) {
  timespec times[2] = {};
  times[0].tv_nsec = UTIME_OMIT;  // the access time stays
  times[1].tv_sec = static_cast<time_t>(unix_seconds);
  return ::utimensat(AT_FDCWD, WideToUtf8(path).c_str(), times, 0) == 0;
}

std::filesystem::path PlatformFsPath(const std::u16string& path) { return std::filesystem::path(WideToUtf8(path)); }

char16_t PlatformPathSeparator() { return u'/'; }

std::u16string PlatformResolvedPath(const std::u16string& path) {
  if (path.empty()) return std::u16string();
  char* resolved = ::realpath(WideToUtf8(path).c_str(), nullptr);
  if (!resolved) return std::u16string();
  std::u16string out = Utf8ToWide(resolved);
  std::free(resolved);
  return out;
}

std::u16string PlatformEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value ? Utf8ToWide(value) : std::u16string();
}

std::u16string PlatformHomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && *home) return Utf8ToWide(home);
  // A service or a cron job may run without $HOME: the account's own entry knows it.
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_dir) {
    return std::u16string();
  }
  return Utf8ToWide(found->pw_dir);
}

uint32_t PlatformThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

uint64_t PlatformTickMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void PlatformSetNoMoreFilesError() { errno = ENOENT; }

namespace {

// The first executable `name` on PATH, found before forking so the child only has to exec.
std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string candidate = (end > start ? dirs.substr(start, end - start) : ".") + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::string();
}

}  // namespace

void PlatformOpenUrl(const std::u16string& url) {
  // xdg-open without a shell, so nothing in the address is interpreted; its failure is ignored. The
  // intermediate child exits at once and is reaped here, so no thread of this module outlives the call
  // (the host may unload the module while the browser starts).
  std::string program = FindOnPath("xdg-open");
  if (program.empty()) return;
  std::string target = WideToUtf8(url);
  char* argv[] = {program.data(), target.data(), nullptr};
  const pid_t child = ::fork();
  if (child == 0) {
    if (::fork() == 0) {
      ::execve(program.c_str(), argv, environ);
      ::_exit(127);
    }
    ::_exit(0);
  }
  if (child > 0) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

void* PlatformHoldModule() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&PlatformHoldModule), &info) == 0 || !info.dli_fname) return nullptr;
  // Already loaded, so this only counts one more reference.
  void* module = ::dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
  // Linked into a program rather than loaded as a module (the test suites): the program is never
  // unloaded, and its own handle stands for it.
  if (!module) module = ::dlopen(nullptr, RTLD_LAZY);
  return module;
}

void PlatformReleaseModule(void* module) {
  if (module) ::dlclose(module);
}

// Module entry point: record this module's handle on load.
__attribute__((constructor)) static void TarnModuleAttach() {
  static int anchor = 0;
  OnModuleAttach(&anchor);
}
