// What each folder below an entry lists: organisation pages, repository trees, collections, and the
// access-denied prompt. Listings are plain items; the exports turn them into the host's records.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <atomic>

#include "cache/listing_cache.h"
#include "cache/tree_commits.h"
#include "cache/tree_folders.h"
#include "core/entry.h"
#include "hub/api.h"
#include "hub/content_hash.h"
#include "hub/ratelimit.h"

// One name of a listing as the host will see it.
struct ListItem {
  std::u16string name;
  bool folder = true;
  int64_t size = 0;
  int64_t time = 0;  // Unix seconds; 0 when unknown
};
using Listing = std::vector<ListItem>;

// Organisation folders.
Listing EnumOrgRepos(const Entry& entry);
OrgReposCache LoadOrgRepos(const Entry& entry);
// Fetches page pages_loaded + 1 into `record` and stores it; false (record untouched, nothing stored)
// when the page did not arrive whole.
bool FetchOrgReposPage(const Entry& entry, OrgReposCache* record, int32_t pages_loaded);
void MergeRepos(std::vector<RepoInfo>* models, const RepoPage& page);
// Loads the next page of an organisation entry and writes the fetch time back to the entry (or to the
// temporary entry); false when the entry does not page.
bool LoadNextPage(const Entry& entry, bool temporary);
bool IsPagingItemName(const std::u16string& component);
int32_t PageSizeOf(const Entry& entry);
// "[Load next 300 models]", "... datasets]", "... spaces]": any name of that form loads the next page.
std::u16string PagingItemName(int32_t page_size, RepoType repo_type);

// Repository tree view. Each folder is listed at the commit its revision is at, from its own cache
// record when that shows the commit, else from the hub by the cheapest request that gives a complete
// answer (tree_view.cpp).
// `listing_path`: the host's normalized path of this listing. A listing on the host's main thread that
// shows a folder whose dates are missing starts the date worker for it; "" never does.
// `revision`: main for organisation entries and collections, a single repository entry's own otherwise.
// It is resolved to its commit at most once per check_changes_seconds (a commit never again); with
// `offline` (the entry's offline cache) never, and records are used while fresh by the time-to-live.
// A revision the hub does not have is told to the user (on the main thread) at each listing.
Listing EnumModelTree(const std::string& repo_id, const std::string& sub_path, RepoType repo_type,
                      const std::string& revision, const std::u16string& listing_path = std::u16string(),
                      bool offline = false);
// What the record of the file's folder says of one file, and the commit it was listed at: from the
// cache whatever its age (the host lists a folder before it copies from it; no request is made), or,
// with `refresh`, from a fresh listing of that folder at the same commit, stored when whole unless a
// listing of another commit was stored meanwhile. `complete` tells whether a whole listing was found.
ListedContent ListedFile(const std::string& repo_id, const std::string& file_path, RepoType repo_type,
                         const std::string& revision, bool refresh);
// Gives an item of `items` the date of the item of `dated` with the same path and the same non-empty
// oid (a file or folder that changed in between keeps no date). Returns how many of `items` have a
// date afterwards.
size_t MergeDates(std::vector<TreeItem>* items, const std::vector<TreeItem>& dated);
// A whole repository's items (one recursive answer at `commit`) as records of the root and of every
// folder in it, root first; `fetched_at`, one fetch id and complete dates in each.
std::vector<TreeFolderRecord> FolderRecordsOf(const std::string& repo_id, RepoType repo_type,
                                              const std::string& revision, const std::string& commit,
                                              const std::vector<TreeItem>& items, int64_t fetched_at);

// The date worker: at most one thread of the module's own, fetching the dates of one large folder page
// by page into its record (date_worker.cpp). It reads nothing from PluginState once started; what it
// needs is in its job.
struct DateJob {
  std::string repo_id;
  RepoType repo_type = ModelRepo;
  std::string revision = "main";
  std::string folder;
  std::string commit;             // the record it dates: listed at this commit, in this fetch
  std::string fetch_id;
  std::u16string first_url;       // the folder's first page with dates, at the record's commit
  std::string api_key;
  std::string site_url;           // the hub root: the key goes to its origin only
  std::u16string cache_folder;
  RateLimitView (*rate_limit)() = &ApiRateLimit;
};
// How one run ended.
// Superseded: the folder was listed afresh (another fetch or commit); those dates are not its.
enum class DatesEnd { Complete, Stopped, Budget, RateLimited, Failed, RecordGone, Superseded, NotWritten };
struct DatesRun {
  int pages = 0;
  DatesEnd end = DatesEnd::Failed;
};
// The worker's loop on the calling thread: before each page the rate limit is read (a pause, or fewer
// than 50 requests left, stops it; at most half of what was left at the start is used); after each page
// the record is read again and, while it is still the job's (the same commit and fetch), the dates whose
// path and oid match are written into it, nothing else. A 429 or any failing page ends the run: nothing
// retries it.
DatesRun FetchFolderDates(const DateJob& job, const std::atomic<bool>& stop);
// On the host's main thread only (elsewhere these do nothing). Start: unless a worker still runs for
// the same listing; a finished one, or one for another listing, is stopped first. The thread waits a
// second before its first page, so that folders a host only passes through cost no request. Stop: raises the stop
// flag (the request in flight ends within about 100 ms), joins the thread and releases the module
// reference the thread held. Never from DllMain or a static destructor.
bool StartDateWorker(DateJob job, const std::u16string& listing_path);
void StopDateWorker() noexcept;
// Stops it unless it works for this listing (a listing of the same folder lets it go on).
void StopDateWorkerUnlessFor(const std::u16string& listing_path) noexcept;
// The date job for one folder's record of a repository, from the state of the calling (host) thread.
DateJob DateJobFor(const std::string& repo_id, RepoType repo_type, const std::string& revision,
                   const std::string& folder, const std::string& commit, const std::string& fetch_id);

// Collections.
std::string CollectionFolderName(const CollectionInfo& collection);
std::string ModelFolderName(const std::string& model_id);
// The folder of each id, in order: its safe name, with " (owner)" added where two owners' ids share it.
std::vector<std::string> ModelFolderNames(const std::vector<std::string>& model_ids);
Listing EnumOrgCollections(const std::string& org);
Listing EnumCollectionModels(const std::string& org, const std::string& collection_folder);
std::string ResolveCollectionRepoId(const std::string& org, const std::string& collection_folder,
                                    const std::string& model_folder);
std::vector<CollectionInfo> LoadOrgCollections(const std::string& org);
std::vector<std::string> LoadCollectionItems(const std::string& slug, const std::vector<std::string>& fallback);
std::string FindModelIdByName(const std::string& model_folder, const std::vector<std::string>& ids);

// A Space's SDK ("gradio", "docker", "static", ...): remembered from an earlier answer, else from its
// organisation's stored listing (main only), else asked of the hub (expand=sdk) on the main thread and
// remembered when it answered. Empty when unknown.
std::string SpaceSdk(const std::string& repo_id, const std::string& revision);

// Access-denied prompt, once per repository and only on the main thread.
void PromptGatedRepo(const std::string& repo_id, RepoType repo_type);
// What the user is told when the hub has no such revision of the repository.
std::u16string RevisionNotFoundMessage(const std::string& repo_id, const std::string& revision);

