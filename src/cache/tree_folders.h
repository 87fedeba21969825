// Repository trees as kept in the cache: one record per listed folder, in a folder per repository, so
// that listing one folder never reads the rest of a repository of any size.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "hub/api.h"

// 2: the commit and the fetch a record shows. Records of format 1 live in folders of the earlier naming,
// which are never read.
constexpr int kTreeFolderFormat = 2;

struct TreeFolderRecord {
  std::string repo_id;
  RepoType repo_type = ModelRepo;
  std::string revision = "main";   // what the tree was listed at; records of two revisions never mix
  std::string folder;              // "/"-separated from the repository root; "" for the root
  std::string commit;              // the commit listed (40 hex); empty when listed at the revision's name
  std::string fetch_id;            // one listing from the hub: the date worker adds dates to its own only
  int64_t fetched_at = 0;          // when the names were fetched; the file's time follows it
  bool dates_complete = false;     // every item's date was asked for (what the hub left out stays 0)
  bool large_repository = false;   // the root of a repository that did not fit one recursive answer
  std::string dates_next_url;      // the date page to go on from, when their fetching stopped part-way
  std::vector<TreeItem> items;     // the folder's children in the hub's order, paths from the root
};

// Names: what a listing shows (the hashes stay empty), read without going through the hashes, which
// are most of a record's text. Whole: the hashes too (a copy's content check, merging dates).
enum class TreeRecordRead { Names, Whole };

// cache folder / "trees" / "m-", "d-" or "s-" and the id, then "@" and the revision unless it is main,
// each written so that no two ids or revisions share a name, not even where file names ignore case:
// a lower-case letter, a digit and "-" as themselves, an upper-case letter as "_" and its lower case,
// any other byte as "+" and two hex digits (refs/pr/1 is "refs+2fpr+2f1", the branch refs_pr_1
// "refs+5fpr+5f1"). A name over 120 characters keeps 100 and adds "~" and a hash of what it names.
std::u16string TreeRecordsFolder(const std::u16string& cache_folder, const std::string& repo_id, RepoType repo_type,
                                 const std::string& revision);
// The record's file in that folder: 16 hex digits of a hash of the folder path, ".json".
std::u16string TreeFolderRecordPath(const std::u16string& cache_folder, const std::string& repo_id,
                                    RepoType repo_type, const std::string& revision, const std::string& folder);
// A new fetch id, for a record made from what the hub just sent.
std::string NewFetchId();

// The record whatever its age. False when the file is missing or damaged, of another format, or holds
// another repository, kind, revision or folder (hashes of folder paths and of long names can meet). Nothing from
// PluginState is read: the date worker uses these.
bool ReadTreeFolderRecord(const std::u16string& cache_folder, const std::string& repo_id, RepoType repo_type,
                          const std::string& revision, const std::string& folder, TreeRecordRead what,
                          TreeFolderRecord* out);
// Writes the record with the crash-safe writer and sets the file's time to `fetched_at`, so that a
// record rewritten with dates ages from when its names were fetched. False when nothing was written.
bool WriteTreeFolderRecord(const std::u16string& cache_folder, const TreeFolderRecord& record);
// Reads the record whole as it is now (`exists` false, `record` empty but for its identity, when there
// is none to read), lets `change` edit it, and writes it unless `change` answers false; no other write
// of a folder record in this process comes between the read and the write. A writer that may hold an
// older picture than the file (the date worker, a copy's fresh listing) writes this way.
enum class RecordUpdate { Written, Declined, NotWritten };
RecordUpdate UpdateTreeFolderRecord(const std::u16string& cache_folder, const std::string& repo_id,
                                    RepoType repo_type, const std::string& revision, const std::string& folder,
                                    const std::function<bool(bool exists, TreeFolderRecord* record)>& change);

// The same with the configured cache folder, fresh by the time-to-live or of any age.
bool LoadFreshTreeFolder(const std::string& repo_id, RepoType repo_type, const std::string& revision,
                         const std::string& folder, TreeRecordRead what, TreeFolderRecord* out);
bool LoadTreeFolderOfAnyAge(const std::string& repo_id, RepoType repo_type, const std::string& revision,
                            const std::string& folder, TreeRecordRead what, TreeFolderRecord* out);
bool SaveTreeFolder(const TreeFolderRecord& record);

// Removing listings (the entry settings dialog): every folder record of one repository at one revision,
// or of every repository of an owner of one kind at any revision. Earlier forms are never read and go
// with the same deletions: a repository in one file (tree_[ds_]<id>.json), and folders named by the id
// and revision with "_" for what a file name cannot hold ("m_o_n@refs_pr_1"), where two revisions
// could share one folder.
void DeleteRepositoryTreeFolders(const std::string& repo_id, RepoType repo_type, const std::string& revision);
void DeleteOwnerTreeFolders(const std::string& owner, RepoType repo_type);
