// Hub listings as JSON files in the cache folder: names, the record forms of owner listings and collections and freshness by the
// file's last-write time. Nothing here logs or throws.
#include "cache/listing_cache.h"

#include <chrono>
#include <filesystem>
#include <system_error>
#include <tuple>

#include "core/files.h"
#include "core/json.h"
#include "core/state.h"
#include "core/text.h"

namespace {

using nlohmann::json;

// Far above any listing the hub can page into a cache file; a bigger file is not read into memory.
constexpr size_t kMaxCacheFileBytes = 256u << 20;

const json kNoElements = json::array();

const json& ArrayOrEmpty(const json& object, const char* key) {
  const json* array = JsonArray(object, key);
  return array ? *array : kNoElements;
}

// The mappers read every member with its default; only a top level that is no object is unreadable.
void OrgReposFromJson(const json& doc, OrgReposCache* record) {
  record->fetched_at = JsonInt64(doc, "fetched_at");
  record->page_size = JsonInt32(doc, "page_size");
  record->pages_loaded = JsonInt32(doc, "pages_loaded");
  record->has_more = JsonBool(doc, "has_more", true);
  record->next_url = JsonString(doc, "next_url");
  const json& models = ArrayOrEmpty(doc, "models");
  record->models.reserve(models.size());
  for (const json& m : models) {
    record->models.push_back(
        {JsonString(m, "name"), JsonString(m, "repo_id"), JsonInt64(m, "last_modified"), JsonString(m, "sdk")});
  }
}

std::vector<std::string> StringsOf(const json& array) {
  std::vector<std::string> out;
  for (const json& id : array) {
    if (id.is_string()) out.push_back(id.get<std::string>());  // others are skipped
  }
  return out;
}

void OrgCollectionsFromJson(const json& doc, OrgCollectionsCache* record) {
  record->fetched_at = JsonInt64(doc, "fetched_at");
  for (const json& c : ArrayOrEmpty(doc, "collections")) {
    record->collections.push_back({JsonString(c, "slug"), JsonString(c, "title"), JsonInt64(c, "last_updated"),
                                   StringsOf(ArrayOrEmpty(c, "model_ids"))});
  }
}

void CollectionItemsFromJson(const json& doc, CollectionItemsCache* record) {
  record->fetched_at = JsonInt64(doc, "fetched_at");
  record->model_ids = StringsOf(ArrayOrEmpty(doc, "model_ids"));
}

// One read serves both "fresh and readable" and the load, so a listing is parsed once. `record` carries
// the identity from the caller's arguments; `out` is changed only when the file is fresh and readable.
template <typename Record>
bool LoadFresh(const std::string& name, void (*from_json)(const json&, Record*), Record record, Record* out,
               bool any_age = false) {
  try {
    if (!any_age && !IsCacheFresh(name)) return false;
    const json doc = ReadCacheJson(name);
    if (!doc.is_object()) return false;
    from_json(doc, &record);
    *out = std::move(record);
    return true;
  } catch (...) {
    return false;  // out of memory on a huge file: as unreadable as a damaged one
  }
}

void Save(const std::string& name, const char* type, json doc) {
  try {
    doc["type"] = type;
    WriteCacheJson(name, doc);
  } catch (...) {
  }
}

}  // namespace

std::u16string CacheFilePath(const std::string& name) {
  return JoinFsPath(CacheFolder(), Utf8ToWide(name) + u".json");
}

bool IsCacheFresh(const std::string& name) { return IsCacheFileFresh(CacheFilePath(name)); }

bool IsCacheFileFresh(const std::u16string& file) {
  const int64_t ttl_hours = CacheTtlHours();
  if (ttl_hours <= 0) return false;  // a negative time-to-live is treated like 0: nothing is fresh
  const std::filesystem::path path = FsPath(file);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return false;
  const auto written = std::filesystem::last_write_time(path, ec);
  if (ec) return false;
  const auto now = std::filesystem::file_time_type::clock::now();
  if (written > now) return false;  // clock moved back: the age is unknown
  // In seconds: the time-to-live as a clock duration overflows from about 2.5 million hours.
  const int64_t age_seconds = std::chrono::duration_cast<std::chrono::seconds>(now - written).count();
  return age_seconds < ttl_hours * 3600;
}

json ReadCacheJson(const std::string& name) {
  // Byte mode reads the same document as text mode (CR is JSON whitespace) without the translation.
  std::string text;
  if (!ReadFileBytes(CacheFilePath(name), &text, kMaxCacheFileBytes)) return nullptr;
  return ParseJson(text);
}

void WriteCacheJson(const std::string& name, const json& value) {
  // The crash-safe writer without a backup: readers see the old or the new file.
  WriteJsonFileAtomic(CacheFilePath(name), value, false);
}

