// The folder dispatch below an entry, the recursive-walk guard, and the organisation listing with its
// page size and paging item.
#include <unordered_set>

#include "browse/browse.h"
#include "browse/internal.h"
#include "config/favorites.h"
#include "plugin/state.h"
#include "plugin/text.h"

namespace {

const std::u16string kPagingPrefix = u"[Load next ";

// The host holds `parent` open while it walks a selection recursively; answer with an empty folder
// instead of fetching every repository below it.
bool GuardedByOpenListing(const std::u16string& parent, const char16_t* line, const std::u16string& host_path) {
  if (!IsListingOpen(parent)) return false;
  LogMessage(line + host_path);
  return true;
}

OrgReposCache StartRecord(const Entry& entry, int32_t page_size) {
  OrgReposCache record;
  record.org = entry.org;
  record.is_dataset = entry.is_dataset;
  record.page_size = page_size;
  record.pages_loaded = 0;
  record.has_more = true;
  return record;
}

std::unique_ptr<FindHandle> DispatchOrgModels(const Entry& entry, const VirtualPath& c, const std::u16string& host_path) {
  if (c.size() == 1) {
    if (GuardedByOpenListing(u"\\", u"FastPath(delete root): ", host_path)) return std::make_unique<FindHandle>();
    return EnumOrgRepos(entry);
  }
  if (c.size() == 2 && IsPagingItemName(c[1])) {
    LoadNextPage(host_path);
    return EnumOrgRepos(entry);
  }
  if (GuardedByOpenListing(PathPrefix(c, 1), u"FastPath(delete): ", host_path)) return std::make_unique<FindHandle>();
  return EnumModelTree(entry.org + "/" + WideToUtf8(c[1]), JoinRepoPath(c, 2), entry.is_dataset);
}

std::unique_ptr<FindHandle> DispatchOrgCollections(const Entry& entry, const VirtualPath& c,
                                                   const std::u16string& host_path) {
  if (c.size() == 1) {
    if (GuardedByOpenListing(u"\\", u"FastPath(delete root): ", host_path)) return std::make_unique<FindHandle>();
    return EnumOrgCollections(entry.org);
  }
  if (c.size() == 2) return EnumCollectionModels(entry.org, WideToUtf8(c[1]));
  if (GuardedByOpenListing(PathPrefix(c, 2), u"FastPath(delete): ", host_path)) return std::make_unique<FindHandle>();
  const std::string repo_id = ResolveCollectionRepoId(entry.org, WideToUtf8(c[1]), WideToUtf8(c[2]));
  if (repo_id.empty()) return std::make_unique<FindHandle>();
  const std::string sub_path = JoinRepoPath(c, 3);
  LogMessage(u"Collection model: repoId=" + Utf8ToWide(repo_id) + u" treePath=" + Utf8ToWide(sub_path));
  // Collections hold models only, whatever the entry's dataset flag says.
  return EnumModelTree(repo_id, sub_path, 0);
}

std::unique_ptr<FindHandle> DispatchSingleModel(const Entry& entry, const VirtualPath& c,
                                                const std::u16string& host_path) {
  if (c.size() == 1) {
    if (GuardedByOpenListing(u"\\", u"FastPath(delete root): ", host_path)) return std::make_unique<FindHandle>();
    return EnumModelTree(entry.repo_id, std::string(), entry.is_dataset);
  }
  if (GuardedByOpenListing(PathPrefix(c, 1), u"FastPath(delete): ", host_path)) return std::make_unique<FindHandle>();
  return EnumModelTree(entry.repo_id, JoinRepoPath(c, 1), entry.is_dataset);
}

}  // namespace

std::unique_ptr<FindHandle> EnumFolder(const Entry& entry, const VirtualPath& components,
                                       const std::u16string& host_path) {
  if (components.empty()) return nullptr;
  switch (entry.type) {
    case OrgModels:
      return DispatchOrgModels(entry, components, host_path);
    case OrgCollections:
      return DispatchOrgCollections(entry, components, host_path);
    case SingleModel:
      return DispatchSingleModel(entry, components, host_path);
    default:
      return nullptr;
  }
}

int32_t PageSizeOf(const Entry& entry) {
  if (entry.limit_count < 10) return 300;
  if (entry.limit_count > 500) return 500;
  return entry.limit_count;
}

std::u16string PagingItemName(int32_t page_size) { return kPagingPrefix + WideDecimal(page_size) + u" models]"; }

bool IsPagingItemName(const std::u16string& component) {
  return component.size() > kPagingPrefix.size() && component.compare(0, kPagingPrefix.size(), kPagingPrefix) == 0 &&
         component.back() == u']';
}

