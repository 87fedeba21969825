// A repository's files and folders, one folder at a time, each from its own cache record or from the
// hub by the cheapest request that gives a complete answer:
//
// 1. A repository's root without a fresh record: one recursive request with dates, 100 items a page.
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

// Rule 2: the names to the end, then, for up to 100 items, their dates. `known` (an older record, the
// recursive answer's first page) gives the dates of items that have not changed since.
FolderFetch FetchFolder(const std::string& repo_id, RepoType repo_type, const std::string& revision,
                        const std::string& folder, const std::vector<const std::vector<TreeItem>*>& known) {
  FolderFetch fetch;
  TreeFolderRecord& record = fetch.record;
  record.repo_id = repo_id;
  record.repo_type = repo_type;
  record.revision = revision;
  record.folder = folder;
  const std::string key = ApiKeyUtf8();
  TreeQuery names;
  names.revision = revision;
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
    dates.revision = revision;
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

// What a listing that did not arrive whole shows: a refusal asks about the repository, a rate limit
// shows the folder's record whatever its age, anything else what arrived. Nothing is stored.
std::vector<TreeItem> AfterFailure(const std::string& repo_id, RepoType repo_type, const std::string& revision,
                                   const FetchOutcome& outcome, std::vector<TreeItem> arrived,
                                   const TreeFolderRecord* older) {
  if (outcome.status == 401 || outcome.status == 403) {
    PromptGatedRepo(repo_id, repo_type);
    return arrived;
  }
  LogMessage(u"ModelTree fetch failed: " + Utf8ToWide(repo_id) + u" status=" + WideDecimal(outcome.status));
  if (outcome.status == 404 && outcome.error_code == kRevisionNotFound) {
    // An empty folder alone would look like an empty repository: say which revision is missing.
    LogMessage(u"ModelTree revision not found: " + Utf8ToWide(repo_id) + u" revision=" + Utf8ToWide(revision));
    if (IsMainThread()) {
      AskHost(kRequestMessageOk, u"HuggingFace", RevisionNotFoundMessage(repo_id, revision), nullptr);
    }
    return arrived;
  }
  if (outcome.rate_limited && older) return older->items;  // a stale record is better than nothing
  return arrived;
}

struct FolderListing {
  std::vector<TreeItem> items;
  bool stored = false;          // a whole listing is in its record
  bool dates_complete = true;
};

// The folder from the hub (rules 1 and 2), stored when whole.
FolderListing ListFromHub(const std::string& repo_id, RepoType repo_type, const std::string& revision,
                          const std::string& folder) {
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
    whole_repository.revision = revision;
    whole_repository.recursive = true;
    whole_repository.expand = true;
    whole_repository.limit = kTreeDatesPageLimit;
    whole_repository.max_pages = 1;
    probe = ListTree(repo_id, ApiKeyUtf8(), repo_type, whole_repository);
    if (!probe.outcome.complete) {
      return {AfterFailure(repo_id, repo_type, revision, probe.outcome, ChildrenIn(probe.items, folder),
                           have_older ? &older : nullptr),
              false, true};
    }
    if (probe.next_url.empty()) {
      FillDirectoryTimes(&probe.items);
      std::vector<TreeFolderRecord> records =
          FolderRecordsOf(repo_id, repo_type, revision, probe.items, UnixNow());
      bool stored = true;
      for (const TreeFolderRecord& record : records) stored = SaveTreeFolder(record) && stored;
      return {std::move(records.front().items), stored, true};
    }
    large = true;
    known.push_back(&probe.items);  // the first page's dates of the root's own items
  } else if (folder.empty()) {
    large = true;
  }

  FolderFetch fetch = FetchFolder(repo_id, repo_type, revision, folder, known);
  if (!fetch.whole) {
    return {AfterFailure(repo_id, repo_type, revision, fetch.failed, std::move(fetch.record.items),
                         have_older ? &older : nullptr),
            false, true};
  }
  fetch.record.large_repository = large;
  const bool stored = SaveTreeFolder(fetch.record);
  return {std::move(fetch.record.items), stored, fetch.record.dates_complete};
}

}  // namespace

std::u16string RevisionNotFoundMessage(const std::string& repo_id, const std::string& revision) {
  return u"The HuggingFace hub has no revision \"" + Utf8ToWide(revision) + u"\" of " + Utf8ToWide(repo_id) +
         u". Check the branch, tag or commit in the address the entry was made from.";
}

Listing EnumModelTree(const std::string& repo_id, const std::string& sub_path, RepoType repo_type,
                      const std::string& revision, const std::u16string& listing_path) {
  LogMessage(u"EnumModelTree: " + Utf8ToWide(repo_id) + u" path=" + Utf8ToWide(sub_path) +
             (revision == "main" ? std::u16string() : u" revision=" + Utf8ToWide(revision)));
  FolderListing folder;
  TreeFolderRecord cached;
  if (LoadFreshTreeFolder(repo_id, repo_type, revision, sub_path, TreeRecordRead::Names, &cached)) {
    folder = {std::move(cached.items), true, cached.dates_complete};
  } else {
    folder = ListFromHub(repo_id, repo_type, revision, sub_path);
  }
  if (folder.stored && !folder.dates_complete && !listing_path.empty() && IsMainThread()) {
    StartDateWorker(DateJobFor(repo_id, repo_type, revision, sub_path), listing_path);
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
    FolderFetch fetch = FetchFolder(repo_id, repo_type, revision, folder, known);
    whole = fetch.whole;
    if (whole) {
      fetch.record.large_repository = have_older && older.large_repository;
      SaveTreeFolder(fetch.record);
      record = std::move(fetch.record);
    }
  } else {
    whole = LoadTreeFolderOfAnyAge(repo_id, repo_type, revision, folder, TreeRecordRead::Whole, &record);
  }
  ListedContent listed;
  listed.complete = whole;
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
                                              const std::string& revision, const std::vector<TreeItem>& items,
                                              int64_t fetched_at) {
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
