// The hub's API operations as plain records. No logging, no cache, no exceptions out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RepoInfo {
  std::string name;           // part of the id after its first "/", or the whole id
  std::string repo_id;        // owner/name as the hub sends it
  int64_t last_modified = 0;  // Unix seconds; 0 when unknown
};

struct RepoPage {
  std::vector<RepoInfo> items;
  std::string next_url;       // absolute URL of the next page; empty on the last
};

struct TreeItem {
  std::string type = "file";  // "file" or "directory"
  std::string path;           // from the repository root, "/"-separated
  int64_t size = 0;
  int64_t mtime = 0;          // Unix seconds; 0 when unknown
  std::string oid;            // files: the git blob id (hex SHA-1 of "blob <size>", NUL, the bytes)
  std::string lfs_oid;        // large files: hex SHA-256 of the bytes; masked with "*" for gated listings
};

struct CollectionInfo {
  std::string slug;
  std::string title;          // the slug when the hub sends none
  int64_t last_updated = 0;
  std::vector<std::string> model_ids;
};

RepoPage ListReposPage(const std::string& owner, const std::string& api_key, int32_t limit, uint32_t is_dataset);
RepoPage ListReposNextPage(const std::string& next_url, const std::string& api_key);
// maximum <= 0: no maximum (but never more than 1,000 pages).
std::vector<RepoInfo> ListAllRepos(const std::string& owner, const std::string& api_key, int32_t maximum,
                                   uint32_t is_dataset);
// `status` receives the first request's status (0 when no answer arrived).
std::vector<TreeItem> FetchRepoTree(const std::string& repo_id, const std::string& api_key, uint32_t* status,
                                    uint32_t is_dataset);
void FillDirectoryTimes(std::vector<TreeItem>* items);
std::vector<std::string> ListCollectionModels(const std::string& slug, const std::string& api_key);
std::vector<CollectionInfo> ListOwnerCollections(const std::string& owner, const std::string& api_key);
bool CheckApiKey(const std::string& api_key);
