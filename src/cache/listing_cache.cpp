// Hub listings as JSON files in the cache folder: names, the four record forms, freshness by the
// file's last-write time, and the atomic writer. Nothing here logs or throws.
#include "cache/listing_cache.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "config/favorites.h"
#include "platform/platform.h"
#include "plugin/state.h"
#include "plugin/text.h"

namespace {

using nlohmann::json;

struct Unreadable {};  // thrown by the shape checks, caught by the record mappers

// A member of the wrong JSON type throws here; the record mappers turn that into "unreadable".
template <typename T>
T Member(const json& object, const char* key, T fallback) {
  const auto it = object.find(key);
  if (it == object.end()) return fallback;
  return it->template get<T>();
}

const json& ArrayMember(const json& object, const char* key, const json& empty_array) {
  const auto it = object.find(key);
  if (it == object.end()) return empty_array;
  if (!it->is_array()) throw Unreadable{};
  return *it;
}

const json& ObjectElement(const json& element) {
  if (!element.is_object()) throw Unreadable{};
  return element;
}

// Each mapper fills `out` only when the whole file has the expected shape.
bool OrgReposFromJson(const json& doc, OrgReposCache* out) {
  try {
    if (!doc.is_object()) return false;
    const json empty = json::array();
    OrgReposCache record = *out;
    record.fetched_at = Member<int64_t>(doc, "fetched_at", 0);
    record.page_size = Member<int32_t>(doc, "page_size", 0);
    record.pages_loaded = Member<int32_t>(doc, "pages_loaded", 0);
    record.has_more = Member<bool>(doc, "has_more", true);
    record.next_url = Member<std::string>(doc, "next_url", std::string());
    const json& models = ArrayMember(doc, "models", empty);
    record.models.reserve(models.size());
    for (const json& element : models) {
      const json& m = ObjectElement(element);
      RepoInfo info;
      info.repo_id = Member<std::string>(m, "repo_id", std::string());
      info.name = Member<std::string>(m, "name", std::string());
      info.last_modified = Member<int64_t>(m, "last_modified", 0);
      record.models.push_back(std::move(info));
    }
    *out = std::move(record);
    return true;
  } catch (...) {
    return false;
  }
}

bool TreeFromJson(const json& doc, TreeCache* out) {
  try {
    if (!doc.is_object()) return false;
    const json empty = json::array();
    TreeCache record = *out;
    record.fetched_at = Member<int64_t>(doc, "fetched_at", 0);
    const json& files = ArrayMember(doc, "files", empty);
    record.files.reserve(files.size());
    for (const json& element : files) {
      const json& f = ObjectElement(element);
      TreeItem item;
      item.type = Member<std::string>(f, "type", "file");
      item.path = Member<std::string>(f, "path", std::string());
      item.size = Member<int64_t>(f, "size", 0);
      item.mtime = Member<int64_t>(f, "mtime", 0);
      item.oid = Member<std::string>(f, "oid", std::string());
      item.lfs_oid = Member<std::string>(f, "lfs_oid", std::string());
      record.files.push_back(std::move(item));
    }
    *out = std::move(record);
    return true;
  } catch (...) {
    return false;
  }
}

bool OrgCollectionsFromJson(const json& doc, OrgCollectionsCache* out) {
  try {
    if (!doc.is_object()) return false;
    const json empty = json::array();
    OrgCollectionsCache record = *out;
    record.fetched_at = Member<int64_t>(doc, "fetched_at", 0);
    for (const json& element : ArrayMember(doc, "collections", empty)) {
      const json& c = ObjectElement(element);
      CollectionInfo info;
      info.slug = Member<std::string>(c, "slug", std::string());
      info.title = Member<std::string>(c, "title", std::string());
      info.last_updated = Member<int64_t>(c, "last_updated", 0);
      for (const json& id : ArrayMember(c, "model_ids", empty)) info.model_ids.push_back(id.get<std::string>());
      record.collections.push_back(std::move(info));
    }
    *out = std::move(record);
    return true;
  } catch (...) {
    return false;
  }
}

bool CollectionItemsFromJson(const json& doc, CollectionItemsCache* out) {
  try {
    if (!doc.is_object()) return false;
    const json empty = json::array();
    CollectionItemsCache record = *out;
    record.fetched_at = Member<int64_t>(doc, "fetched_at", 0);
    for (const json& id : ArrayMember(doc, "model_ids", empty)) {
      if (id.is_string()) record.model_ids.push_back(id.get<std::string>());  // others are skipped
    }
    *out = std::move(record);
    return true;
  } catch (...) {
    return false;
  }
}

// One read serves both "fresh and readable" and the load, so a listing is parsed once.
template <typename Record>
bool LoadFresh(const std::string& name, bool (*from_json)(const json&, Record*), Record* out) {
  if (!IsCacheFresh(name)) return false;
  const json doc = ReadCacheJson(name);
  if (doc.is_null()) return false;
  return from_json(doc, out);
}

template <typename Record>
Record Load(const std::string& name, bool (*from_json)(const json&, Record*), Record empty) {
  const json doc = ReadCacheJson(name);
  if (!doc.is_null()) from_json(doc, &empty);  // a file of another shape leaves the empty record
  return empty;
}

void RemoveFile(const std::u16string& path) {
  std::error_code ec;
  std::filesystem::remove(FsPath(path), ec);
}

OrgReposCache EmptyOrgRepos(const std::string& org, uint32_t is_dataset) {
  OrgReposCache record;
  record.org = org;
  record.is_dataset = is_dataset;
  return record;
}

TreeCache EmptyTree(const std::string& repo_id, uint32_t is_dataset) {
  TreeCache record;
  record.repo_id = repo_id;
  record.is_dataset = is_dataset;
  return record;
}

OrgCollectionsCache EmptyOrgCollections(const std::string& org) {
  OrgCollectionsCache record;
  record.org = org;
  return record;
}

CollectionItemsCache EmptyCollectionItems(const std::string& slug) {
  CollectionItemsCache record;
  record.slug = slug;
  return record;
}

}  // namespace

