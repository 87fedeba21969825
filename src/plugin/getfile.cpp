// Copying a file out of the tree: virtual path to download request, copy flags, progress to the
// host, and the download's result as the host's code. Also the paging item, which is no file.
#include <algorithm>
#include <filesystem>
#include <system_error>

#include "browse/browse.h"
#include "core/files.h"
#include "hub/download.h"
#include "hub/ratelimit.h"
#include "plugin/host_text.h"
#include "core/state.h"
#include "core/text.h"
#include "plugin/folders.h"
#include "plugin/vpath.h"

namespace {

// Fills `out` from the entry's kind; a host result code when the path cannot name a file.
int32_t BuildRequest(const Entry& entry, const VirtualPath& c, DownloadRequest* out) {
  out->repo_type = entry.repo_type;
  switch (entry.type) {
    case SingleModel:
      out->repo_id = entry.repo_id;
      out->revision = entry.revision;  // organisation entries and collections stay on main
      out->file_path = JoinRepoPath(c, 1);
      break;
    case OrgModels:
      if (c.size() < 3) return kFileNotSupported;
      out->repo_id = entry.org + "/" + WideToUtf8(c[1]);
      out->file_path = JoinRepoPath(c, 2);
      break;
    case OrgCollections:
      if (c.size() < 4) return kFileNotSupported;
      out->repo_id = ResolveCollectionRepoId(entry.org, WideToUtf8(c[1]), WideToUtf8(c[2]));
      out->file_path = JoinRepoPath(c, 3);
      out->repo_type = ModelRepo;  // a collection's models are models whatever the entry says
      break;
    default:
      return kFileNotSupported;
  }
  if (out->repo_id.empty() || out->file_path.empty()) return kFileNotFound;
  // A hand-edited revision that no hub could have is not sent (the listing has said so already).
  if (!IsRevisionName(out->revision)) return kFileNotFound;
  return kFileOk;
}

int32_t RetrieveFile(const std::u16string& remote, const std::u16string& local, int32_t flags) {
  if (IsLoadNextItem(remote)) {
    LoadNextPageAt(remote);  // the paging item loads a page; it is never a file
    return kFileNotSupported;
  }
  const VirtualPath c = SplitPath(remote);
  if (c.size() < 2) return kFileNotSupported;

  Entry entry;
  {
    StateLock guard(g_state.lock);
    const Entry* found = c[0] == kTemporaryName
                             ? (g_state.temporary_present ? &g_state.temporary_entry : nullptr)
                             : FindEntryByName(c[0]);
    if (!found) return kFileNotFound;
    entry = *found;  // a later edit or removal does not touch a running download
  }

  DownloadRequest request;  // the file's repository, path and kind first; the rest once the copy goes ahead
  const int32_t built = BuildRequest(entry, c, &request);
  if (built != kFileOk) return built;

  // The listing the host showed: hashes to check, the time to keep, the size a partial target lacks.
  const ListedContent listed =
      ListedFile(request.repo_id, request.file_path, request.repo_type, request.revision, false);
  const bool resume = (flags & kCopyResume) != 0;
  if ((flags & kCopyOverwrite) == 0 && !resume) {
    std::error_code ec;
    if (std::filesystem::exists(FsPath(local), ec)) {
      // A shorter file of this name is most likely an earlier copy that stopped: the host may offer Resume.
      const int64_t size = FileSize(local);
      return size >= 0 && size < listed.size ? kFileExistsResumeAllowed : kFileExists;
    }
  }

  DownloadRequest download = request;
  download.local_path = local;
  download.api_key = ApiKeyUtf8();
  download.listed = listed;
  download.commit = IsCommitId(listed.commit) ? listed.commit : std::string();
  download.relist = [request] {
    return ListedFile(request.repo_id, request.file_path, request.repo_type, request.revision, true);
  };
  download.continue_target = resume;
  download.connections = DownloadConnections();
  download.progress = [remote, local](int64_t done, int64_t total) {
    if (!g_state.progress) return true;
    int64_t percent = total >= 1 ? done * 100 / total : 0;
    percent = std::clamp<int64_t>(percent, 0, 100);
    std::u16string source = remote;  // the callback takes mutable buffers
    std::u16string target = local;
    return g_state.progress(g_state.plugin_number, ToHostPointer(source), ToHostPointer(target),
                            static_cast<int32_t>(percent)) == 0;
  };
  const DownloadResult result = DownloadFile(std::move(download));
  switch (result) {
    case DownloadOk:
      return kFileOk;
    case DownloadNotFound:
      return kFileNotFound;
    case DownloadCancelled:
      return kFileUserAbort;
    case DownloadDenied:
      PromptGatedRepo(request.repo_id, request.repo_type);
      LogMessage(u"GATED file: " + Utf8ToWide(request.repo_id) + u"/" + Utf8ToWide(request.file_path));
      return kFileReadError;
    default:
      return kFileReadError;
  }
}

}  // namespace

extern "C" int32_t TARN_CALL FsGetFileW(HostChar* remote_name, HostChar* local_name, int32_t copy_flags,
                                        HostRemoteInfo*) {
  try {
    const int32_t result = RetrieveFile(FromHost(remote_name), FromHost(local_name), copy_flags);
    TellRateLimitsOnMainThread();  // a copy the host runs on its main thread tells of a limit at once
    return result;
  } catch (...) {
    return kFileReadError;
  }
}
