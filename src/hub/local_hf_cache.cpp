// The hub's Python tools keep one folder per repository, "models--owner--name",
// "datasets--owner--name" or "spaces--owner--name": blobs/ holds each file once, named by the hash the
// hub gives as its ETag (SHA-256 for large files, the git blob id for the rest), and
// snapshots/<commit>/<path> are links to those blobs, or plain copies where the system refuses links
// (the blob is then often missing).
#include "hub/local_hf_cache.h"

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "core/files.h"
#include "core/text.h"
#include "hub/transfer.h"
#include "platform/platform.h"

namespace {

constexpr size_t kCopyBlock = 1 << 20;
constexpr size_t kMaxRefBytes = 256;

// A name that joined below a folder stays one name in that folder, on either system.
bool IsPlainName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ':') return false;
  }
  return true;
}

// "a/b/c" as its names; empty when one of them is not a plain name.
std::vector<std::string> PlainNames(const std::string& path) {
  std::vector<std::string> names;
  size_t start = 0;
  for (;;) {
    const size_t slash = path.find('/', start);
    names.push_back(path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (!IsPlainName(names.back())) return {};
    if (slash == std::string::npos) return names;
    start = slash + 1;
  }
}

std::u16string ExpandHome(const std::u16string& value) {
  if (value.empty() || value[0] != u'~') return value;
  if (value.size() > 1 && value[1] != u'/' && value[1] != u'\\') return value;  // "~user" is left alone
  const std::u16string home = PlatformHomeFolder();
  return home.empty() ? std::u16string() : home + value.substr(1);
}

// Whether the resolved `path` lies below the resolved `folder`.
bool IsInside(const std::u16string& path, const std::u16string& folder) {
  if (folder.empty() || path.size() <= folder.size() || path.compare(0, folder.size(), folder) != 0) return false;
  const char16_t separator = PlatformPathSeparator();
  return folder.back() == separator || path[folder.size()] == separator;
}

struct Lookup {
  std::u16string root;   // resolved
  std::u16string blobs;  // the repository's blobs folder, resolved; empty when it has none
  int64_t size = -1;
  std::set<std::u16string> seen;

  // The file `path` leads to, when it is a regular file inside the root of the size looked for.
  std::u16string Usable(const std::u16string& path) {
    const std::u16string resolved = PlatformResolvedPath(path);
    if (resolved.empty() || !IsInside(resolved, root)) return std::u16string();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(FsPath(resolved), ec)) return std::u16string();  // no device, no pipe
    if (size >= 0 && FileSize(resolved) != size) return std::u16string();
    return resolved;
  }
};

// The commit a ref file of the cache names; empty when it names none.
std::string CommitOf(const std::u16string& ref_file) {
  std::string text;
  if (!ReadFileBytes(ref_file, &text, kMaxRefBytes)) return std::string();
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return IsPlainName(text) ? text : std::string();
}

bool IsCommitId(const std::string& revision) {
  return revision.size() == 40 && std::all_of(revision.begin(), revision.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// The commit the cache holds for `revision`: a commit is its own snapshot's name; a branch, tag or ref
// has a file under refs/ naming it (refs/pr/1 in refs/refs/pr/1). Empty when the cache names none.
std::string CommitFor(const std::u16string& repo, const std::string& revision) {
  if (IsCommitId(revision)) return revision;
  std::u16string ref = JoinFsPath(repo, u"refs");
  const std::vector<std::string> names = PlainNames(revision);
  if (names.empty()) return std::string();
  for (const std::string& name : names) ref = JoinFsPath(ref, Utf8ToWide(name));
  return CommitOf(ref);
}

// The snapshot folders of a repository: the one the listed revision's ref names first, then the newest.
std::vector<std::u16string> SnapshotFolders(const std::u16string& repo, const std::string& revision) {
  namespace fs = std::filesystem;
  const std::u16string snapshots = JoinFsPath(repo, u"snapshots");
  const std::u16string preferred = Utf8ToWide(CommitFor(repo, revision));
  std::vector<std::pair<fs::file_time_type, std::u16string>> dated;
  std::error_code ec;
  fs::directory_iterator it(FsPath(snapshots), ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::error_code entry_ec;
    if (!it->is_directory(entry_ec)) continue;
    const std::u16string name = it->path().filename().u16string();
    const fs::file_time_type time = fs::last_write_time(it->path(), entry_ec);
    dated.emplace_back(name == preferred ? fs::file_time_type::max() : time, JoinFsPath(snapshots, name));
  }
  std::stable_sort(dated.begin(), dated.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<std::u16string> folders;
  for (auto& d : dated) folders.push_back(std::move(d.second));
  return folders;
}

// The blocks a copy has written, hashed on a thread of their own while the next ones are read and
// written: hashing is the slowest part, and the copy then takes little longer than the hash alone.
struct HashRing {
  static constexpr size_t kBlocks = 4;
  ContentHasher hasher;
  std::unique_ptr<char[]> blocks[kBlocks];
  size_t sizes[kBlocks] = {};
  std::mutex lock;
  std::condition_variable changed;
  uint64_t filled = 0;  // blocks handed over
  uint64_t hashed = 0;  // blocks hashed, whose buffers may be filled again
  bool closed = false;
  bool inline_hash = false;

  // The next block to fill, once the hasher is done with it.
  char* Free() {
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [this] { return filled - hashed < kBlocks; });
    return blocks[filled % kBlocks].get();
  }
  void Filled(size_t size) {
    if (inline_hash) {
      hasher.Update(blocks[filled % kBlocks].get(), size);
      ++filled;
      ++hashed;
      return;
    }
    {
      std::lock_guard<std::mutex> guard(lock);
      sizes[filled % kBlocks] = size;
      ++filled;
    }
    changed.notify_all();
  }
  // No more blocks: the hasher ends once it has hashed those handed over.
  void Close() {
    {
      std::lock_guard<std::mutex> guard(lock);
      closed = true;
    }
    changed.notify_all();
  }
  void HashUntilClosed() {
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
      changed.wait(guard, [this] { return hashed < filled || closed; });
      if (hashed == filled) return;  // closed
      const size_t slot = hashed % kBlocks;
      guard.unlock();
      hasher.Update(blocks[slot].get(), sizes[slot]);
      guard.lock();
      ++hashed;
      changed.notify_all();
    }
  }
};

// Joined on every way out of the copy.
struct HashThread {
  HashRing& ring;
  std::thread thread;
  void Join() {
    ring.Close();
    if (thread.joinable()) thread.join();
  }
  ~HashThread() { Join(); }
};

}  // namespace

