// The hub's API operations: URLs, paging and the mapping of JSON bodies to records.
//
// Members are read with their defaults (a null date is no date, a numeric slug an empty one); an element
// that is not an object is skipped; a body that does not parse ends the operation. Nothing is thrown out.
#include "hub/api.h"

#include <algorithm>
#include <unordered_map>

#include "core/json.h"
#include "core/text.h"
#include "core/time.h"
#include "hub/http.h"

namespace {

using nlohmann::json;

constexpr int kMaxTreePages = 200;
constexpr int kMaxCollectionPages = 50;
constexpr int kMaxRepoPages = 1000;  // a hub that always links a next page must not page forever
constexpr int32_t kMaxPageLimit = 500;

int64_t DateOr0(const json& object, const char* key) {
  const std::string text = JsonString(object, key);
  return text.empty() ? 0 : ParseIsoTime(text);
}

const char* Segment(uint32_t is_dataset) { return is_dataset == 1 ? "datasets" : "models"; }

// Calls `read` for each element of `array` that is an object; others carry nothing to read.
template <typename Read>
void ForEachObject(const json& array, Read read) {
  for (const json& element : array) {
    if (element.is_object()) read(element);
  }
}

// "id", or "modelId" when "id" is missing or not text.
std::string IdOf(const json& object) { return JsonString(object, "id", JsonString(object, "modelId")); }

RepoPage FetchRepoPage(const std::u16string& url, const std::string& api_key) {
  RepoPage page;
  std::u16string next;
  const json body = ParseJson(HttpGet(url, api_key, nullptr, &next));
  page.next_url = WideToUtf8(next);
  if (!body.is_array()) return page;
  ForEachObject(body, [&page](const json& element) {
    RepoInfo info;
    info.repo_id = IdOf(element);
    if (info.repo_id.empty()) return;
    const size_t slash = info.repo_id.find('/');
    info.name = slash == std::string::npos ? info.repo_id : info.repo_id.substr(slash + 1);
    info.last_modified = DateOr0(element, "lastModified");
    page.items.push_back(std::move(info));
  });
  return page;
}

// Item type "model" only; the id from "id", "modelId" or a nested "item" object.
void AppendCollectionModels(const json& items, std::vector<std::string>* model_ids) {
  ForEachObject(items, [model_ids](const json& element) {
    if (JsonString(element, "itemType", JsonString(element, "type")) != "model") return;
    std::string id = IdOf(element);
    if (id.empty()) {
      if (const json* nested = JsonObject(element, "item")) id = IdOf(*nested);
    }
    if (!id.empty()) model_ids->push_back(std::move(id));
  });
}

std::vector<TreeItem> FetchRepoTreeUnguarded(const std::string& repo_id, const std::string& api_key,
                                             uint32_t* status, uint32_t is_dataset) {
  std::u16string url = MakeApiUrl(std::string("/") + Segment(is_dataset) + "/" + UrlEncode(repo_id, true) +
                                  "/tree/main?recursive=true&expand=true");
  std::vector<TreeItem> collected;
  bool first = true;
  for (int pages_left = kMaxTreePages; !url.empty() && pages_left >= 1; --pages_left) {
    uint32_t page_status = 0;
    std::u16string next;
    const std::string body = HttpGet(url, api_key, &page_status, &next);
    if (first && status) *status = page_status;
    first = false;
    if (page_status != 200) return {};  // a partial tree would look complete in the cache
    const json page = ParseJson(body);
    if (!page.is_array()) break;
    ForEachObject(page, [&collected](const json& element) {
      TreeItem item;
      item.type = JsonString(element, "type", "file");
      item.path = JsonString(element, "path");
      item.size = JsonInt64(element, "size");
      if (item.type == "file") {  // hashes of an odd shape only mean there is nothing to check
        item.oid = JsonString(element, "oid");
        if (const json* lfs = JsonObject(element, "lfs")) item.lfs_oid = JsonString(*lfs, "oid");
      }
      if (const json* commit = JsonObject(element, "lastCommit")) item.mtime = DateOr0(*commit, "date");
      collected.push_back(std::move(item));
    });
    url = std::move(next);
  }
  FillDirectoryTimes(&collected);
  return collected;
}

}  // namespace

