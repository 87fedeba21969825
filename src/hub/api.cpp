// The hub's API operations: URLs, paging and the mapping of JSON bodies to records.
//
// Members are read with their defaults (a null date is no date, a numeric slug an empty one); an element
// that is not an object is skipped. A page that fails (a status other than 200, a cut body, a body that
// does not parse or has another shape) ends the operation with what came before it, reported as
// incomplete. Nothing is thrown out.
#include "hub/api.h"

#include <algorithm>
#include <set>
#include <unordered_map>

#include "core/json.h"
#include "core/state.h"
#include "core/text.h"
#include "core/time.h"
#include "hub/http.h"

namespace {

using nlohmann::json;

constexpr int kMaxCollectionPages = 50;
constexpr int kMaxRepoPages = 1000;  // a hub that always links a next page must not page forever
constexpr int32_t kMaxPageLimit = 500;
constexpr size_t kMaxHashChars = 64;  // a SHA-256 in hex; anything longer is no hash of ours
// A real page holds at most a few ten thousand values (a thousand tree items with their commits).
constexpr size_t kMaxPageValues = 250000;

int64_t DateOr0(const json& object, const char* key) {
  const std::string text = JsonString(object, key);
  return text.empty() ? 0 : ParseIsoTime(text);
}

// Calls `read` for each element of `array` that is an object; others carry nothing to read.
template <typename Read>
void ForEachObject(const json& array, Read read) {
  for (const json& element : array) {
    if (element.is_object()) read(element);
  }
}

// "id", or "modelId" when "id" is missing or not text.
std::string IdOf(const json& object) { return JsonString(object, "id", JsonString(object, "modelId")); }

struct Page {
  json body;             // null unless the page arrived whole in the expected shape
  FetchOutcome outcome;
  std::u16string next;   // the next page on the hub's origin; empty on the last
  bool link_elsewhere = false;  // the hub linked a next page on another origin, not followed
};

// Where a page may go and who hears of it: the configured hub root and the log for the host's threads;
// a root given by the caller, an abort flag and silence for the date worker.
struct PageAccess {
  std::string site;                          // the hub root; the key goes to its origin only
  const std::atomic<bool>* abort = nullptr;  // ends the request when raised
  bool log = true;
};

PageAccess HostAccess() { return PageAccess{HubSiteUrl(), nullptr, true}; }

// One page of an operation. The key goes only to the hub's origin, so a URL elsewhere (a next link
// from the hub or a cache file) is not requested at all, and a next link elsewhere ends the paging:
// the page itself still counts as whole (its items are shown), with no next page to offer.
Page GetPage(const std::u16string& url, const std::string& api_key, json::value_t shape,
             const PageAccess& access = HostAccess()) {
  Page page;
  if (!IsOriginOf(url, access.site)) {
    if (access.log) LogMessage(u"Paging link to another origin not followed: " + url);
    return page;
  }
  bool whole = false;
  std::u16string next;
  std::string text;
  if (access.abort) {
    HttpAbortScope abortable(access.abort);
    text = HttpGet(url, api_key, &page.outcome.status, &next, &whole, &page.outcome.error_code);
  } else {
    // Under the caller's scope, if any.
    text = HttpGet(url, api_key, &page.outcome.status, &next, &whole, &page.outcome.error_code);
  }
  page.outcome.rate_limited = page.outcome.status == 429;
  if (page.outcome.status != 200 || !whole) return page;
  page.body = ParseJson(text, kMaxPageValues);
  if (page.body.type() != shape) {
    page.body = json();
    return page;
  }
  page.outcome.complete = true;
  if (!next.empty()) next = ResolveRedirect(url, next);  // a Link target may be relative to the page
  if (!next.empty() && !IsOriginOf(next, access.site)) {
    if (access.log) LogMessage(u"Paging link to another origin not followed: " + next);
    page.link_elsewhere = true;
  } else {
    page.next = std::move(next);
  }
  return page;
}

// A Space's SDK is one short word on the real hub ("gradio", "docker"); anything else is shown as
// unknown rather than carried into a cache file and a message.
std::string SdkOf(const json& object) {
  std::string sdk = JsonString(object, "sdk");
  const bool plain = sdk.size() <= 32 && std::all_of(sdk.begin(), sdk.end(), [](char c) {
                       return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                              c == '-' || c == '_' || c == '.';
                     });
  return plain ? sdk : std::string();
}

RepoPage FetchRepoPage(const std::u16string& url, const std::string& api_key) {
  RepoPage result;
  const Page page = GetPage(url, api_key, json::value_t::array);
  result.outcome = page.outcome;
  result.next_url = WideToUtf8(page.next);
  ForEachObject(page.body, [&result](const json& element) {
    RepoInfo info;
    info.repo_id = IdOf(element);
    if (info.repo_id.empty() || info.repo_id.size() > kMaxNameBytes) return;
    const size_t slash = info.repo_id.find('/');
    info.name = slash == std::string::npos ? info.repo_id : info.repo_id.substr(slash + 1);
    info.last_modified = DateOr0(element, "lastModified");
    info.sdk = SdkOf(element);
    result.items.push_back(std::move(info));
  });
  return result;
}

// Item type "model" only; the id from "id", "modelId" or a nested "item" object.
void AppendCollectionModels(const json& items, std::vector<std::string>* model_ids) {
  ForEachObject(items, [model_ids](const json& element) {
    if (JsonString(element, "itemType", JsonString(element, "type")) != "model") return;
    std::string id = IdOf(element);
    if (id.empty()) {
      if (const json* nested = JsonObject(element, "item")) id = IdOf(*nested);
    }
    if (!id.empty() && id.size() <= kMaxNameBytes) model_ids->push_back(std::move(id));
  });
}

// A hash is hex (or the "*" of a masked one) of at most 64 characters; anything else means there is
// nothing to check or match, and is dropped rather than carried into a cache record.
std::string HashOf(const json& object, const char* key) {
  std::string text = JsonString(object, key);
  const bool usable = text.size() <= kMaxHashChars &&
                      std::all_of(text.begin(), text.end(), [](char c) {
                        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '*';
                      });
  return usable ? text : std::string();
}

// The tree items of one page body, in order, up to kMaxFolderItems in `items` altogether. Items with a
// path or type too long for any real hub are skipped.
void AppendTreeItems(const json& body, std::vector<TreeItem>* items) {
  ForEachObject(body, [items](const json& element) {
    if (items->size() >= kMaxFolderItems) return;
    TreeItem item;
    item.type = JsonString(element, "type", "file");
    item.path = JsonString(element, "path");
    if (item.type.size() > kMaxNameBytes || item.path.size() > kMaxPathBytes) return;
    item.size = std::max<int64_t>(0, JsonInt64(element, "size"));
    item.oid = HashOf(element, "oid");  // a folder's tree id too: it tells whether anything below changed
    if (const json* lfs = JsonObject(element, "lfs")) item.lfs_oid = HashOf(*lfs, "oid");
    if (const json* commit = JsonObject(element, "lastCommit")) item.mtime = DateOr0(*commit, "date");
    items->push_back(std::move(item));
  });
}

// Reads every page from `url` on, `read` taking each body; ends at the last page, a failing page, the
// page limit or kMaxListingItems (counted by `count`). A next link back to a page already read would
// repeat its items until the page limit: the listing ends there, incomplete.
template <typename Read, typename Count>
FetchOutcome ReadPages(std::u16string url, const std::string& api_key, int max_pages, Read read, Count count) {
  FetchOutcome outcome;
  std::set<std::u16string> requested;
  for (int pages_left = max_pages; !url.empty() && pages_left >= 1; --pages_left) {
    if (!requested.insert(url).second) {
      LogMessage(u"Paging link back to a page already read: " + url);
      outcome.complete = false;
      break;
    }
    Page page = GetPage(url, api_key, json::value_t::array);
    outcome = page.outcome;
    if (!page.body.is_null()) read(page.body);
    // The hub announced more than we take: shown, but not cached as the whole listing.
    if (page.link_elsewhere) outcome.complete = false;
    if (!outcome.complete) break;
    if (count() >= kMaxListingItems) {
      LogMessage(u"Listing ends at its item limit: " + url);
      break;
    }
    url = std::move(page.next);
  }
  return outcome;
}

void Report(FetchOutcome* out, const FetchOutcome& outcome) {
  if (out) *out = outcome;
}

// How the hub answers a revision it does not have; for a name no hub can have, given without asking.
FetchOutcome UnsentRevisionNotFound() {
  FetchOutcome outcome;
  outcome.status = 404;
  outcome.error_code = kRevisionNotFound;
  return outcome;
}

}  // namespace

