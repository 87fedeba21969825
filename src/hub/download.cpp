// One repository file copied to disk. The bytes go into a part file beside the target, which
// replaces the target only when complete and, where the listing names the content, checked: a
// failed, cancelled or damaged copy never destroys a file that already stood there. What a failed
// or cancelled copy received is kept for the next copy of the same file, which continues it after
// the hub confirms (If-Range) that the file is still the same.
#include "hub/download.h"

#include <ctime>
#include <filesystem>
#include <system_error>

#include "core/files.h"
#include "core/state.h"
#include "core/text.h"
#include "hub/http.h"
#include "hub/partial.h"
#include "hub/transfer.h"
#include "platform/platform.h"

namespace {

struct Copy {
  const DownloadRequest& request;
  const ProgressFn& progress;
  std::u16string url;
  ListedContent listed;
  ContentCheck check;
  bool relisted = false;
};

std::u16string Describe(const DownloadRequest& r) { return Utf8ToWide(r.repo_id + "/" + r.file_path); }

DownloadResult ResultOf(TransferEnd end) {
  switch (end) {
    case TransferEnd::Done:
      return DownloadOk;
    case TransferEnd::Denied:
      return DownloadDenied;
    case TransferEnd::NotFound:
      return DownloadNotFound;
    case TransferEnd::Cancelled:
      return DownloadCancelled;
    default:
      return DownloadFailed;
  }
}

// True when the bytes are what the listing says, or it says nothing checkable. A listing can be older
// than the file, so a mismatch asks once for a fresher one before it counts.
bool Verified(Copy& c, const std::string& digest) {
  if (c.check.hex.empty() || digest == c.check.hex) return true;
  if (!c.relisted && c.request.relist) {
    c.relisted = true;
    const ListedContent fresh = c.request.relist();
    const ContentCheck again = ContentCheckFor(fresh);
    const bool same_kind = again.algorithm == c.check.algorithm && again.git_blob == c.check.git_blob;
    if (again.hex.empty() || (same_kind && again.hex == digest)) {
      c.listed = fresh;
      c.check = again;
      return true;
    }
  }
  LogMessage(u"Download content mismatch: " + Describe(c.request) + u" expected=" + Utf8ToWide(c.check.hex) +
             u" got=" + Utf8ToWide(digest.empty() ? std::string("(unreadable)") : digest));
  return false;
}

// The complete bytes at `data` become the target, with the listing's time.
bool Finish(Copy& c, const std::u16string& data, int64_t total) {
  if (c.listed.mtime > 0) PlatformSetFileTime(data, c.listed.mtime);  // a rename keeps it
  if (data != c.request.local_path && !PlatformReplaceFile(data, c.request.local_path, false)) return false;
  if (c.progress) c.progress(total >= 0 ? total : FileSize(c.request.local_path), total);  // its answer no longer matters
  return true;
}

TransferSetup SetupFor(const Copy& c, const std::u16string& data) {
  TransferSetup setup;
  setup.url = c.url;
  setup.api_key = c.request.api_key;
  setup.data_path = data;
  setup.connections = c.request.connections;
  setup.check = c.check;
  setup.listed_size = c.listed.size;
  setup.progress = &c.progress;
  setup.name = Describe(c.request);
  return setup;
}

// An ordinary copy through the part file, continuing what an earlier copy kept.
DownloadResult CopyThroughPart(Copy& c) {
  const std::u16string& target = c.request.local_path;
  // The file, not its address: a kept part stays usable after a change of hub address or mirror,
  // and the validator proves that the bytes are still the same.
  const std::string source =
      (c.request.is_dataset == 1 ? "datasets/" : "") + c.request.repo_id + "/" + c.request.file_path;
  const bool claimed = ClaimPart(target);
  const std::u16string part =
      claimed ? PartPathFor(target) : target + u".tarnfs-" + WideDecimal(PlatformThreadId()) + u".part";
  PartRecord record;
  bool held = claimed && FileSize(part) >= 0 && TakePartRecord(target, source, &record);
  if (!held) RemoveFileQuietly(part);  // bytes nobody can vouch for
  // A large copy is recorded while it runs, so that a part left by a crash (which records nothing
  // at its end) is still found and removed once it is old.
  const bool recorded = claimed && (held || c.listed.size >= ParallelFromBytes());
  if (recorded) {
    PartRecord running = held ? record : PartRecord{source, "", c.listed.size, {}, 0};
    running.saved_at = static_cast<int64_t>(std::time(nullptr));
    SavePartRecord(target, running);
  }

  TransferSetup setup = SetupFor(c, part);
  if (held) {
    setup.have = record.have;
    setup.have_total = record.total;
    setup.etag = record.etag;
  }
  DownloadResult result = DownloadFailed;
  bool kept = false;
  for (int round = 0; round < 2; ++round) {
    const TransferOutcome o = RunTransfer(setup);
    bool again = false;
    result = ResultOf(o.end);
    if (o.end == TransferEnd::Done) {
      const int64_t size = FileSize(part);
      if (o.total >= 0 && size > o.total) std::filesystem::resize_file(FsPath(part), static_cast<uint64_t>(o.total));
      if ((o.total >= 0 && size < o.total) || size < 0) {
        result = DownloadFailed;
      } else if (!Verified(c, o.digest_hex)) {
        again = held;  // kept bytes that do not add up: once more from nothing
        result = DownloadFailed;
      } else if (!Finish(c, part, o.total)) {
        result = DownloadFailed;
      }
    } else if (o.end == TransferEnd::Changed) {
      LogMessage(u"Download changed on the hub: " + Describe(c.request));
      again = held;  // the kept bytes are of another version; a new copy starts over
    } else if (o.end == TransferEnd::NoRanges) {
      again = !setup.single_stream;  // ranges do not work there: one plain stream
      setup.single_stream = true;
    } else if (claimed && !o.file_touched && held) {
      SavePartRecord(target, record);  // no answer, or a refusal: what was kept stays as it was
      kept = true;
    } else if (claimed && o.resumable && o.total >= ParallelFromBytes() && !o.have.empty()) {
      SavePartRecord(target, PartRecord{source, o.etag, o.total, o.have, static_cast<int64_t>(std::time(nullptr))});
      kept = true;
    }
    if (!again) break;
    held = false;
    setup.have.clear();
    setup.have_total = -1;
    setup.etag.clear();
  }
  if (result != DownloadOk && !kept) RemoveFileQuietly(part);
  if (recorded && !kept) DropPartRecord(target);
  if (claimed) ReleasePart(target);
  return result;
}

// The host's resume: the target is continued from its size and then checked as a whole. A target
// that cannot be continued, or does not check out, is fetched again from zero, once.
DownloadResult ContinueTarget(Copy& c) {
  const std::u16string& target = c.request.local_path;
  const int64_t size = FileSize(target);
  const int64_t listed = c.listed.size;
  if (size <= 0 || (listed >= 0 && size > listed)) return CopyThroughPart(c);
  if (size == listed) {
    const bool whole = Verified(c, HashFile(target, c.check, size));
    if (whole && Finish(c, target, size)) return DownloadOk;
    return CopyThroughPart(c);
  }
  TransferSetup setup = SetupFor(c, target);
  setup.have = {ByteSpan{0, size}};
  setup.have_total = listed;
  const TransferOutcome o = RunTransfer(setup);
  if (o.end == TransferEnd::Done) {
    if (Verified(c, o.digest_hex) && Finish(c, target, o.total)) return DownloadOk;
    return CopyThroughPart(c);
  }
  if (o.end == TransferEnd::Changed || o.end == TransferEnd::NoRanges) return CopyThroughPart(c);
  return ResultOf(o.end);  // the target keeps what it has
}

DownloadResult Download(const DownloadRequest& request, const ProgressFn& progress) {
  const std::string url = HubSiteUrl() + (request.is_dataset == 1 ? "datasets/" : "") +
                          UrlEncode(request.repo_id, true) + "/resolve/main/" + UrlEncode(request.file_path, true);
  Copy c{request, progress, Utf8ToWide(url), request.listed, ContentCheckFor(request.listed)};
  RemoveStaleParts();
  if (request.continue_target && FileSize(request.local_path) >= 0) return ContinueTarget(c);
  return CopyThroughPart(c);
}

}  // namespace

DownloadResult DownloadFile(DownloadRequest request) {
  ProgressFn report = std::move(request.progress);  // destroyed before this returns, as callers expect
  request.progress = nullptr;
  DownloadResult result = DownloadFailed;
  try {
    result = Download(request, report);
  } catch (...) {
    result = DownloadFailed;  // out of memory, or a progress callback that threw
  }
  report = nullptr;
  return result;
}

DownloadResult DownloadFile(const std::string& repo_id, const std::string& file_path,
                            const std::u16string& local_path, const std::string& api_key, ProgressFn progress,
                            uint32_t is_dataset) {
  DownloadRequest request;
  request.repo_id = repo_id;
  request.file_path = file_path;
  request.local_path = local_path;
  request.api_key = api_key;
  request.progress = std::move(progress);
  request.is_dataset = is_dataset;
  return DownloadFile(std::move(request));
}
