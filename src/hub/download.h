// Streams one repository file to a local path with progress and cancel.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// (bytes done, bytes total or -1) -> true to go on, false to cancel.
using ProgressFn = std::function<bool(int64_t done, int64_t total)>;

enum DownloadResult : int32_t {
  DownloadOk = 0,
  DownloadDenied = 1,     // 401 or 403
  DownloadNotFound = 2,   // 404
  DownloadCancelled = 3,
  DownloadFailed = 4,     // transport, other status, local write error, short body
};

DownloadResult DownloadFile(const std::string& repo_id, const std::string& file_path,
                            const std::u16string& local_path, const std::string& api_key, ProgressFn progress,
                            uint32_t is_dataset);

// The millisecond clock the progress throttle reads; tests replace it.
using TickSource = uint64_t (*)();
void SetDownloadTickSourceForTesting(TickSource source);