std::u16string CacheFilePath(const std::string& name) {
  return JoinFsPath(CacheFolder(), Utf8ToWide(name) + u".json");
}

bool IsCacheFresh(const std::string& name) {
  const int64_t ttl_hours = CacheTtlHours();
  if (ttl_hours <= 0) return false;  // a negative time-to-live is treated like 0: nothing is fresh
  const std::filesystem::path path = FsPath(CacheFilePath(name));
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return false;
  const auto written = std::filesystem::last_write_time(path, ec);
  if (ec) return false;
  const auto now = std::filesystem::file_time_type::clock::now();
  if (written > now) return false;  // clock moved back: the age is unknown
  return now - written < std::chrono::seconds(ttl_hours * 3600);
}

json ReadCacheJson(const std::string& name) {
  try {
    const std::filesystem::path path = FsPath(CacheFilePath(name));
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return nullptr;
    // Byte mode reads the same document as text mode (CR is JSON whitespace) without the translation.
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return nullptr;
    const std::streamoff size = in.tellg();
    if (size < 0) return nullptr;
    std::string text(static_cast<size_t>(size), '\0');
    in.seekg(0);
    in.read(text.data(), size);
    text.resize(static_cast<size_t>(in.gcount()));  // the file may have shrunk since tellg
    if (in.bad()) return nullptr;
    json doc = json::parse(text, nullptr, false, false);
    if (doc.is_discarded()) return nullptr;
    return doc;
  } catch (...) {
    return nullptr;  // out of memory on a huge file: as unreadable as a damaged one
  }
}

void WriteCacheJson(const std::string& name, const json& value) {
  // The configuration's crash-safe writer, without a backup: readers see the old or the new file.
  WriteJsonFileAtomic(CacheFilePath(name), value, false);
}

