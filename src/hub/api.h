// The hub's API operations as plain records, each reporting how it ended. No cache, no exceptions out;
// the only log lines say why paging stopped early.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/repo_type.h"

// How an operation ended: the status of its last request (0 when no answer arrived) and whether every
// page arrived whole and in the expected shape. Only a complete listing may be cached.
struct FetchOutcome {
  uint32_t status = 0;
  bool complete = false;
  bool rate_limited = false;  // a 429, or no request sent while the hub's rate limit pauses API requests
  std::string error_code;     // the hub's X-Error-Code of that request ("RevisionNotFound", ...); may be empty
};

// A revision the hub can be asked for as one path segment: a branch, a tag, a commit, or a ref such as
// refs/pr/1 or refs/convert/parquet. Git's rules for ref names, so that no "." or ".." segment, control
// character or blank reaches a URL or a cache path; at most 255 bytes.
bool IsRevisionName(const std::string& revision);
constexpr const char* kRevisionNotFound = "RevisionNotFound";
// A commit as the hub names one: 40 hex digits. As a revision it never moves.
bool IsCommitId(const std::string& text);

// An owner's or a collection's listing ends after this many items (and counts as complete): far
// above any real one, and a bound on what a hostile hub can make us hold.
constexpr size_t kMaxListingItems = 100000;
// One repository folder: the hub allows 10,000 items in a folder; a folder listing that reaches ten
// times that, or this many pages (the hub's largest folder is 10 pages of 1,000), is a hostile or
// broken hub's and ends incomplete, never stored as if whole.
constexpr size_t kMaxFolderItems = 100000;
constexpr int kMaxFolderPages = 1000;
// Page sizes the hub allows: 1,000 items without dates, 100 with their last commits.
constexpr int32_t kTreePageLimit = 1000;
constexpr int32_t kTreeDatesPageLimit = 100;
// Longer texts are no real hub's (ids are at most 96 characters; a host path at most 259 units), and
// items carrying them are skipped, so that the item limit also bounds the memory a listing takes.
constexpr size_t kMaxPathBytes = 1024;
constexpr size_t kMaxNameBytes = 256;

struct RepoInfo {
  std::string name;           // part of the id after its first "/", or the whole id
  std::string repo_id;        // owner/name as the hub sends it
  int64_t last_modified = 0;  // Unix seconds; 0 when unknown
  std::string sdk;            // a Space's ("gradio", "docker", "static", ...); empty for other kinds or unknown
};

struct RepoPage {
  std::vector<RepoInfo> items;
  std::string next_url;       // absolute URL of the next page on the hub's origin; empty on the last
  FetchOutcome outcome;
};

struct TreeItem {
  std::string type = "file";  // "file" or "directory"
  std::string path;           // from the repository root, "/"-separated
  int64_t size = 0;
  int64_t mtime = 0;          // Unix seconds; 0 when unknown
  std::string oid;            // files: the git blob id (hex SHA-1 of "blob <size>", NUL, the bytes);
                              // folders: the git tree id, which changes with anything below
  std::string lfs_oid;        // large files: hex SHA-256 of the bytes; masked with "*" for gated listings
};

// One tree request chain: which folder ("" for the root), how, and how many pages to follow.
struct TreeQuery {
  std::string revision = "main";  // sent as one path segment (refs/pr/1 as refs%2Fpr%2F1)
  std::string folder;         // "/"-separated, no leading or trailing "/"
  bool recursive = false;
  bool expand = false;        // each item's last commit: about twenty times the hub's work per item
  int32_t limit = kTreePageLimit;
  int max_pages = kMaxFolderPages;  // 1: the first page alone
};

struct TreePages {
  std::vector<TreeItem> items;  // in the hub's order
  std::string next_url;         // set when the pages followed ended with more announced
  FetchOutcome outcome;         // complete: every page followed arrived whole
};

struct CollectionInfo {
  std::string slug;
  std::string title;          // the slug when the hub sends none
  int64_t last_updated = 0;
  std::vector<std::string> model_ids;
};

RepoPage ListReposPage(const std::string& owner, const std::string& api_key, int32_t limit, RepoType repo_type);
// A link that is not on the hub's origin (a cache file may hold anything) is not requested.
RepoPage ListReposNextPage(const std::string& next_url, const std::string& api_key);
// maximum <= 0: no maximum (but never more than 1,000 pages).
std::vector<RepoInfo> ListAllRepos(const std::string& owner, const std::string& api_key, int32_t maximum,
                                   RepoType repo_type, FetchOutcome* outcome = nullptr);
// The API path (after HubApiUrl) of a tree query: the repository id and the folder percent-encoded
// per segment, then the query's parameters.
std::string TreeApiPath(const std::string& repo_id, RepoType repo_type, const TreeQuery& query);
// Follows the query's pages to the end or to its page limit; a failing page keeps the items before it,
// reported incomplete. More than kMaxFolderItems, or a link back to a page already read, is incomplete.
TreePages ListTree(const std::string& repo_id, const std::string& api_key, RepoType repo_type,
                   const TreeQuery& query);
// One tree page at `url` for a thread that reads nothing from PluginState: the hub root is given,
// nothing is logged, and a raised `abort` ends the request. A next link off `site_url` is no next link
// and leaves the page incomplete.
TreePages FetchTreePage(const std::u16string& url, const std::string& api_key, const std::string& site_url,
                        const std::atomic<bool>* abort);
// The whole repository, recursive with dates, every page (a complete picture to compare with; the
// tree view lists folder by folder). A failing page keeps the items before it, reported incomplete.
std::vector<TreeItem> FetchRepoTree(const std::string& repo_id, const std::string& api_key, FetchOutcome* outcome,
                                    RepoType repo_type);
void FillDirectoryTimes(std::vector<TreeItem>* items);
std::vector<std::string> ListCollectionModels(const std::string& slug, const std::string& api_key,
                                              FetchOutcome* outcome = nullptr);
std::vector<CollectionInfo> ListOwnerCollections(const std::string& owner, const std::string& api_key,
                                                 FetchOutcome* outcome = nullptr);
bool CheckApiKey(const std::string& api_key);

// What the hub says of one Space at a revision: its SDK, asked for alone (expand=sdk). The outcome is
// complete when the answer arrived whole as an object; an answer without an SDK gives an empty one.
struct SpaceSdkAnswer {
  std::string sdk;
  FetchOutcome outcome;
};
SpaceSdkAnswer FetchSpaceSdk(const std::string& repo_id, const std::string& revision, const std::string& api_key);

// The commit a revision is at now, asked for alone (revision/<rev>?expand=sha, the cheapest answer that
// names it). The outcome is complete when the answer arrived whole as an object naming a commit.
struct RevisionAnswer {
  std::string commit;
  FetchOutcome outcome;
};
RevisionAnswer FetchRevisionCommit(const std::string& repo_id, RepoType repo_type, const std::string& revision,
                                   const std::string& api_key);
