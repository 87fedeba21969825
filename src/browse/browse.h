// What each folder below an entry lists: dispatch, organisation pages, repository trees, collections,
// and the access-denied prompt.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cache/listing_cache.h"
#include "config/entry.h"
#include "hub/api.h"
#include "hub/content_hash.h"
#include "plugin/find.h"
#include "plugin/vpath.h"

// Organisation folders and the dispatch. A null result means "no handle".
std::unique_ptr<FindHandle> EnumFolder(const Entry& entry, const VirtualPath& components,
                                       const std::u16string& host_path);
std::unique_ptr<FindHandle> EnumOrgRepos(const Entry& entry);
OrgReposCache LoadOrgRepos(const Entry& entry);
OrgReposCache FetchOrgReposPage(const Entry& entry, OrgReposCache record, int32_t pages_loaded);
void MergeRepos(std::vector<RepoInfo>* models, const RepoPage& page);
bool LoadNextPage(const std::u16string& path);
bool IsLoadNextItem(const std::u16string& path);
bool IsPagingItemName(const std::u16string& component);
int32_t PageSizeOf(const Entry& entry);
std::u16string PagingItemName(int32_t page_size);

// Repository tree view.
std::unique_ptr<FindHandle> EnumModelTree(const std::string& repo_id, const std::string& sub_path,
                                          uint32_t is_dataset);
// `use_cache` false: always from the hub (and stored), for a listing known to be older than the file.
std::vector<TreeItem> FetchModelTree(const std::string& repo_id, uint32_t is_dataset, bool use_cache = true);
// What the repository's tree listing says of one file: from the listing cache whatever its age (the
// host lists a folder before it copies from it; no request is made), or from the hub with `refresh`.
ListedContent ListedFile(const std::string& repo_id, const std::string& file_path, uint32_t is_dataset,
                         bool refresh);
std::vector<TreeItem> ChildrenOf(const std::vector<TreeItem>& items, const std::string& sub_path);

// Collections.
std::string CollectionFolderName(const CollectionInfo& collection);
std::string ModelFolderName(const std::string& model_id);
std::unique_ptr<FindHandle> EnumOrgCollections(const std::string& org);
std::unique_ptr<FindHandle> EnumCollectionModels(const std::string& org, const std::string& collection_folder);
std::string ResolveCollectionRepoId(const std::string& org, const std::string& collection_folder,
                                    const std::string& model_folder);
std::vector<CollectionInfo> LoadOrgCollections(const std::string& org);
std::vector<std::string> LoadCollectionItems(const std::string& slug, const std::vector<std::string>& fallback);
std::string FindModelIdByName(const std::string& model_folder, const std::vector<std::string>& ids);

// Access-denied prompt, once per repository and only on the main thread.
void PromptGatedRepo(const std::string& repo_id, uint32_t is_dataset);

// Temporary browsing (a later issue); until then it lists nothing.
std::unique_ptr<FindHandle> EnumTemporary(const VirtualPath& components, const std::u16string& host_path);