RepoPage ListReposPage(const std::string& owner, const std::string& api_key, int32_t limit, uint32_t is_dataset) {
  try {
    const int32_t clamped = std::clamp<int32_t>(limit, 1, kMaxPageLimit);
    std::string path = std::string("/") + Segment(is_dataset) + "?author=" + UrlEncode(owner, false) +
                       "&limit=" + std::to_string(clamped) + "&sort=lastModified";
    // The hub leaves lastModified out of model listings unless asked; dataset listings carry it.
    if (is_dataset != 1) path += "&expand=lastModified";
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
                                   uint32_t is_dataset) {
  std::vector<RepoInfo> result;
  try {
    std::string next_url;
    for (int page_number = 0; page_number < kMaxRepoPages; ++page_number) {
      int32_t batch = kMaxPageLimit;
      if (maximum > 0) {
        const int64_t remaining = static_cast<int64_t>(maximum) - static_cast<int64_t>(result.size());
        if (remaining < 1) break;
        batch = static_cast<int32_t>(std::min<int64_t>(remaining, kMaxPageLimit));
      }
      RepoPage page = page_number == 0 ? ListReposPage(owner, api_key, batch, is_dataset)
                                       : ListReposNextPage(next_url, api_key);
      if (page.items.empty()) break;
      for (RepoInfo& info : page.items) {
        if (maximum > 0 && result.size() >= static_cast<size_t>(maximum)) break;
        result.push_back(std::move(info));
      }
      if (maximum > 0 && result.size() >= static_cast<size_t>(maximum)) break;
      if (page.next_url.empty()) break;
      next_url = std::move(page.next_url);
    }
  } catch (...) {
    // Out of memory: what was gathered so far is still a valid prefix.
  }
  return result;
}

std::vector<TreeItem> FetchRepoTree(const std::string& repo_id, const std::string& api_key, uint32_t* status,
                                    uint32_t is_dataset) {
  try {
    return FetchRepoTreeUnguarded(repo_id, api_key, status, is_dataset);
  } catch (...) {
    return {};
  }
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

std::vector<std::string> ListCollectionModels(const std::string& slug, const std::string& api_key) {
  std::vector<std::string> model_ids;
  try {
    const json body = ParseJson(HttpGet(MakeApiUrl("/collections/" + UrlEncode(slug, true)), api_key));
    if (!body.is_object()) return {};
    const json* items = JsonArray(body, "items");
    if (!items) return {};
    AppendCollectionModels(*items, &model_ids);
  } catch (...) {
    return {};
  }
  return model_ids;
}

std::vector<CollectionInfo> ListOwnerCollections(const std::string& owner, const std::string& api_key) {
  std::vector<CollectionInfo> collected;
  try {
    std::u16string url = MakeApiUrl("/collections?owner=" + UrlEncode(owner, false) + "&limit=100");
    for (int pages_left = kMaxCollectionPages; !url.empty() && pages_left >= 1; --pages_left) {
      uint32_t status = 0;
      std::u16string next;
      const std::string body = HttpGet(url, api_key, &status, &next);
      if (status != 200) break;  // earlier pages stay: a rate limit mid-way still shows something
      const json page = ParseJson(body);
      if (!page.is_array()) break;
      ForEachObject(page, [&collected](const json& element) {
        CollectionInfo info;
        info.slug = JsonString(element, "slug");
        info.title = JsonString(element, "title", info.slug);
        info.last_updated = DateOr0(element, "lastUpdated");
        if (const json* items = JsonArray(element, "items")) AppendCollectionModels(*items, &info.model_ids);
        collected.push_back(std::move(info));
      });
      url = std::move(next);
    }
  } catch (...) {
    // Out of memory: the collections gathered so far stand.
  }
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
