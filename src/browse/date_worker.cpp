// The dates of a large folder, fetched by the one thread of the module's own.
//
// Lifetime: the thread is started and stopped only by exports on the host's main thread, never from
// DllMain or a static destructor (the loader lock). While it runs it holds a reference on the module,
// released by the export that joins it, so a host that unloads the module meanwhile never unmaps the
// code under it. It reads nothing from PluginState and calls no host callback: its job carries copies
// of what it needs, and the only global it touches is a pointer with a trivial destructor. A process
// that exits while it runs ends it without any destructor waiting for it.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "browse/browse.h"
#include "core/state.h"
#include "core/text.h"
#include "hub/http.h"
#include "platform/platform.h"

namespace {

constexpr int64_t kMinRemainingRequests = 50;  // left for the user's own browsing
constexpr int kSaveAttempts = 5;               // a reader holding the file (Windows) makes a replace fail
// The first page waits this long: a host walking folders (a recursive copy, the user passing through)
// lists the next one sooner and stops the worker before it has spent a request on this one.
constexpr auto kFirstPageDelay = std::chrono::milliseconds(1000);

struct DateWorker {
  DateJob job;
  std::u16string listing_path;
  std::atomic<bool> stop{false};
  std::atomic<bool> finished{false};
  std::mutex lock;                  // for `changed` alone
  std::condition_variable changed;  // stop raised, or finished
  void* module = nullptr;
  std::thread thread;
};

// Started and taken back on the host's main thread only; the thread reads its own object alone.
std::atomic<DateWorker*> g_worker{nullptr};

bool IsJobsRecord(const DateJob& job, const TreeFolderRecord& record) {
  return record.commit == job.commit && record.fetch_id == job.fetch_id;
}

bool ReadRecord(const DateJob& job, TreeFolderRecord* record) {
  return ReadTreeFolderRecord(job.cache_folder, job.repo_id, job.repo_type, job.revision, job.folder,
                              TreeRecordRead::Whole, record);
}

// Applies `change` to the job's record as it is at that moment, each attempt reading it anew: what was
// read before a failed attempt may be gone. Gone or listed afresh meanwhile, it is left alone. False,
// with why in `*why`, when nothing was written.
bool Change(const DateJob& job, const std::atomic<bool>& stop, const std::function<void(TreeFolderRecord*)>& change,
            DatesEnd* why) {
  *why = DatesEnd::NotWritten;
  for (int attempt = 0; attempt < kSaveAttempts && !stop.load(); ++attempt) {
    bool gone = false;
    const RecordUpdate update = UpdateTreeFolderRecord(
        job.cache_folder, job.repo_id, job.repo_type, job.revision, job.folder,
        [&](bool exists, TreeFolderRecord* record) {
          if (!exists || !IsJobsRecord(job, *record)) {
            gone = !exists;
            return false;
          }
          change(record);
          return true;
        });
    if (update == RecordUpdate::Written) return true;
    if (update == RecordUpdate::Declined) {
      *why = gone ? DatesEnd::RecordGone : DatesEnd::Superseded;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void RunWorker(DateWorker* worker) {
  try {
    {
      std::unique_lock<std::mutex> guard(worker->lock);
      worker->changed.wait_for(guard, kFirstPageDelay, [worker] { return worker->stop.load(); });
    }
    FetchFolderDates(worker->job, worker->stop);
  } catch (...) {
    // Out of memory: the record keeps what was merged so far.
  }
  std::lock_guard<std::mutex> guard(worker->lock);
  worker->finished.store(true);
  worker->changed.notify_all();
}

}  // namespace

DatesRun FetchFolderDates(const DateJob& job, const std::atomic<bool>& stop) {
  DatesRun run;
  TreeFolderRecord record;
  if (!ReadRecord(job, &record)) {
    run.end = DatesEnd::RecordGone;
    return run;
  }
  if (!IsJobsRecord(job, record)) {
    run.end = DatesEnd::Superseded;
    return run;
  }
  if (record.dates_complete) {
    run.end = DatesEnd::Complete;
    return run;
  }
  // Go on where an earlier run stopped, when that page is still on the hub's origin.
  const bool resumed = !record.dates_next_url.empty() && IsOriginOf(Utf8ToWide(record.dates_next_url), job.site_url);
  std::u16string url = resumed ? Utf8ToWide(record.dates_next_url) : job.first_url;
  const auto rate_limit = [&job] { return job.rate_limit ? job.rate_limit() : RateLimitView(); };
  const RateLimitView at_start = rate_limit();
  const int64_t budget = at_start.remaining >= 0 ? at_start.remaining / 2 : -1;
  std::set<std::u16string> requested;
  for (;;) {
    if (stop.load()) {
      run.end = DatesEnd::Stopped;
      return run;
    }
    const RateLimitView now = rate_limit();
    if (now.paused || (now.remaining >= 0 && now.remaining < kMinRemainingRequests)) {
      run.end = DatesEnd::RateLimited;
      return run;
    }
    if (budget >= 0 && run.pages >= budget) {
      run.end = DatesEnd::Budget;
      return run;
    }
    if (run.pages >= kMaxFolderPages || !requested.insert(url).second) {
      run.end = DatesEnd::Failed;  // a hub that pages without end
      return run;
    }
    const TreePages page = FetchTreePage(url, job.api_key, job.site_url, &stop);
    if (stop.load()) {
      run.end = DatesEnd::Stopped;
      return run;
    }
    if (!page.outcome.complete) {
      // Nothing retries it. A resumed page that is gone (an old cursor) is forgotten, so the next
      // run starts from the first page.
      DatesEnd ignored;
      if (resumed && run.pages == 0) {
        Change(job, stop, [](TreeFolderRecord* now) { now->dates_next_url.clear(); }, &ignored);
      }
      run.end = DatesEnd::Failed;
      return run;
    }
    ++run.pages;
    // Dates only, and only into the record they belong to: a record listed afresh meanwhile (by a
    // copy, another listing) holds names and sizes newer than this run's, and no dates of its first pages.
    const auto merge = [&page](TreeFolderRecord* now) {
      MergeDates(&now->items, page.items);
      now->dates_next_url = page.next_url;
      now->dates_complete = page.next_url.empty();
    };
    if (!Change(job, stop, merge, &run.end)) {
      if (stop.load()) run.end = DatesEnd::Stopped;
      return run;
    }
    if (page.next_url.empty()) {
      run.end = DatesEnd::Complete;
      return run;
    }
    url = Utf8ToWide(page.next_url);
  }
}

DateJob DateJobFor(const std::string& repo_id, RepoType repo_type, const std::string& revision,
                   const std::string& folder, const std::string& commit, const std::string& fetch_id) {
  DateJob job;
  job.repo_id = repo_id;
  job.repo_type = repo_type;
  job.revision = revision;
  job.folder = folder;
  job.commit = commit;
  job.fetch_id = fetch_id;
  TreeQuery dates;
  dates.revision = commit.empty() ? revision : commit;  // the dates of the very items listed
  dates.folder = folder;
  dates.expand = true;
  dates.limit = kTreeDatesPageLimit;
  job.first_url = MakeApiUrl(TreeApiPath(repo_id, repo_type, dates));
  job.api_key = ApiKeyUtf8();
  job.site_url = HubSiteUrl();
  job.cache_folder = CacheFolder();
  return job;
}

bool StartDateWorker(DateJob job, const std::u16string& listing_path) {
  if (!IsMainThread()) return false;
  if (DateWorker* running = g_worker.load()) {
    if (running->listing_path == listing_path && !running->finished.load()) return false;  // it goes on
    StopDateWorker();
  }
  void* module = PlatformHoldModule();
  if (!module) return false;  // without the reference an unload could unmap the thread's code
  auto* worker = new DateWorker;
  worker->job = std::move(job);
  worker->listing_path = listing_path;
  worker->module = module;
  try {
    worker->thread = std::thread(RunWorker, worker);
  } catch (...) {
    delete worker;
    PlatformReleaseModule(module);
    return false;
  }
  g_worker.store(worker);
  return true;
}

void StopDateWorker() noexcept {
  if (!IsMainThread()) return;
  DateWorker* worker = g_worker.exchange(nullptr);
  if (!worker) return;
  try {
    std::unique_lock<std::mutex> guard(worker->lock);
    worker->stop.store(true);
    worker->changed.notify_all();  // out of its wait before the first page
    while (!worker->finished.load()) {
      // A transport that waits without looking at the flag is made to look (WinHTTP under Wine).
      guard.unlock();
      PlatformHttpAbort(&worker->stop);
      guard.lock();
      worker->changed.wait_for(guard, std::chrono::milliseconds(10), [worker] { return worker->finished.load(); });
    }
  } catch (...) {
    worker->stop.store(true);
  }
  try {
    worker->thread.join();
  } catch (...) {
    // The thread has finished its work; an error joining it leaves only the thread object.
    worker->thread.detach();
  }
  void* module = worker->module;
  delete worker;
  PlatformReleaseModule(module);
}

void StopDateWorkerUnlessFor(const std::u16string& listing_path) noexcept {
  if (!IsMainThread()) return;
  const DateWorker* worker = g_worker.load();
  if (worker && worker->listing_path != listing_path) StopDateWorker();
}