std::u16string LocalHfCacheRoot() {
  const std::u16string hub_cache = ExpandHome(PlatformEnvironment("HF_HUB_CACHE"));
  if (!hub_cache.empty()) return hub_cache;
  const std::u16string hf_home = ExpandHome(PlatformEnvironment("HF_HOME"));
  if (!hf_home.empty()) return JoinFsPath(hf_home, u"hub");
  const std::u16string home = PlatformHomeFolder();
  if (home.empty()) return std::u16string();
  return JoinFsPath(JoinFsPath(JoinFsPath(home, u".cache"), u"huggingface"), u"hub");
}

std::vector<std::u16string> FindInLocalHfCache(const std::u16string& root, const std::string& repo_id,
                                               RepoType repo_type, const std::string& revision,
                                               const std::string& file_path, const ContentCheck& check,
                                               int64_t size) {
  std::vector<std::u16string> found;
  try {
    const std::vector<std::string> repo = PlainNames(repo_id);
    const std::vector<std::string> names = PlainNames(file_path);
    if (check.hex.empty() || repo.size() != 2 || names.empty() || root.empty()) return found;
    Lookup lookup;
    lookup.root = PlatformResolvedPath(root);
    if (lookup.root.empty()) return found;  // no cache here
    lookup.size = size;
    const std::u16string folder = JoinFsPath(
        lookup.root, Utf8ToWide(RepoTypePlural(repo_type) + std::string("--") + repo[0] + "--" + repo[1]));
    const std::u16string blobs = JoinFsPath(folder, u"blobs");
    const std::u16string blob = lookup.Usable(JoinFsPath(blobs, Utf8ToWide(check.hex)));
    if (!blob.empty()) return {blob};
    if (size < 0) return found;  // a copy in a snapshot is only taken at the listed size

    lookup.blobs = PlatformResolvedPath(blobs);
    std::u16string relative;
    for (const std::string& name : names) relative = relative.empty() ? Utf8ToWide(name) : JoinFsPath(relative, Utf8ToWide(name));
    for (const std::u16string& snapshot : SnapshotFolders(folder, revision)) {
      const std::u16string copy = lookup.Usable(JoinFsPath(snapshot, relative));
      // A link to another blob of the repository is another version of the file: its name says so.
      if (copy.empty() || IsInside(copy, lookup.blobs) || !lookup.seen.insert(copy).second) continue;
      found.push_back(copy);
      if (found.size() == kMaxLocalSnapshotCopies) break;
    }
  } catch (...) {
    found.clear();  // out of memory: the download goes ahead
  }
  return found;
}

LocalCopy CopyLocalFile(const std::u16string& source, const std::u16string& target, const ContentCheck& check,
                        int64_t size, const ProgressFn* progress) {
  LocalCopy copy;
  HashRing ring;
  if (check.hex.empty() || size < 0 || !ring.hasher.Begin(check, size)) return copy;
  std::ifstream in;
  in.rdbuf()->pubsetbuf(nullptr, 0);  // blocks of a megabyte go straight through
  in.open(FsPath(source), std::ios::binary | std::ios::in);
  if (!in.is_open()) return copy;
  std::ofstream out;
  out.rdbuf()->pubsetbuf(nullptr, 0);
  out.open(FsPath(target), std::ios::binary | std::ios::out | std::ios::trunc);
  if (!out.is_open()) return copy;
  for (auto& block : ring.blocks) block.reset(new char[kCopyBlock]);
  HashThread hasher{ring, std::thread()};
  try {
    hasher.thread = std::thread([&ring] { ring.HashUntilClosed(); });
  } catch (...) {
    ring.inline_hash = true;  // no thread to spare: the same bytes, hashed on this one
  }
  ProgressReporter reporter(progress);
  int64_t copied = 0;
  bool complete = false;
  for (;;) {
    // Asked before the first block too: even a copy quicker than one report may be cancelled.
    if (!reporter.Report(copied, size)) {
      copy.end = LocalCopy::End::Cancelled;
      break;
    }
    if (copied == size) {
      complete = true;
      break;
    }
    const int64_t n = std::min<int64_t>(size - copied, kCopyBlock);
    char* block = ring.Free();
    in.read(block, static_cast<std::streamsize>(n));
    if (in.gcount() != n) break;  // shorter than it was a moment ago
    out.write(block, static_cast<std::streamsize>(n));
    if (!out) break;
    ring.Filled(static_cast<size_t>(n));
    copied += n;
  }
  hasher.Join();
  if (!complete) return copy;
  out.close();
  if (!out) return copy;
  copy.digest_hex = ring.hasher.EndHex();
  copy.end = copy.digest_hex.empty() ? LocalCopy::End::Failed : LocalCopy::End::Done;
  return copy;
}
