// Copies one repository file to disk: over several connections in ranges when the server offers
// them, continuing the bytes an earlier copy kept, and checked against the listing's hash before the
// target is replaced.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "hub/content_hash.h"
#include "core/repo_type.h"
#include "core/state.h"

// (bytes done, bytes total or -1) -> true to go on, false to cancel.
using ProgressFn = std::function<bool(int64_t done, int64_t total)>;

enum DownloadResult : int32_t {
  DownloadOk = 0,
  DownloadDenied = 1,     // 401 or 403
  DownloadNotFound = 2,   // 404
  DownloadCancelled = 3,
  DownloadFailed = 4,     // transport, other status, local write error, short body, content not as listed
};

struct DownloadRequest {
  std::string repo_id;
  std::string revision = "main";  // in the resolve URL as one path segment
  std::string commit;             // the commit the listing shows: asked for instead of the revision
  std::string file_path;
  RepoType repo_type = ModelRepo;
  std::u16string local_path;
  std::string api_key;
  ProgressFn progress;
  ListedContent listed;         // what the tree listing says of the file; unknown parts stay unchecked
  // Asked once when the bytes or their size do not match `listed`, since a listing may be older than
  // the file: a fresh listing of the same file, with `complete` telling whether it arrived whole. It
  // runs on a thread of the download's own, under an HttpAbortScope that a cancel raises.
  std::function<ListedContent()> relist;
  bool continue_target = false;  // the host's resume: the local file is continued from its size
  int32_t connections = PluginState::kDefaultDownloadConnections;  // 1 to kMaxDownloadConnections
};

DownloadResult DownloadFile(DownloadRequest request);
// A plain copy with nothing known from a listing.
DownloadResult DownloadFile(const std::string& repo_id, const std::string& file_path,
                            const std::u16string& local_path, const std::string& api_key, ProgressFn progress,
                            RepoType repo_type);