RepoPage ListReposPage(const std::string& owner, const std::string& api_key, int32_t limit, RepoType repo_type) {
  try {
    const int32_t clamped = std::clamp<int32_t>(limit, 1, kMaxPageLimit);
    std::string path = std::string("/") + RepoTypePlural(repo_type) + "?author=" + UrlEncode(owner, false) +
                       "&limit=" + std::to_string(clamped) + "&sort=lastModified";
    // The hub leaves lastModified out of model listings unless asked; dataset listings carry it. What a
    // Space listing holds without expand is unknown, and with it only what is named comes back.
    if (repo_type != DatasetRepo) path += "&expand=lastModified";
    if (repo_type == SpaceRepo) path += "&expand=sdk";
    return FetchRepoPage(MakeApiUrl(path), api_key);
  } catch (...) {
    return RepoPage();
  }
}

RepoPage ListReposNextPage(const std::string& next_url, const std::string& api_key) {
  try {
    return FetchRepoPage(Utf8ToWide(next_url), api_key);
  } catch (...) {
    return RepoPage();
  }
}

std::vector<RepoInfo> ListAllRepos(const std::string& owner, const std::string& api_key, int32_t maximum,
                                   RepoType repo_type, FetchOutcome* outcome) {
  std::vector<RepoInfo> result;
  FetchOutcome ended;
  try {
    const size_t cap =
        maximum > 0 ? std::min<size_t>(static_cast<size_t>(maximum), kMaxListingItems) : kMaxListingItems;
    std::string next_url;
    for (int page_number = 0; page_number < kMaxRepoPages && result.size() < cap; ++page_number) {
      const int32_t batch = static_cast<int32_t>(std::min<size_t>(cap - result.size(), kMaxPageLimit));
      RepoPage page = page_number == 0 ? ListReposPage(owner, api_key, batch, repo_type)
                                       : ListReposNextPage(next_url, api_key);
      ended = page.outcome;
      if (!ended.complete || page.items.empty()) break;
      for (RepoInfo& info : page.items) {
        if (result.size() >= cap) break;
        result.push_back(std::move(info));
      }
      if (page.next_url.empty()) break;
      next_url = std::move(page.next_url);
    }
  } catch (...) {
    ended.complete = false;  // out of memory: what was gathered so far is still a valid prefix
  }
  Report(outcome, ended);
  return result;
}

