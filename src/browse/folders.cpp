// The organisation listing with its page size and paging item.
#include <unordered_set>

#include "browse/browse.h"
#include "config/favorites.h"
#include "core/state.h"
#include "core/text.h"
#include "core/time.h"
#include "hub/http.h"

namespace {

const std::u16string kPagingPrefix = u"[Load next ";

OrgReposCache StartRecord(const Entry& entry, int32_t page_size) {
  OrgReposCache record;
  record.org = entry.org;
  record.repo_type = entry.repo_type;
  record.page_size = page_size;
  record.pages_loaded = 0;
  record.has_more = true;
  return record;
}

// A next-page link read back from a cache file (a folder the user may point anywhere) is used only
// when it stays on the hub's origin; any other starts the listing over.
bool HasUsableLink(const OrgReposCache& record) {
  return !record.next_url.empty() && IsHubOrigin(Utf8ToWide(record.next_url));
}

void LogFailedPage(const Entry& entry, const FetchOutcome& outcome) {
  LogMessage(u"OrgRepos fetch failed: " + Utf8ToWide(entry.org) + u" status=" + WideDecimal(outcome.status));
}

}  // namespace

int32_t PageSizeOf(const Entry& entry) {
  if (entry.limit_count < 10) return 300;
  if (entry.limit_count > 500) return 500;
  return entry.limit_count;
}

std::u16string PagingItemName(int32_t page_size, RepoType repo_type) {
  return kPagingPrefix + WideDecimal(page_size) + u" " + Utf8ToWide(RepoTypePlural(repo_type)) + u"]";
}

bool IsPagingItemName(const std::u16string& component) {
  return component.size() > kPagingPrefix.size() && component.compare(0, kPagingPrefix.size(), kPagingPrefix) == 0 &&
         component.back() == u']';
}

Listing EnumOrgRepos(const Entry& entry) {
  const OrgReposCache record = LoadOrgRepos(entry);
  Listing listing;
  listing.reserve(record.models.size() + 1);
  for (const RepoInfo& repo : record.models) {
    std::u16string name = Utf8ToWide(repo.name);
    if (IsHostSafeName(name)) listing.push_back({std::move(name), true, 0, repo.last_modified});
  }
  if (entry.limit_enabled && record.has_more) {
    listing.push_back({PagingItemName(record.page_size, entry.repo_type), false, 0, record.fetched_at});
  }
  return listing;
}

OrgReposCache LoadOrgRepos(const Entry& entry) {
  if (!entry.limit_enabled) {
    // A listing fetched whole is stored but never read back: each visit asks the hub again.
    OrgReposCache record = StartRecord(entry, 0);
    record.pages_loaded = 1;
    record.has_more = false;
    record.fetched_at = UnixNow();
    FetchOutcome outcome;
    record.models = ListAllRepos(entry.org, ApiKeyUtf8(), 0, entry.repo_type, &outcome);
    if (outcome.complete) {
      SaveOrgReposCache(record);
    } else {
      LogFailedPage(entry, outcome);
    }
    return record;
  }
  const int32_t page_size = PageSizeOf(entry);
  OrgReposCache cached;
  if (LoadFreshOrgReposCache(entry.org, entry.repo_type, &cached) && cached.page_size == page_size &&
      cached.pages_loaded > 0 && (!cached.has_more || HasUsableLink(cached))) {
    return cached;
  }
  OrgReposCache record = StartRecord(entry, page_size);
  FetchOrgReposPage(entry, &record, 0);
  return record;
}

bool FetchOrgReposPage(const Entry& entry, OrgReposCache* record, int32_t pages_loaded) {
  const int32_t page_size = PageSizeOf(entry);
  const std::string key = ApiKeyUtf8();
  const RepoPage page = (pages_loaded < 1 || record->next_url.empty())
                            ? ListReposPage(entry.org, key, page_size, entry.repo_type)
                            : ListReposNextPage(record->next_url, key);
  if (!page.outcome.complete) {
    // What was loaded stays listed with its paging item, and nothing is stored: the next listing (or a
    // click on the paging item) asks again.
    LogFailedPage(entry, page.outcome);
    return false;
  }
  record->org = entry.org;
  record->repo_type = entry.repo_type;
  record->page_size = page_size;
  record->fetched_at = UnixNow();
  MergeRepos(&record->models, page);
  record->pages_loaded = pages_loaded + 1;
  record->next_url = page.next_url;
  record->has_more = !record->next_url.empty();
  SaveOrgReposCache(*record);
  return true;
}

void MergeRepos(std::vector<RepoInfo>* models, const RepoPage& page) {
  std::unordered_set<std::string> seen;
  seen.reserve(models->size() + page.items.size());
  for (const RepoInfo& m : *models) seen.insert(m.repo_id);
  for (const RepoInfo& item : page.items) {
    if (models->size() >= kMaxListingItems) break;  // a listing paged by hand is bounded too
    if (seen.insert(item.repo_id).second) models->push_back(item);
  }
}

bool LoadNextPage(const Entry& entry, bool temporary) {
  if (entry.type != OrgModels || !entry.limit_enabled) return false;
  const int32_t page_size = PageSizeOf(entry);
  OrgReposCache record;
  if (!LoadFreshOrgReposCache(entry.org, entry.repo_type, &record)) record = OrgReposCache();
  if (record.org.empty()) record.org = entry.org;

  if (record.page_size == page_size && record.pages_loaded > 0 && !record.has_more) return true;  // all loaded
  bool fetched = false;
  if (record.page_size == page_size && record.pages_loaded > 0 && HasUsableLink(record)) {
    fetched = FetchOrgReposPage(entry, &record, record.pages_loaded);
  } else {
    // Another page size, nothing loaded yet, or more announced without a usable link: start over.
    record = StartRecord(entry, page_size);
    fetched = FetchOrgReposPage(entry, &record, 0);
  }
  if (!fetched) return true;

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
