// Hub listings kept as JSON files in the cache folder, fresh by their last-write time. Repository trees
// are kept per folder: cache/tree_folders.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "hub/api.h"

struct OrgReposCache {
  std::string org;
  RepoType repo_type = ModelRepo;
  int64_t fetched_at = 0;
  int32_t page_size = 300;
  int32_t pages_loaded = 0;
  bool has_more = true;
  std::string next_url;
  std::vector<RepoInfo> models;
};

struct OrgCollectionsCache {
  std::string org;
  int64_t fetched_at = 0;
  std::vector<CollectionInfo> collections;
};

struct CollectionItemsCache {
  std::string slug;
  int64_t fetched_at = 0;
  std::vector<std::string> model_ids;
};

// Cache folder + separator + name + ".json".
std::u16string CacheFilePath(const std::string& name);
bool IsCacheFresh(const std::string& name);
// A cache file at any path, fresh by its last-write time and the configured time-to-live.
bool IsCacheFileFresh(const std::u16string& path);
// Removes the files (or the folders, with everything in them) directly in `folder` whose names start
// with `prefix` and end with `suffix`; failures are ignored.
enum class CacheEntryKind { File, Folder };
void RemoveCacheEntries(const std::u16string& folder, const std::string& prefix, const std::string& suffix,
                        CacheEntryKind kind);
// Null when the file is missing, larger than 256 MiB or over the value budget, or does not parse.
nlohmann::json ReadCacheJson(const std::string& name);
void WriteCacheJson(const std::string& name, const nlohmann::json& value);

std::string OrgReposCacheName(const std::string& org, RepoType repo_type);
std::string OrgCollectionsCacheName(const std::string& org);
std::string CollectionItemsCacheName(const std::string& slug);

// Fresh = the file is fresh AND its top level is an object (a damaged file counts as absent); the
// record is loaded with the same read. False leaves `out` as it was.
bool LoadFreshOrgReposCache(const std::string& org, RepoType repo_type, OrgReposCache* out);
// The same whatever the file's age: what a listing once said (a Space's SDK).
bool LoadOrgReposCacheOfAnyAge(const std::string& org, RepoType repo_type, OrgReposCache* out);
bool LoadFreshOrgCollectionsCache(const std::string& org, OrgCollectionsCache* out);
bool LoadFreshCollectionItemsCache(const std::string& slug, CollectionItemsCache* out);

void SaveOrgReposCache(const OrgReposCache& record);
void SaveOrgCollectionsCache(const OrgCollectionsCache& record);
void SaveCollectionItemsCache(const CollectionItemsCache& record);

// Removing an entry's listings (the entry settings dialog); a missing file is no failure.
void DeleteOrgReposCache(const std::string& org, RepoType repo_type);
void DeleteOrgCollectionsCache(const std::string& org);
void DeleteOwnerCollectionItems(const std::string& org);