std::string OrgReposCacheName(const std::string& org, uint32_t is_dataset) {
  return (is_dataset == 1 ? "org_datasets_" : "org_models_") + SanitizeFileName(org);
}

std::string TreeCacheName(const std::string& repo_id, uint32_t is_dataset) {
  return (is_dataset == 1 ? "tree_ds_" : "tree_") + SanitizeFileName(repo_id);
}

std::string OrgCollectionsCacheName(const std::string& org) { return "org_collections_" + SanitizeFileName(org); }

std::string CollectionItemsCacheName(const std::string& slug) {
  return "collection_items_" + SanitizeFileName(slug);
}

// ---- organisation repositories -----------------------------------------------------------------

bool LoadFreshOrgReposCache(const std::string& org, uint32_t is_dataset, OrgReposCache* out) {
  OrgReposCache record = EmptyOrgRepos(org, is_dataset);
  if (!LoadFresh(OrgReposCacheName(org, is_dataset), OrgReposFromJson, &record)) return false;
  *out = std::move(record);
  return true;
}

bool IsOrgReposCacheFresh(const std::string& org, uint32_t is_dataset) {
  OrgReposCache record;
  return LoadFreshOrgReposCache(org, is_dataset, &record);
}

OrgReposCache LoadOrgReposCache(const std::string& org, uint32_t is_dataset) {
  return Load(OrgReposCacheName(org, is_dataset), OrgReposFromJson, EmptyOrgRepos(org, is_dataset));
}

void SaveOrgReposCache(const OrgReposCache& record) {
  try {
    json models = json::array();
    for (const RepoInfo& m : record.models) {
      models.push_back({{"repo_id", m.repo_id}, {"name", m.name}, {"last_modified", m.last_modified}});
    }
    const json doc = {{"type", "org-models"},       {"org", record.org},
                      {"fetched_at", record.fetched_at}, {"page_size", record.page_size},
                      {"pages_loaded", record.pages_loaded}, {"has_more", record.has_more},
                      {"next_url", record.next_url},   {"models", std::move(models)}};
    WriteCacheJson(OrgReposCacheName(record.org, record.is_dataset), doc);
  } catch (...) {
  }
}

void DeleteOrgReposCache(const std::string& org, uint32_t is_dataset) {
  RemoveFile(CacheFilePath(OrgReposCacheName(org, is_dataset)));
}

// ---- repository trees --------------------------------------------------------------------------

bool LoadFreshTreeCache(const std::string& repo_id, uint32_t is_dataset, TreeCache* out) {
  TreeCache record = EmptyTree(repo_id, is_dataset);
  if (!LoadFresh(TreeCacheName(repo_id, is_dataset), TreeFromJson, &record)) return false;
  *out = std::move(record);
  return true;
}

bool IsTreeCacheFresh(const std::string& repo_id, uint32_t is_dataset) {
  TreeCache record;
  return LoadFreshTreeCache(repo_id, is_dataset, &record);
}

TreeCache LoadTreeCache(const std::string& repo_id, uint32_t is_dataset) {
  return Load(TreeCacheName(repo_id, is_dataset), TreeFromJson, EmptyTree(repo_id, is_dataset));
}

void SaveTreeCache(const TreeCache& record) {
  try {
    json files = json::array();
    for (const TreeItem& f : record.files) {
      json file = {{"type", f.type}, {"path", f.path}, {"size", f.size}, {"mtime", f.mtime}};
      // The content's hashes, checked when the file is copied; folders carry none.
      if (!f.oid.empty()) file["oid"] = f.oid;
      if (!f.lfs_oid.empty()) file["lfs_oid"] = f.lfs_oid;
      files.push_back(std::move(file));
    }
    const json doc = {{"type", "model-tree"},
                      {"repo_id", record.repo_id},
                      {"fetched_at", record.fetched_at},
                      {"files", std::move(files)}};
    WriteCacheJson(TreeCacheName(record.repo_id, record.is_dataset), doc);
  } catch (...) {
  }
}

