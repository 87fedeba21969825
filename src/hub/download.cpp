// One repository file copied to disk. The bytes go into a part file beside the target, which
// replaces the target only when complete and, where the listing names the content, checked: a
// failed, cancelled or damaged copy never destroys a file that already stood there. What a failed
// or cancelled copy received is kept for the next copy of the same file, which continues it after
// the hub confirms (If-Range) that the file is still the same; checked bytes that could not replace
// the target are kept whole, and the next copy puts them in place without a download.
#include "hub/download.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "core/files.h"
#include "core/state.h"
#include "core/text.h"
#include "hub/http.h"
#include "hub/local_hf_cache.h"
#include "hub/partial.h"
#include "hub/transfer.h"
#include "platform/platform.h"

namespace {

constexpr auto kRelistTick = std::chrono::milliseconds(20);

struct Copy {
  const DownloadRequest& request;
  const ProgressFn& progress;
  std::u16string url;
  ListedContent listed;
  ContentCheck check;
  bool relisted = false;  // a copy asks for a fresh listing once at most
};

// The ways a copy through the part file goes at the bytes, in the order it may try them.
enum class Attempt {
  KeptWhole,     // every byte was kept: checked, and put in place without a request
  KeptPart,      // the kept bytes, continued
  Fresh,         // from zero, in ranges where the answer allows
  SingleStream,  // from zero in one plain request: ranges did not work
};

enum class Verdict { Good, Bad, Cancelled };

std::u16string Describe(const DownloadRequest& r) { return Utf8ToWide(r.repo_id + "/" + r.file_path); }

// The file, not its address: a kept part survives a change of mirror.
std::string SourceOf(const DownloadRequest& r) {
  return RepoSitePrefix(r.repo_type) + r.repo_id + "/" + r.file_path;
}

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

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

// The request's fresh listing of the file. A listing of a large repository takes many pages, so it
// runs on a thread of its own while this one goes on telling the host (done, total); a cancel ends its
// requests at once and sets `*cancelled`.
ListedContent Relist(Copy& c, int64_t done, int64_t total, bool* cancelled) {
  *cancelled = false;
  std::mutex lock;
  std::condition_variable changed;
  bool ended = false;
  std::atomic<bool> stop{false};
  ListedContent fresh;
  std::thread worker;
  try {
    worker = std::thread([&] {
      ListedContent got;
      try {
        HttpAbortScope scope(&stop);
        got = c.request.relist();
      } catch (...) {
        got = ListedContent();  // out of memory: no fresher listing
      }
      {
        std::lock_guard<std::mutex> guard(lock);
        fresh = std::move(got);
        ended = true;
      }
      changed.notify_all();
    });
  } catch (...) {
    return ListedContent();  // no thread to ask on
  }
  ProgressReporter reporter(&c.progress);
  std::unique_lock<std::mutex> guard(lock);
  while (!changed.wait_for(guard, kRelistTick, [&ended] { return ended; })) {
    guard.unlock();
    if (!stop && !reporter.Report(done, total)) {
      *cancelled = true;
      stop = true;
    }
    if (stop) PlatformHttpAbort(&stop);  // again at every tick, as a transfer does
    guard.lock();
  }
  guard.unlock();
  worker.join();
  return *cancelled ? ListedContent() : fresh;
}

// Whether the bytes of `digest` are what the listing names. A listing can be older than the file, so a
// mismatch asks once for a fresh one; only a fresh listing that arrived whole and names the file with
// this very hash clears it. A listing cut short, refused or unreadable proves nothing.
Verdict Verify(Copy& c, const std::string& digest, int64_t size) {
  if (c.check.hex.empty() || digest == c.check.hex) return Verdict::Good;
  if (!digest.empty() && !c.relisted && c.request.relist) {
    c.relisted = true;
    bool cancelled = false;
    const ListedContent fresh = Relist(c, size, size, &cancelled);
    if (cancelled) return Verdict::Cancelled;
    const ContentCheck again = ContentCheckFor(fresh);
    if (fresh.complete && fresh.size >= 0 && again.algorithm == c.check.algorithm &&
        again.git_blob == c.check.git_blob && again.hex == digest) {
      c.listed = fresh;
      c.check = again;
      return Verdict::Good;
    }
  }
  LogMessage(u"Download content mismatch: " + Describe(c.request) + u" expected=" + Utf8ToWide(c.check.hex) +
             u" got=" + Utf8ToWide(digest.empty() ? std::string("(unreadable)") : digest));
  return Verdict::Bad;
}

// The hub answered with another size than listed. True when a fresh listing, whole, names the file
// with another size than the old one did: the file changed after it was listed, and the next attempt
// goes by the fresh listing.
bool RelistedToAnotherSize(Copy& c, bool* cancelled) {
  *cancelled = false;
  if (c.relisted || !c.request.relist) return false;
  c.relisted = true;
  const ListedContent fresh = Relist(c, 0, c.listed.size, cancelled);
  if (*cancelled || !fresh.complete || fresh.size < 0 || fresh.size == c.listed.size) return false;
  c.listed = fresh;
  c.check = ContentCheckFor(fresh);
  return true;
}

// The complete bytes at `data` become the target, with the listing's time.
bool Finish(Copy& c, const std::u16string& data, int64_t total) {
  if (c.listed.mtime > 0) PlatformSetFileTime(data, c.listed.mtime);  // a rename keeps it
  if (data != c.request.local_path && !PlatformReplaceFile(data, c.request.local_path, false)) return false;
  try {
    if (c.progress) c.progress(total >= 0 ? total : FileSize(c.request.local_path), total);  // its answer no longer matters
  } catch (...) {
  }
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

// The part file beside the target, claimed for this copy (or one of its own when another copy of the
// same target runs), and what the index held of it.
struct Part {
  const std::u16string& target;
  std::string source;            // SourceOf the request
  bool claimed = false;
  std::u16string path;
  bool held = false;
  PartRecord record;
  std::optional<PartRecord> keep;  // recorded at the end; otherwise the part goes

  Part(const std::u16string& target_path, std::string file) : target(target_path), source(std::move(file)) {
    claimed = ClaimPart(target);
    path = claimed ? PartPathFor(target) : target + u".tarnfs-" + WideDecimal(PlatformThreadId()) + u".part";
  }
  ~Part() {
    if (claimed) ReleasePart(target);
  }
  Part(const Part&) = delete;
  Part& operator=(const Part&) = delete;

  bool HeldWhole() const {
    return held && record.have.size() == 1 && record.have[0].begin == 0 && record.have[0].end == record.total;
  }
  // What a large attempt leaves for the next copy: the spans it holds, or (with a digest) every byte.
  void Keep(const TransferOutcome& o, const std::string& digest) {
    if (!claimed || o.total < ParallelFromBytes() || o.have.empty()) return;
    keep = PartRecord{source, o.etag, o.total, o.have, Now(), digest};
  }
};

// The kept bytes of a whole file, checked as a transfer's would be: by the digest they were kept
// with, or hashed now (which tells the host how far it got, and may be cancelled).
TransferOutcome CheckKeptWhole(Copy& c, const Part& part) {
  TransferOutcome o;
  o.total = part.record.total;
  o.etag = part.record.etag;
  o.resumable = true;
  o.have = part.record.have;
  bool cancelled = false;
  o.digest_hex = part.record.digest.size() == c.check.hex.size()
                     ? part.record.digest
                     : HashFile(part.path, c.check, o.total, &c.progress, &cancelled);
  o.end = cancelled ? TransferEnd::Cancelled : TransferEnd::Done;
  return o;
}

Attempt FirstAttempt(const Copy& c, const Part& part) {
  if (!part.held) return Attempt::Fresh;
  const bool same_size = c.listed.size < 0 || c.listed.size == part.record.total;
  if (!same_size) return Attempt::Fresh;  // kept of another version than listed
  if (!part.HeldWhole()) return Attempt::KeptPart;
  // Nothing is asked of the hub for a whole part: the listing's hash must vouch for it.
  return !c.check.hex.empty() && FileSize(part.path) == part.record.total ? Attempt::KeptWhole : Attempt::Fresh;
}

// The checked bytes of `o` in the part file replace the target. When that fails (the target is open
// elsewhere without delete sharing, or read-only), they stay, and so does their record.
DownloadResult Place(Copy& c, Part& part, const TransferOutcome& o) {
  const int64_t total = o.total >= 0 ? o.total : FileSize(part.path);
  if (Finish(c, part.path, o.total)) return DownloadOk;
  LogMessage(u"Download could not replace the target: " + Describe(c.request));
  if (!o.digest_hex.empty()) {
    TransferOutcome whole = o;
    whole.total = total;
    whole.have = {ByteSpan{0, total}};
    part.Keep(whole, o.digest_hex);
  }
  return DownloadFailed;
}

// An ordinary copy through the part file: the kept bytes first when there are any, then from zero,
// then in one stream.
DownloadResult CopyThroughPart(Copy& c) {
  const std::u16string& target = c.request.local_path;
  Part part(target, SourceOf(c.request));
  part.held = part.claimed && FileSize(part.path) >= 0 && TakePartRecord(target, part.source, &part.record);
  if (!part.held) RemoveFileQuietly(part.path);  // bytes nobody can vouch for
  // A large copy is recorded while it runs, so that a part left by a crash (which records nothing
  // at its end) is still found and removed once it is old.
  const bool recorded = part.claimed && (part.held || c.listed.size >= ParallelFromBytes());
  if (recorded) {
    PartRecord running = part.held ? part.record : PartRecord{part.source, "", c.listed.size, {}, 0, ""};
    running.saved_at = Now();
    running.digest.clear();  // what a crash leaves is hashed again before anything trusts it
    SavePartRecord(target, running);
  }

  Attempt attempt = FirstAttempt(c, part);
  DownloadResult result = DownloadFailed;
  for (;;) {
    TransferOutcome o;
    if (attempt == Attempt::KeptWhole) {
      o = CheckKeptWhole(c, part);
    } else {
      TransferSetup setup = SetupFor(c, part.path);
      if (attempt == Attempt::KeptPart) {
        setup.have = part.record.have;
        setup.have_total = part.record.total;
        setup.etag = part.record.etag;
      }
      setup.single_stream = attempt == Attempt::SingleStream;
      o = RunTransfer(setup);
    }
    const bool kept_bytes = attempt == Attempt::KeptWhole || attempt == Attempt::KeptPart;
    std::optional<Attempt> next;
    result = ResultOf(o.end);
    bool cancelled = false;
    switch (o.end) {
      case TransferEnd::Done: {
        int64_t size = FileSize(part.path);
        if (o.total >= 0 && size > o.total) {
          std::error_code ec;
          std::filesystem::resize_file(FsPath(part.path), static_cast<uint64_t>(o.total), ec);
          size = FileSize(part.path);
        }
        if (size < 0 || (o.total >= 0 && size != o.total)) {
          result = DownloadFailed;
          break;
        }
        switch (Verify(c, o.digest_hex, size)) {
          case Verdict::Good:
            result = Place(c, part, o);
            break;
          case Verdict::Cancelled:
            result = DownloadCancelled;
            part.Keep(o, o.digest_hex);  // every byte is in: the next copy's listing may vouch for them
            break;
          case Verdict::Bad:
            result = DownloadFailed;
            if (kept_bytes) next = Attempt::Fresh;  // kept bytes that do not add up: once more from nothing
            break;
        }
        break;
      }
      case TransferEnd::Changed:
        LogMessage(u"Download changed on the hub: " + Describe(c.request));
        if (kept_bytes) next = Attempt::Fresh;  // the kept bytes are of another version
        break;
      case TransferEnd::OtherSize:
        LogMessage(u"Download changed on the hub: " + Describe(c.request) + u" listed size=" +
                   WideDecimal(c.listed.size));
        if (RelistedToAnotherSize(c, &cancelled)) next = Attempt::Fresh;
        if (cancelled) result = DownloadCancelled;
        break;
      case TransferEnd::NoRanges:
        if (attempt != Attempt::SingleStream) next = Attempt::SingleStream;  // ranges do not work there
        break;
      default:
        if (kept_bytes && !o.file_touched) {
          part.keep = part.record;  // no answer, or a refusal: what was kept stays as it was
          part.keep->saved_at = Now();
        } else if (o.resumable) {
          part.Keep(o, "");
        }
        break;
    }
    if (!next) break;
    attempt = *next;
  }
  if (part.keep) {
    SavePartRecord(target, *part.keep);
  } else {
    if (result != DownloadOk) RemoveFileQuietly(part.path);
    if (recorded) DropPartRecord(target);
  }
  return result;
}

// The host's resume: the target is continued from its size, in order over one connection, so that
// whatever happens it holds a beginning of the file; then it is checked as a whole. A target of the
// listed size is only hashed. One that cannot be continued, or does not check out, is copied anew
// through the part file.
DownloadResult ContinueTarget(Copy& c) {
  const std::u16string& target = c.request.local_path;
  const int64_t size = FileSize(target);
  const int64_t listed = c.listed.size;
  if (size <= 0 || (listed >= 0 && size > listed)) return CopyThroughPart(c);
  TransferOutcome o;
  if (size == listed) {
    bool cancelled = false;
    o.digest_hex = HashFile(target, c.check, size, &c.progress, &cancelled);
    o.end = cancelled ? TransferEnd::Cancelled : TransferEnd::Done;
    o.total = size;
  } else {
    TransferSetup setup = SetupFor(c, target);
    setup.connections = 1;
    setup.have = {ByteSpan{0, size}};
    setup.have_total = listed;
    o = RunTransfer(setup);
  }
  switch (o.end) {
    case TransferEnd::Done:
      switch (Verify(c, o.digest_hex, o.total)) {
        case Verdict::Good:
          return Finish(c, target, o.total) ? DownloadOk : DownloadFailed;
        case Verdict::Cancelled:
          return DownloadCancelled;
        case Verdict::Bad:
          return CopyThroughPart(c);
      }
      return DownloadFailed;
    case TransferEnd::Changed:
    case TransferEnd::OtherSize:
    case TransferEnd::NoRanges:
      return CopyThroughPart(c);
    default:
      return ResultOf(o.end);  // the target keeps what it has
  }
}

// The file copied from the local HuggingFace cache instead of downloaded, through a part file and
// checked against the listing's hash as a download is. Nothing when the cache has no file that checks
// out: the download goes ahead. A cancel, or a target that cannot be replaced, ends the copy.
std::optional<DownloadResult> CopyFromLocalHfCache(Copy& c) {
  if (c.check.hex.empty() || !UseLocalHfCache()) return std::nullopt;  // only bytes a hash vouches for
  const DownloadRequest& r = c.request;
  const std::vector<std::u16string> found =
      FindInLocalHfCache(LocalHfCacheRoot(), r.repo_id, r.repo_type, r.revision, r.file_path, c.check,
                         c.listed.size);
  if (found.empty()) return std::nullopt;
  Part part(r.local_path, SourceOf(r));
  // Bytes a download kept in the part file stay there until this copy has put the file in place.
  const bool kept = !part.claimed || FileSize(part.path) >= 0;
  const std::u16string data = kept ? r.local_path + u".tarnfs-" + WideDecimal(PlatformThreadId()) + u".part" : part.path;
  const bool recorded = !kept && c.listed.size >= ParallelFromBytes();  // found and removed after a crash
  if (recorded) SavePartRecord(r.local_path, PartRecord{part.source, "", c.listed.size, {}, Now(), ""});
  std::optional<DownloadResult> result;
  for (const std::u16string& file : found) {
    const int64_t size = c.listed.size >= 0 ? c.listed.size : FileSize(file);
    const LocalCopy copy = CopyLocalFile(file, data, c.check, size, &c.progress);
    if (copy.end == LocalCopy::End::Cancelled) {
      result = DownloadCancelled;
      break;
    }
    if (copy.end == LocalCopy::End::Done && copy.digest_hex == c.check.hex) {
      if (Finish(c, data, size)) {
        LogMessage(u"Copied from the local HuggingFace cache: " + Describe(r));
        if (kept && part.claimed) {  // what a download kept of the file is of no use now
          RemoveFileQuietly(part.path);
          DropPartRecord(r.local_path);
        }
        result = DownloadOk;
      } else {
        LogMessage(u"Download could not replace the target: " + Describe(r));  // copied again at no cost
        result = DownloadFailed;
      }
      break;
    }
    LogMessage((copy.end == LocalCopy::End::Done ? u"Local HuggingFace cache file does not match the listing: "
                                                 : u"Local HuggingFace cache file could not be copied: ") +
               file);
  }
  if (result != DownloadOk) RemoveFileQuietly(data);
  if (recorded) DropPartRecord(r.local_path);
  return result;
}

DownloadResult Download(const DownloadRequest& request, const ProgressFn& progress) {
  // At the listing's commit the bytes are the file listed, wherever the branch went since. The
  // revision is one segment: unencoded, the hub would read refs/pr/1's "pr/1" as part of the path.
  const std::string& at = request.commit.empty() ? request.revision : request.commit;
  const std::string url = HubSiteUrl() + RepoSitePrefix(request.repo_type) + UrlEncode(request.repo_id, true) +
                          "/resolve/" + UrlEncode(at, false) + "/" + UrlEncode(request.file_path, true);
  Copy c{request, progress, Utf8ToWide(url), request.listed, ContentCheckFor(request.listed)};
  RemoveStaleParts();
  if (const std::optional<DownloadResult> local = CopyFromLocalHfCache(c)) return *local;
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
                            RepoType repo_type) {
  DownloadRequest request;
  request.repo_id = repo_id;
  request.file_path = file_path;
  request.local_path = local_path;
  request.api_key = api_key;
  request.progress = std::move(progress);
  request.repo_type = repo_type;
  return DownloadFile(std::move(request));
}
