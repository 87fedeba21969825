// What each folder below an entry lists: organisation pages, repository trees, collections, and the
// access-denied prompt. Listings are plain items; the exports turn them into the host's records.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cache/listing_cache.h"
#include "core/entry.h"
#include "hub/api.h"
#include "hub/content_hash.h"

// One name of a listing as the host will see it.
struct ListItem {
  std::u16string name;
  bool folder = true;
  int64_t size = 0;
  int64_t time = 0;  // Unix seconds; 0 when unknown
};
using Listing = std::vector<ListItem>;

// Organisation folders.
Listing EnumOrgRepos(const Entry& entry);
OrgReposCache LoadOrgRepos(const Entry& entry);
// Fetches page pages_loaded + 1 into `record` and stores it; false (record untouched, nothing stored)
// when the page did not arrive whole.
bool FetchOrgReposPage(const Entry& entry, OrgReposCache* record, int32_t pages_loaded);
void MergeRepos(std::vector<RepoInfo>* models, const RepoPage& page);
// Loads the next page of an organisation entry and writes the fetch time back to the entry (or to the
// temporary entry); false when the entry does not page.
bool LoadNextPage(const Entry& entry, bool temporary);
bool IsPagingItemName(const std::u16string& component);
int32_t PageSizeOf(const Entry& entry);
std::u16string PagingItemName(int32_t page_size);

// Repository tree view.
Listing EnumModelTree(const std::string& repo_id, const std::string& sub_path, uint32_t is_dataset);
// `use_cache` false: always from the hub (and stored), for a listing known to be older than the file.
// `outcome`, when given, tells whether the items are the whole tree.
std::vector<TreeItem> FetchModelTree(const std::string& repo_id, uint32_t is_dataset, bool use_cache = true,
                                     FetchOutcome* outcome = nullptr);
// What the repository's tree listing says of one file: from the listing cache whatever its age (the
// host lists a folder before it copies from it; no request is made), or from the hub with `refresh`.
// `complete` in the result says whether that listing arrived whole.
ListedContent ListedFile(const std::string& repo_id, const std::string& file_path, uint32_t is_dataset,
                         bool refresh);
std::vector<TreeItem> ChildrenOf(const std::vector<TreeItem>& items, const std::string& sub_path);

// Collections.
std::string CollectionFolderName(const CollectionInfo& collection);
std::string ModelFolderName(const std::string& model_id);
// The folder of each id, in order: its safe name, with " (owner)" added where two owners' ids share it.
std::vector<std::string> ModelFolderNames(const std::vector<std::string>& model_ids);
Listing EnumOrgCollections(const std::string& org);
Listing EnumCollectionModels(const std::string& org, const std::string& collection_folder);
std::string ResolveCollectionRepoId(const std::string& org, const std::string& collection_folder,
                                    const std::string& model_folder);
std::vector<CollectionInfo> LoadOrgCollections(const std::string& org);
std::vector<std::string> LoadCollectionItems(const std::string& slug, const std::vector<std::string>& fallback);
std::string FindModelIdByName(const std::string& model_folder, const std::vector<std::string>& ids);

// Access-denied prompt, once per repository and only on the main thread.
void PromptGatedRepo(const std::string& repo_id, uint32_t is_dataset);