void DeleteTreeCache(const std::string& repo_id, uint32_t is_dataset) {
  RemoveFile(CacheFilePath(TreeCacheName(repo_id, is_dataset)));
}

// ---- collections of an owner -------------------------------------------------------------------

bool LoadFreshOrgCollectionsCache(const std::string& org, OrgCollectionsCache* out) {
  OrgCollectionsCache record = EmptyOrgCollections(org);
  if (!LoadFresh(OrgCollectionsCacheName(org), OrgCollectionsFromJson, &record)) return false;
  *out = std::move(record);
  return true;
}

bool IsOrgCollectionsCacheFresh(const std::string& org) {
  OrgCollectionsCache record;
  return LoadFreshOrgCollectionsCache(org, &record);
}

OrgCollectionsCache LoadOrgCollectionsCache(const std::string& org) {
  return Load(OrgCollectionsCacheName(org), OrgCollectionsFromJson, EmptyOrgCollections(org));
}

void SaveOrgCollectionsCache(const OrgCollectionsCache& record) {
  try {
    json collections = json::array();
    for (const CollectionInfo& c : record.collections) {
      collections.push_back(
          {{"slug", c.slug}, {"title", c.title}, {"last_updated", c.last_updated}, {"model_ids", c.model_ids}});
    }
    const json doc = {{"type", "org-collections"},
                      {"org", record.org},
                      {"fetched_at", record.fetched_at},
                      {"collections", std::move(collections)}};
    WriteCacheJson(OrgCollectionsCacheName(record.org), doc);
  } catch (...) {
  }
}

void DeleteOrgCollectionsCache(const std::string& org) { RemoveFile(CacheFilePath(OrgCollectionsCacheName(org))); }

// ---- items of one collection -------------------------------------------------------------------

bool LoadFreshCollectionItemsCache(const std::string& slug, CollectionItemsCache* out) {
  CollectionItemsCache record = EmptyCollectionItems(slug);
  if (!LoadFresh(CollectionItemsCacheName(slug), CollectionItemsFromJson, &record)) return false;
  *out = std::move(record);
  return true;
}

bool IsCollectionItemsCacheFresh(const std::string& slug) {
  CollectionItemsCache record;
  return LoadFreshCollectionItemsCache(slug, &record);
}

CollectionItemsCache LoadCollectionItemsCache(const std::string& slug) {
  return Load(CollectionItemsCacheName(slug), CollectionItemsFromJson, EmptyCollectionItems(slug));
}

void SaveCollectionItemsCache(const CollectionItemsCache& record) {
  try {
    const json doc = {{"type", "collection-items"},
                      {"slug", record.slug},
                      {"fetched_at", record.fetched_at},
                      {"model_ids", record.model_ids}};
    WriteCacheJson(CollectionItemsCacheName(record.slug), doc);
  } catch (...) {
  }
}

void DeleteOwnerCollectionItems(const std::string& org) {
  // Slugs are "owner/suffix", so every items file of the owner starts with this prefix.
  const std::string prefix = "collection_items_" + SanitizeFileName(org) + "_";
  const std::string suffix = ".json";
  std::error_code ec;
  std::filesystem::directory_iterator it(FsPath(CacheFolder()), ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    try {
      std::error_code type_ec;
      if (it->is_directory(type_ec)) continue;
      const std::string file_name = WideToUtf8(it->path().filename().u16string());
      if (file_name.size() < prefix.size() + suffix.size()) continue;
      if (file_name.compare(0, prefix.size(), prefix) != 0) continue;
      if (file_name.compare(file_name.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
      std::error_code remove_ec;
      std::filesystem::remove(it->path(), remove_ec);
    } catch (...) {
      // A name the conversion rejects is no file of ours.
    }
  }
}