bool IsRevisionName(const std::string& revision) {
  if (revision.empty() || revision.size() > 255 || revision == "@") return false;
  if (revision.front() == '/' || revision.back() == '/' || revision.back() == '.') return false;
  if (revision.find("..") != std::string::npos || revision.find("//") != std::string::npos ||
      revision.find("@{") != std::string::npos || revision.find("/.") != std::string::npos ||
      revision.front() == '.') {
    return false;
  }
  if (revision.size() >= 5 && revision.compare(revision.size() - 5, 5, ".lock") == 0) return false;
  for (unsigned char c : revision) {
    if (c < 0x20 || c == 0x7F || c == ' ' || c == '~' || c == '^' || c == ':' || c == '?' || c == '*' ||
        c == '[' || c == '\\') {
      return false;
    }
  }
  return true;
}

bool IsCommitId(const std::string& text) {
  return text.size() == 40 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

std::string TreeApiPath(const std::string& repo_id, RepoType repo_type, const TreeQuery& query) {
  // The revision is one segment: unencoded, the hub would read refs/pr/1's "pr/1" as a folder.
  std::string path = std::string("/") + RepoTypePlural(repo_type) + "/" + UrlEncode(repo_id, true) + "/tree/" +
                     UrlEncode(query.revision, false);
  if (!query.folder.empty()) path += "/" + UrlEncode(query.folder, true);  // each segment on its own
  std::string params;
  if (query.recursive) params += "&recursive=true";
  if (query.expand) params += "&expand=true";
  params += "&limit=" + std::to_string(query.limit);
  return path + "?" + params.substr(1);
}

TreePages ListTree(const std::string& repo_id, const std::string& api_key, RepoType repo_type,
                   const TreeQuery& query) {
  TreePages result;
  if (!IsRevisionName(query.revision)) {
    // A hand-edited revision that no hub has: answered as the hub answers an unknown one, unsent.
    result.outcome = UnsentRevisionNotFound();
    return result;
  }
  try {
    const PageAccess access = HostAccess();
    std::u16string url = MakeApiUrl(TreeApiPath(repo_id, repo_type, query));
    std::set<std::u16string> requested;
    for (int pages_left = query.max_pages; !url.empty(); --pages_left) {
      if (pages_left < 1) {
        result.next_url = WideToUtf8(url);  // the caller asked for no more; the hub has more
        break;
      }
      if (!requested.insert(url).second) {
        LogMessage(u"Paging link back to a page already read: " + url);
        result.outcome.complete = false;
        break;
      }
      Page page = GetPage(url, api_key, json::value_t::array, access);
      result.outcome = page.outcome;
      if (!page.body.is_null()) AppendTreeItems(page.body, &result.items);
      if (page.link_elsewhere) result.outcome.complete = false;  // more announced than we take
      if (!result.outcome.complete) break;
      if (result.items.size() >= kMaxFolderItems) {
        LogMessage(u"Listing ends at its item limit: " + url);
        result.outcome.complete = false;  // cut: shown, never stored as the folder
        break;
      }
      url = std::move(page.next);
    }
  } catch (...) {
    result.outcome.complete = false;  // out of memory: what was gathered so far is still a valid prefix
  }
  return result;
}

TreePages FetchTreePage(const std::u16string& url, const std::string& api_key, const std::string& site_url,
                        const std::atomic<bool>* abort) {
  TreePages result;
  try {
    Page page = GetPage(url, api_key, json::value_t::array, PageAccess{site_url, abort, false});
    result.outcome = page.outcome;
    if (page.link_elsewhere) result.outcome.complete = false;
    if (!page.body.is_null()) AppendTreeItems(page.body, &result.items);
    result.next_url = WideToUtf8(page.next);
  } catch (...) {
    result = TreePages();
  }
  return result;
}

std::vector<TreeItem> FetchRepoTree(const std::string& repo_id, const std::string& api_key, FetchOutcome* outcome,
                                    RepoType repo_type) {
  TreeQuery query;
  query.recursive = true;
  query.expand = true;
  query.limit = kTreeDatesPageLimit;
  TreePages pages = ListTree(repo_id, api_key, repo_type, query);
  if (!pages.next_url.empty()) pages.outcome.complete = false;
  FillDirectoryTimes(&pages.items);
  Report(outcome, pages.outcome);
  return std::move(pages.items);
}

void FillDirectoryTimes(std::vector<TreeItem>* items) {
  std::unordered_map<std::string, int64_t> latest;
  for (const TreeItem& item : *items) {
    if (item.type != "file" || item.mtime == 0) continue;
    for (size_t slash = item.path.find('/'); slash != std::string::npos; slash = item.path.find('/', slash + 1)) {
      auto inserted = latest.emplace(item.path.substr(0, slash), item.mtime);
      if (!inserted.second) inserted.first->second = std::max(inserted.first->second, item.mtime);
    }
  }
  for (TreeItem& item : *items) {
    if (item.type != "directory" || item.mtime != 0) continue;
    const auto found = latest.find(item.path);
    if (found != latest.end()) item.mtime = found->second;
  }
}

std::vector<std::string> ListCollectionModels(const std::string& slug, const std::string& api_key,
                                              FetchOutcome* outcome) {
  std::vector<std::string> model_ids;
  FetchOutcome ended;
  try {
    const Page page = GetPage(MakeApiUrl("/collections/" + UrlEncode(slug, true)), api_key, json::value_t::object);
    ended = page.outcome;
    if (const json* items = JsonArray(page.body, "items")) AppendCollectionModels(*items, &model_ids);
    if (model_ids.size() > kMaxListingItems) model_ids.resize(kMaxListingItems);
  } catch (...) {
    model_ids.clear();
    ended.complete = false;
  }
  Report(outcome, ended);
  return model_ids;
}

std::vector<CollectionInfo> ListOwnerCollections(const std::string& owner, const std::string& api_key,
                                                 FetchOutcome* outcome) {
  std::vector<CollectionInfo> collected;
  FetchOutcome ended;
  try {
    size_t items = 0;  // collections and their listed models together
    const auto read = [&collected, &items](const json& body) {
      ForEachObject(body, [&collected, &items](const json& element) {
        if (items >= kMaxListingItems) return;
        CollectionInfo info;
        info.slug = JsonString(element, "slug");
        info.title = JsonString(element, "title", info.slug);
        if (info.slug.size() > kMaxNameBytes || info.title.size() > kMaxPathBytes) return;
        info.last_updated = DateOr0(element, "lastUpdated");
        if (const json* listed = JsonArray(element, "items")) AppendCollectionModels(*listed, &info.model_ids);
        items += 1 + info.model_ids.size();
        collected.push_back(std::move(info));
      });
    };
    ended = ReadPages(MakeApiUrl("/collections?owner=" + UrlEncode(owner, false) + "&limit=100"), api_key,
                      kMaxCollectionPages, read, [&items] { return items; });
  } catch (...) {
    ended.complete = false;  // out of memory: the collections gathered so far stand
  }
  Report(outcome, ended);
  return collected;
}

bool CheckApiKey(const std::string& api_key) {
  try {
    uint32_t status = 0;
    HttpGet(MakeApiUrl("/whoami-v2"), api_key, &status);
    return status == 200;
  } catch (...) {
    return false;
  }
}

SpaceSdkAnswer FetchSpaceSdk(const std::string& repo_id, const std::string& revision, const std::string& api_key) {
  SpaceSdkAnswer answer;
  if (!IsRevisionName(revision)) {
    answer.outcome = UnsentRevisionNotFound();
    return answer;
  }
  try {
    std::string path = "/spaces/" + UrlEncode(repo_id, true);
    if (revision != "main") path += "/revision/" + UrlEncode(revision, false);
    const Page page = GetPage(MakeApiUrl(path + "?expand=sdk"), api_key, json::value_t::object);
    answer.outcome = page.outcome;
    answer.sdk = SdkOf(page.body);
  } catch (...) {
    answer = SpaceSdkAnswer();
  }
  return answer;
}

RevisionAnswer FetchRevisionCommit(const std::string& repo_id, RepoType repo_type, const std::string& revision,
                                   const std::string& api_key) {
  RevisionAnswer answer;
  if (!IsRevisionName(revision)) {
    answer.outcome = UnsentRevisionNotFound();
    return answer;
  }
  try {
    // The revision is one segment, as in a tree request.
    const std::string path = std::string("/") + RepoTypePlural(repo_type) + "/" + UrlEncode(repo_id, true) +
                             "/revision/" + UrlEncode(revision, false) + "?expand=sha";
    const Page page = GetPage(MakeApiUrl(path), api_key, json::value_t::object);
    answer.outcome = page.outcome;
    answer.commit = JsonString(page.body, "sha");
    // An answer naming no commit tells nothing to list at.
    if (!IsCommitId(answer.commit)) {
      answer.commit.clear();
      answer.outcome.complete = false;
    }
  } catch (...) {
    answer = RevisionAnswer();
  }
  return answer;
}