std::unique_ptr<FindHandle> EnumOrgRepos(const Entry& entry) {
  const OrgReposCache record = LoadOrgRepos(entry);
  auto handle = std::make_unique<FindHandle>();
  handle->records.reserve(record.models.size() + 1);
  for (const RepoInfo& repo : record.models) {
    const std::u16string name = Utf8ToWide(repo.name);
    if (IsHostSafeName(name)) handle->records.push_back(MakeDirRecord(name, repo.last_modified));
  }
  if (entry.limit_enabled && record.has_more) {
    handle->records.push_back(MakeFileRecord(PagingItemName(record.page_size), 0, record.fetched_at));
  }
  return handle;
}

OrgReposCache LoadOrgRepos(const Entry& entry) {
  if (!entry.limit_enabled) {
    // A listing fetched whole is stored but never read back: each visit asks the hub again.
    OrgReposCache record = StartRecord(entry, 0);
    record.pages_loaded = 1;
    record.has_more = false;
    record.fetched_at = UnixNow();
    record.models = ListAllRepos(entry.org, ApiKeyUtf8(), 0, entry.is_dataset);
    SaveOrgReposCache(record);
    return record;
  }
  const int32_t page_size = PageSizeOf(entry);
  OrgReposCache cached;
  if (LoadFreshOrgReposCache(entry.org, entry.is_dataset, &cached) && cached.page_size == page_size &&
      cached.pages_loaded > 0 && (!cached.has_more || !cached.next_url.empty())) {
    return cached;
  }
  return FetchOrgReposPage(entry, StartRecord(entry, page_size), 0);
}

OrgReposCache FetchOrgReposPage(const Entry& entry, OrgReposCache record, int32_t pages_loaded) {
  const int32_t page_size = PageSizeOf(entry);
  const std::string key = ApiKeyUtf8();
  const RepoPage page = (pages_loaded < 1 || record.next_url.empty())
                            ? ListReposPage(entry.org, key, page_size, entry.is_dataset)
                            : ListReposNextPage(record.next_url, key);
  record.org = entry.org;
  record.is_dataset = entry.is_dataset;
  record.page_size = page_size;
  record.fetched_at = UnixNow();
  MergeRepos(&record.models, page);
  record.pages_loaded = pages_loaded + 1;
  record.next_url = page.next_url;
  record.has_more = !record.next_url.empty();
  SaveOrgReposCache(record);
  return record;
}

void MergeRepos(std::vector<RepoInfo>* models, const RepoPage& page) {
  std::unordered_set<std::string> seen;
  seen.reserve(models->size() + page.items.size());
  for (const RepoInfo& m : *models) seen.insert(m.repo_id);
  for (const RepoInfo& item : page.items) {
    if (seen.insert(item.repo_id).second) models->push_back(item);
  }
}

bool IsLoadNextItem(const std::u16string& path) {
  const VirtualPath c = SplitPath(path);
  if (c.size() != 2 || !IsPagingItemName(c[1])) return false;
  StateLock guard(g_state.lock);
  if (c[0] == kTemporaryName) return g_state.temporary_present && g_state.temporary_entry.type == OrgModels;
  const Entry* entry = FindEntryByName(c[0]);
  return entry != nullptr && entry->type == OrgModels;
}

bool LoadNextPage(const std::u16string& path) {
  const VirtualPath c = SplitPath(path);
  if (c.size() != 2 || !IsPagingItemName(c[1])) return false;
  const bool temporary = c[0] == kTemporaryName;
  Entry entry;
  {
    StateLock guard(g_state.lock);
    const Entry* found = temporary ? (g_state.temporary_present ? &g_state.temporary_entry : nullptr)
                                   : FindEntryByName(c[0]);
    if (!found || found->type != OrgModels || !found->limit_enabled) return false;
    entry = *found;
  }

  const int32_t page_size = PageSizeOf(entry);
  OrgReposCache record;
  if (!LoadFreshOrgReposCache(entry.org, entry.is_dataset, &record)) record = OrgReposCache();
  if (record.org.empty()) record.org = entry.org;

  if (record.page_size == page_size && record.pages_loaded > 0 && !record.has_more) return true;  // all loaded
  if (record.page_size == page_size && record.pages_loaded > 0 && !record.next_url.empty()) {
    const int32_t loaded = record.pages_loaded;
    record = FetchOrgReposPage(entry, std::move(record), loaded);
  } else {
    // Another page size, nothing loaded yet, or more announced without a link: start over.
    record = FetchOrgReposPage(entry, StartRecord(entry, page_size), 0);
  }

  bool save = false;
  {
    StateLock guard(g_state.lock);
    if (temporary) {
      if (g_state.temporary_present && g_state.temporary_entry.id == entry.id) {
        g_state.temporary_entry.cached_at = record.fetched_at;
      }
    } else if (Entry* again = FindEntryByName(entry.display_name)) {
      again->cached_at = record.fetched_at;
      save = true;
    }
  }
  if (save) SaveFavorites();
  return true;
}
