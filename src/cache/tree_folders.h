// Repository trees as kept in the cache: one record per listed folder, in a folder per repository, so
// that listing one folder never reads the rest of a repository of any size.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hub/api.h"

constexpr int kTreeFolderFormat = 1;

struct TreeFolderRecord {
  std::string repo_id;
  RepoType repo_type = ModelRepo;
  std::string revision = "main";   // what the tree was listed at; records of two revisions never mix
  std::string folder;              // "/"-separated from the repository root; "" for the root
  int64_t fetched_at = 0;          // when the names were fetched; the file's time follows it
  bool dates_complete = false;     // every item's date was asked for (what the hub left out stays 0)
  bool large_repository = false;   // the root of a repository that did not fit one recursive answer
  std::string dates_next_url;      // the date page to go on from, when their fetching stopped part-way
  std::vector<TreeItem> items;     // the folder's children in the hub's order, paths from the root
};

// Names: what a listing shows (the hashes stay empty), read without going through the hashes, which
// are most of a record's text. Whole: the hashes too (a copy's content check, merging dates).
enum class TreeRecordRead { Names, Whole };

// cache folder / "trees" / ("m_" or "d_") + the id made file-name safe (shortened with a hash when long);
// at another revision than main the id is followed by "@" and the revision (no hub name holds "@").
std::u16string TreeRecordsFolder(const std::u16string& cache_folder, const std::string& repo_id, RepoType repo_type,
                                 const std::string& revision);
// The record's file in that folder: 16 hex digits of a hash of the folder path, ".json".
std::u16string TreeFolderRecordPath(const std::u16string& cache_folder, const std::string& repo_id,
                                    RepoType repo_type, const std::string& revision, const std::string& folder);

// The record whatever its age. False when the file is missing or damaged, of another format, or holds
// another repository, kind, revision or folder (names made safe can collide). Nothing from
// PluginState is read: the date worker uses these.
bool ReadTreeFolderRecord(const std::u16string& cache_folder, const std::string& repo_id, RepoType repo_type,
                          const std::string& revision, const std::string& folder, TreeRecordRead what,
                          TreeFolderRecord* out);
// Writes the record with the crash-safe writer and sets the file's time to `fetched_at`, so that a
// record rewritten with dates ages from when its names were fetched. False when nothing was written.
bool WriteTreeFolderRecord(const std::u16string& cache_folder, const TreeFolderRecord& record);

// The same with the configured cache folder, fresh by the time-to-live or of any age.
bool LoadFreshTreeFolder(const std::string& repo_id, RepoType repo_type, const std::string& revision,
                         const std::string& folder, TreeRecordRead what, TreeFolderRecord* out);
bool LoadTreeFolderOfAnyAge(const std::string& repo_id, RepoType repo_type, const std::string& revision,
                            const std::string& folder, TreeRecordRead what, TreeFolderRecord* out);
bool SaveTreeFolder(const TreeFolderRecord& record);

// Removing listings (the entry settings dialog): every folder record of one repository at one revision,
// or of every repository of an owner of one kind at any revision. The earlier form kept a repository in
// one file (tree_[ds_]<id>.json); such files are never read, and go with the same deletions.
void DeleteRepositoryTreeFolders(const std::string& repo_id, RepoType repo_type, const std::string& revision);
void DeleteOwnerTreeFolders(const std::string& owner, RepoType repo_type);
