// The local cache of the hub's Python tools: a file a user already has there is copied from it instead
// of downloaded again, but only bytes that check out against the listing's hash. The cache is only read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hub/content_hash.h"
#include "hub/download.h"

// The cache's root folder: HF_HUB_CACHE, else $HF_HOME/hub, else ~/.cache/huggingface/hub (on Windows
// the home folder is %USERPROFILE%). A "~" that starts a variable's value is the home folder, as those
// tools read it. Empty when none of them is known.
std::u16string LocalHfCacheRoot();

// At most this many snapshot copies are tried for one file: each that does not check out costs a read
// and a write of the whole file before the download starts.
constexpr size_t kMaxLocalSnapshotCopies = 3;

// Files under `root` that may hold the listed file, in the order to try them: the blob named by the
// check's hash; or, when the repository has no usable blob of that name, the file's copies in its
// snapshots that have the listed size (the snapshot the cache's ref of `revision` names first, then the
// newest).
// Every one is a regular file inside the root once links are followed; a link that leads out of the
// root, or to another blob of the repository (another version of the file), is not taken. Nothing
// when the check names no hash, or the repository id or the path has a part that cannot stand as a
// name there ("..", a separator, a drive colon, a control character).
std::vector<std::u16string> FindInLocalHfCache(const std::u16string& root, const std::string& repo_id,
                                               RepoType repo_type, const std::string& revision,
                                               const std::string& file_path, const ContentCheck& check,
                                               int64_t size);

struct LocalCopy {
  enum class End { Done, Cancelled, Failed } end = End::Failed;
  std::string digest_hex;  // of the bytes copied, when Done
};

// Copies the first `size` bytes of `source` into `target` (created anew), hashed with `check` on the
// way, and tells `progress` how far it got (every percent, or every 100 ms); a false answer cancels.
// A source shorter than `size`, or a target that cannot be written, fails. `source` is opened for
// reading only.
LocalCopy CopyLocalFile(const std::u16string& source, const std::u16string& target, const ContentCheck& check,
                        int64_t size, const ProgressFn* progress);