std::string OrgReposCacheName(const std::string& org, RepoType repo_type) {
  return std::string("org_") + RepoTypePlural(repo_type) + "_" + SanitizeFileName(org);
}

std::string OrgCollectionsCacheName(const std::string& org) { return "org_collections_" + SanitizeFileName(org); }

std::string CollectionItemsCacheName(const std::string& slug) {
  return "collection_items_" + SanitizeFileName(slug);
}

// ---- the three listings ------------------------------------------------------------------------

bool LoadFreshOrgReposCache(const std::string& org, RepoType repo_type, OrgReposCache* out) {
  OrgReposCache record;
  std::tie(record.org, record.repo_type) = std::tie(org, repo_type);
  return LoadFresh(OrgReposCacheName(org, repo_type), OrgReposFromJson, std::move(record), out);
}

bool LoadOrgReposCacheOfAnyAge(const std::string& org, RepoType repo_type, OrgReposCache* out) {
  OrgReposCache record;
  std::tie(record.org, record.repo_type) = std::tie(org, repo_type);
  return LoadFresh(OrgReposCacheName(org, repo_type), OrgReposFromJson, std::move(record), out, true);
}

bool LoadFreshOrgCollectionsCache(const std::string& org, OrgCollectionsCache* out) {
  OrgCollectionsCache record;
  record.org = org;
  return LoadFresh(OrgCollectionsCacheName(org), OrgCollectionsFromJson, std::move(record), out);
}

bool LoadFreshCollectionItemsCache(const std::string& slug, CollectionItemsCache* out) {
  CollectionItemsCache record;
  record.slug = slug;
  return LoadFresh(CollectionItemsCacheName(slug), CollectionItemsFromJson, std::move(record), out);
}

void SaveOrgReposCache(const OrgReposCache& record) {
  json models = json::array();
  for (const RepoInfo& m : record.models) {
    json model = {{"repo_id", m.repo_id}, {"name", m.name}, {"last_modified", m.last_modified}};
    // Only Spaces have one: the files of models and datasets keep the bytes they always had.
    if (!m.sdk.empty()) model["sdk"] = m.sdk;
    models.push_back(std::move(model));
  }
  Save(OrgReposCacheName(record.org, record.repo_type), "org-models",
       {{"org", record.org}, {"fetched_at", record.fetched_at}, {"page_size", record.page_size},
        {"pages_loaded", record.pages_loaded}, {"has_more", record.has_more}, {"next_url", record.next_url},
        {"models", std::move(models)}});
}

void SaveOrgCollectionsCache(const OrgCollectionsCache& record) {
  json collections = json::array();
  for (const CollectionInfo& c : record.collections) {
    collections.push_back(
        {{"slug", c.slug}, {"title", c.title}, {"last_updated", c.last_updated}, {"model_ids", c.model_ids}});
  }
  Save(OrgCollectionsCacheName(record.org), "org-collections",
       {{"org", record.org}, {"fetched_at", record.fetched_at}, {"collections", std::move(collections)}});
}

void SaveCollectionItemsCache(const CollectionItemsCache& record) {
  Save(CollectionItemsCacheName(record.slug), "collection-items",
       {{"slug", record.slug}, {"fetched_at", record.fetched_at}, {"model_ids", record.model_ids}});
}

void DeleteOrgReposCache(const std::string& org, RepoType repo_type) {
  RemoveFileQuietly(CacheFilePath(OrgReposCacheName(org, repo_type)));
}

void DeleteOrgCollectionsCache(const std::string& org) {
  RemoveFileQuietly(CacheFilePath(OrgCollectionsCacheName(org)));
}

void DeleteOwnerCollectionItems(const std::string& org) {
  // Slugs are "owner/suffix", so every items file of the owner starts with this prefix.
  RemoveCacheEntries(CacheFolder(), "collection_items_" + SanitizeFileName(org) + "_", ".json", CacheEntryKind::File);
}

void RemoveCacheEntries(const std::u16string& folder, const std::string& prefix, const std::string& suffix,
                        CacheEntryKind kind) {
  std::error_code ec;
  std::filesystem::directory_iterator it(FsPath(folder), ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    try {
      std::error_code type_ec;
      if (it->is_directory(type_ec) != (kind == CacheEntryKind::Folder)) continue;
      const std::string file_name = WideToUtf8(it->path().filename().u16string());
      if (file_name.size() < prefix.size() + suffix.size()) continue;
      if (file_name.compare(0, prefix.size(), prefix) != 0) continue;
      if (file_name.compare(file_name.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
      std::error_code remove_ec;
      std::filesystem::remove_all(it->path(), remove_ec);
    } catch (...) {
      // A name the conversion rejects is no file of ours.
    }
  }
}
