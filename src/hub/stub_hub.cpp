// TEMPORARY placeholder until the hub client lands; deleted by it.
#include "hub/api.h"
#include "hub/download.h"
#include "hub/http.h"
std::string HttpGet(const std::u16string&, const std::string&, uint32_t*, std::u16string*) { return {}; }
RepoPage ListReposPage(const std::string&, const std::string&, int32_t, uint32_t) { return {}; }
RepoPage ListReposNextPage(const std::string&, const std::string&) { return {}; }
std::vector<RepoInfo> ListAllRepos(const std::string&, const std::string&, int32_t, uint32_t) { return {}; }
std::vector<TreeItem> FetchRepoTree(const std::string&, const std::string&, uint32_t*, uint32_t) { return {}; }
std::vector<std::string> ListCollectionModels(const std::string&, const std::string&) { return {}; }
std::vector<CollectionInfo> ListOwnerCollections(const std::string&, const std::string&) { return {}; }
bool CheckApiKey(const std::string&) { return false; }
DownloadResult DownloadFile(const std::string&, const std::string&, const std::u16string&, const std::string&,
                            ProgressFn, uint32_t) { return DownloadFailed; }
