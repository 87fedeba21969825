// A repository's files and folders, one folder at a time, at the commit the revision is at: each from
// its own cache record when that shows the commit, or from the hub by the cheapest request that gives a
// complete answer:
//
// 0. The revision's commit: from the repository's small record while it was asked for within the
//    check interval (a commit revision never moves), else one small request (revision?expand=sha).
//    Same commit: every record is current, whatever its age. Another: a folder is listed again when
//    visited, keeping the dates of its unchanged items.
// 1. A repository's root without a current record: one recursive request with dates, 100 items a page.
//    Without a next link it is the whole repository: every folder in it gets its record, and browsing
//    it costs nothing more. With one the repository is large, and its root goes on as any folder.
// 2. Any other folder: its names and sizes, 1,000 a page, to the end. A folder of up to 100 items gets
//    its dates in one more request; a larger one is shown at once without them (no time), and the date
//    worker fills them in for a later listing.
//
// A wasted page with dates costs the hub about ten times a plain page of a small folder, and both
// cost one request of the user's budget (figures in bench/README.md).
#include <algorithm>
#include <unordered_map>

#include "browse/browse.h"
#include "core/state.h"
#include "core/text.h"
#include "core/time.h"
#include "hub/http.h"

namespace {

std::string ParentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool IsChildOf(const std::string& path, const std::string& folder) {
  const size_t start = folder.empty() ? 0 : folder.size() + 1;
  if (path.size() <= start || path.find('/', start) != std::string::npos) return false;
  return folder.empty() || (path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/');
}

// The folder's direct children among `items`, in order.
std::vector<TreeItem> ChildrenIn(std::vector<TreeItem> items, const std::string& folder) {
  items.erase(std::remove_if(items.begin(), items.end(),
                             [&folder](const TreeItem& item) { return !IsChildOf(item.path, folder); }),
              items.end());
  return items;
}

// A folder listed from the hub: as far as it got, and whether that is the whole folder.
struct FolderFetch {
  TreeFolderRecord record;
  bool whole = false;
  FetchOutcome failed;  // the failing request's outcome when not whole
};

// What a record listed at `at` (a commit, or the revision's name when its commit is unknown) shows.
std::string CommitOf(const std::string& at) { return IsCommitId(at) ? at : std::string(); }

// Rule 2: the names to the end, then, for up to 100 items, their dates. `known` (an older record, the
// recursive answer's first page) gives the dates of items that have not changed since.
FolderFetch FetchFolder(const std::string& repo_id, RepoType repo_type, const std::string& revision,
                        const std::string& at, const std::string& folder,
                        const std::vector<const std::vector<TreeItem>*>& known) {
  FolderFetch fetch;
  TreeFolderRecord& record = fetch.record;
  record.repo_id = repo_id;
  record.repo_type = repo_type;
  record.revision = revision;
  record.folder = folder;
  record.commit = CommitOf(at);
  record.fetch_id = NewFetchId();
  const std::string key = ApiKeyUtf8();
  TreeQuery names;
  names.revision = at;
  names.folder = folder;
  TreePages pages = ListTree(repo_id, key, repo_type, names);
  // An item outside the folder is no child of it, whatever a broken hub sends.
  record.items = ChildrenIn(std::move(pages.items), folder);
  if (!pages.outcome.complete || !pages.next_url.empty()) {
    fetch.failed = pages.outcome;
    fetch.failed.complete = false;
    return fetch;
  }
  fetch.whole = true;
  record.fetched_at = UnixNow();
  size_t dated = 0;
  for (const std::vector<TreeItem>* older : known) dated = MergeDates(&record.items, *older);
  if (dated == record.items.size()) {
    record.dates_complete = true;  // nothing changed since the dates were fetched: no request
  } else if (record.items.size() <= static_cast<size_t>(kTreeDatesPageLimit)) {
    TreeQuery dates;
    dates.revision = at;
    dates.folder = folder;
    dates.expand = true;
    dates.limit = kTreeDatesPageLimit;
    const TreePages dated_pages = ListTree(repo_id, key, repo_type, dates);
    MergeDates(&record.items, dated_pages.items);
    // Dates that did not all arrive are left to the worker; the names stand.
    record.dates_complete = dated_pages.outcome.complete && dated_pages.next_url.empty();
  }
  return fetch;
}

// A refusal asks about the repository (once a process), a revision the hub does not have is told at
// each listing, another 404 is logged: true when the outcome was one of those.
bool TellFailure(const std::string& repo_id, RepoType repo_type, const std::string& revision,
                 const FetchOutcome& outcome) {
  if (outcome.status == 401 || outcome.status == 403) {
    PromptGatedRepo(repo_id, repo_type);
    return true;
  }
  if (outcome.status != 404) return false;
  LogMessage(u"ModelTree fetch failed: " + Utf8ToWide(repo_id) + u" status=404");
  if (outcome.error_code == kRevisionNotFound) {
    // An empty folder alone would look like an empty repository: say which revision is missing.
    LogMessage(u"ModelTree revision not found: " + Utf8ToWide(repo_id) + u" revision=" + Utf8ToWide(revision));
    if (IsMainThread()) {
      AskHost(kRequestMessageOk, u"HuggingFace", RevisionNotFoundMessage(repo_id, revision), nullptr);
    }
  }
  return true;
}

// What a listing that did not arrive whole shows: a refusal or a missing revision as told, a rate limit
// the folder's record whatever its age, anything else what arrived. Nothing is stored.
std::vector<TreeItem> AfterFailure(const std::string& repo_id, RepoType repo_type, const std::string& revision,
                                   const FetchOutcome& outcome, std::vector<TreeItem> arrived,
                                   const TreeFolderRecord* older) {
  if (TellFailure(repo_id, repo_type, revision, outcome)) return arrived;
  LogMessage(u"ModelTree fetch failed: " + Utf8ToWide(repo_id) + u" status=" + WideDecimal(outcome.status));
  if (outcome.rate_limited && older) return older->items;  // a stale record is better than nothing
  return arrived;
}

struct FolderListing {
  std::vector<TreeItem> items;
  bool stored = false;          // a whole listing is in its record
  bool dates_complete = true;
  std::string commit, fetch_id;  // the stored record's
};

FolderListing FromRecord(TreeFolderRecord* record) {
  return {std::move(record->items), true, record->dates_complete, record->commit, record->fetch_id};
}

// Which commit a listing shows.
enum class Pinned {
  Commit,     // the record's commit: the revision is there now
  Unchecked,  // not asked (the offline cache) or no answer: records as fresh as the time-to-live allows
  Told,       // refused, or no such revision: told, and nothing more is asked
};

// Step 0: the revision's commit, from the repository's small record while its check is recent, else
// from the hub, and kept in that record for every process.
Pinned PinRevision(const std::string& repo_id, RepoType repo_type, const std::string& revision, bool offline,
                   RevisionRecord* record) {
  if (offline) return Pinned::Unchecked;
  if (IsCommitId(revision)) {
    record->commit = revision;  // a commit never moves: nothing to ask
    return Pinned::Commit;
  }
  const std::u16string cache_folder = CacheFolder();
  const int64_t now = UnixNow();
  const int64_t every = CheckChangesSeconds();
  if (ReadRevisionRecord(cache_folder, repo_id, repo_type, revision, record) && !record->commit.empty() &&
      now >= record->checked_at && now - record->checked_at < every) {
    return Pinned::Commit;
  }
  const RevisionAnswer answer = FetchRevisionCommit(repo_id, repo_type, revision, ApiKeyUtf8());
  if (answer.outcome.complete) {
    NoteResolvedCommit(record, answer.commit, now);
    WriteRevisionRecord(cache_folder, repo_id, repo_type, revision, *record);
    return Pinned::Commit;
  }
  // Told as a tree request's refusal would be, and no tree request after it.
  if (TellFailure(repo_id, repo_type, revision, answer.outcome)) return Pinned::Told;
  LogMessage(u"ModelTree revision check failed: " + Utf8ToWide(repo_id) + u" status=" +
             WideDecimal(answer.outcome.status));
  return Pinned::Unchecked;
}

// The folder from the hub (rules 1 and 2) at `at`, stored when whole.
FolderListing ListFromHub(const std::string& repo_id, RepoType repo_type, const std::string& revision,
                          const std::string& at, const std::string& folder) {
  TreeFolderRecord older;
  const bool have_older =
      LoadTreeFolderOfAnyAge(repo_id, repo_type, revision, folder, TreeRecordRead::Whole, &older);
  std::vector<const std::vector<TreeItem>*> known;
  if (have_older) known.push_back(&older.items);

  bool large = false;
  TreePages probe;
  if (folder.empty() && !(have_older && older.large_repository)) {
    // An older root record that found the repository large saves this request.
    TreeQuery whole_repository;
    whole_repository.revision = at;
    whole_repository.recursive = true;
    whole_repository.expand = true;
    whole_repository.limit = kTreeDatesPageLimit;
    whole_repository.max_pages = 1;
    probe = ListTree(repo_id, ApiKeyUtf8(), repo_type, whole_repository);
    if (!probe.outcome.complete) {
      return {AfterFailure(repo_id, repo_type, revision, probe.outcome, ChildrenIn(probe.items, folder),
                           have_older ? &older : nullptr),
              false, true, "", ""};
    }
    if (probe.next_url.empty()) {
      FillDirectoryTimes(&probe.items);
      std::vector<TreeFolderRecord> records =
          FolderRecordsOf(repo_id, repo_type, revision, CommitOf(at), probe.items, UnixNow());
      bool stored = true;
      for (const TreeFolderRecord& record : records) stored = SaveTreeFolder(record) && stored;
      return {std::move(records.front().items), stored, true, records.front().commit, records.front().fetch_id};
    }
    large = true;
    known.push_back(&probe.items);  // the first page's dates of the root's own items
  } else if (folder.empty()) {
    large = true;
  }

  FolderFetch fetch = FetchFolder(repo_id, repo_type, revision, at, folder, known);
  if (!fetch.whole) {
    return {AfterFailure(repo_id, repo_type, revision, fetch.failed, std::move(fetch.record.items),
                         have_older ? &older : nullptr),
            false, true, "", ""};
  }
  fetch.record.large_repository = large;
  const bool stored = SaveTreeFolder(fetch.record);
  return {std::move(fetch.record.items), stored, fetch.record.dates_complete, fetch.record.commit,
          fetch.record.fetch_id};
}

// The folder as the listing shows it: from its record when that is current, else from the hub.
FolderListing ListFolder(const std::string& repo_id, RepoType repo_type, const std::string& revision,
                         const std::string& folder, bool offline) {
  RevisionRecord pinned;
  TreeFolderRecord cached;
  switch (PinRevision(repo_id, repo_type, revision, offline, &pinned)) {
    case Pinned::Told:
      return {};
    case Pinned::Commit:
      if (LoadTreeFolderOfAnyAge(repo_id, repo_type, revision, folder, TreeRecordRead::Names, &cached) &&
          ShowsRecordedCommit(pinned, cached.commit, folder)) {
        return FromRecord(&cached);
      }
      return ListFromHub(repo_id, repo_type, revision, pinned.commit, folder);
    case Pinned::Unchecked:
      break;
  }
  if (LoadFreshTreeFolder(repo_id, repo_type, revision, folder, TreeRecordRead::Names, &cached)) {
    return FromRecord(&cached);
  }
  return ListFromHub(repo_id, repo_type, revision, revision, folder);
}

}  // namespace

std::u16string RevisionNotFoundMessage(const std::string& repo_id, const std::string& revision) {
  return u"The HuggingFace hub has no revision \"" + Utf8ToWide(revision) + u"\" of " + Utf8ToWide(repo_id) +
         u". Check the branch, tag or commit in the address the entry was made from.";
}

Listing EnumModelTree(const std::string& repo_id, const std::string& sub_path, RepoType repo_type,
                      const std::string& revision, const std::u16string& listing_path, bool offline) {
  LogMessage(u"EnumModelTree: " + Utf8ToWide(repo_id) + u" path=" + Utf8ToWide(sub_path) +
             (revision == "main" ? std::u16string() : u" revision=" + Utf8ToWide(revision)));
  FolderListing folder = ListFolder(repo_id, repo_type, revision, sub_path, offline);
  if (folder.stored && !folder.dates_complete && !listing_path.empty() && IsMainThread()) {
    StartDateWorker(DateJobFor(repo_id, repo_type, revision, sub_path, folder.commit, folder.fetch_id),
                    listing_path);
  }
  Listing listing;
  listing.reserve(folder.items.size());
  for (const TreeItem& child : folder.items) {
    const size_t start = child.path.rfind('/') + 1;  // 0 without a "/"
    std::u16string name = Utf8ToWide(child.path.data() + start, child.path.size() - start);
    if (!IsHostSafeName(name)) continue;
    const bool is_folder = child.type == "directory";
    listing.push_back({std::move(name), is_folder, is_folder ? 0 : child.size, child.mtime});
  }
  return listing;
}

ListedContent ListedFile(const std::string& repo_id, const std::string& file_path, RepoType repo_type,
                         const std::string& revision, bool refresh) {
  const std::string folder = ParentOf(file_path);
  TreeFolderRecord record;
  bool whole = false;
  if (refresh) {
    TreeFolderRecord older;
    const bool have_older =
        LoadTreeFolderOfAnyAge(repo_id, repo_type, revision, folder, TreeRecordRead::Whole, &older);
    std::vector<const std::vector<TreeItem>*> known;
    if (have_older) known.push_back(&older.items);
    // At the commit the copy's listing showed, which is the commit the copy asks for.
    const std::string at = have_older && !older.commit.empty() ? older.commit : revision;
    FolderFetch fetch = FetchFolder(repo_id, repo_type, revision, at, folder, known);
    whole = fetch.whole;
    if (whole) {
      fetch.record.large_repository = have_older && older.large_repository;
      // A listing of another commit stored meanwhile is newer than this one: it stays.
      const std::string listed_commit = have_older ? older.commit : std::string();
      UpdateTreeFolderRecord(CacheFolder(), repo_id, repo_type, revision, folder,
                             [&](bool exists, TreeFolderRecord* now) {
                               if (exists && now->commit != listed_commit) return false;
                               *now = fetch.record;
                               return true;
                             });
      record = std::move(fetch.record);
    }
  } else {
    whole = LoadTreeFolderOfAnyAge(repo_id, repo_type, revision, folder, TreeRecordRead::Whole, &record);
  }
  ListedContent listed;
  listed.complete = whole;
  listed.commit = record.commit;
  for (const TreeItem& item : record.items) {
    if (item.type != "file" || item.path != file_path) continue;
    listed.size = item.size;
    listed.mtime = item.mtime;
    listed.oid = item.oid;
    listed.lfs_oid = item.lfs_oid;
    break;
  }
  return listed;
}

size_t MergeDates(std::vector<TreeItem>* items, const std::vector<TreeItem>& dated) {
  std::unordered_map<std::string, const TreeItem*> by_path;
  by_path.reserve(dated.size());
  for (const TreeItem& item : dated) {
    if (item.mtime != 0 && !item.oid.empty()) by_path.emplace(item.path, &item);
  }
  size_t with_date = 0;
  for (TreeItem& item : *items) {
    const auto found = by_path.find(item.path);
    if (found != by_path.end() && found->second->oid == item.oid && found->second->type == item.type) {
      item.mtime = found->second->mtime;
    }
    with_date += item.mtime != 0;
  }
  return with_date;
}

std::vector<TreeFolderRecord> FolderRecordsOf(const std::string& repo_id, RepoType repo_type,
                                              const std::string& revision, const std::string& commit,
                                              const std::vector<TreeItem>& items, int64_t fetched_at) {
  const std::string fetch_id = NewFetchId();
  std::vector<TreeFolderRecord> records;
  std::unordered_map<std::string, size_t> index;
  // The record of `folder`, made with those of its parents first (a folder the answer implies without
  // an item of its own still opens).
  const auto record_of = [&](const std::string& folder) {
    std::vector<std::string> missing;
    for (std::string f = folder;; f = ParentOf(f)) {
      if (index.count(f)) break;
      missing.push_back(f);
      if (f.empty()) break;
    }
    for (auto f = missing.rbegin(); f != missing.rend(); ++f) {
      index.emplace(*f, records.size());
      TreeFolderRecord record;
      record.repo_id = repo_id;
      record.repo_type = repo_type;
      record.revision = revision;
      record.folder = *f;
      record.commit = commit;
      record.fetch_id = fetch_id;
      record.fetched_at = fetched_at;
      record.dates_complete = true;  // every item came with its last commit, or the hub has none
      records.push_back(std::move(record));
    }
    return index.at(folder);
  };
  record_of(std::string());
  for (const TreeItem& item : items) {
    if (item.path.empty()) continue;
    const size_t parent = record_of(ParentOf(item.path));
    records[parent].items.push_back(item);
    if (item.type == "directory") record_of(item.path);
  }
  return records;
}
