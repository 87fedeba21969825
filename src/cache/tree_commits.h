// Which commit a repository's revision was at when the hub was last asked, and the commits this module
// made itself: the small record beside a repository's folder records that says which of them are current.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cache/tree_folders.h"

// "commit" is "parent" with the listings of these folders changed. A folder ending in "/" stands for
// itself and everything below it (a path deleted, maybe a folder).
struct CommitLink {
  std::string commit;
  std::string parent;
  std::vector<std::string> changed_folders;
};

// Links kept: a record listed further back is listed again, nothing worse.
constexpr size_t kMaxCommitLinks = 8;

struct RevisionRecord {
  std::string commit;             // 40 hex; empty when the revision was never resolved
  int64_t checked_at = 0;         // when the hub said so (Unix seconds)
  std::vector<CommitLink> links;  // oldest first; each made by this module
};

// The record beside the repository's folder records at that revision ("revision.json"). False when it
// is missing, damaged or another repository's.
bool ReadRevisionRecord(const std::u16string& cache_folder, const std::string& repo_id, RepoType repo_type,
                        const std::string& revision, RevisionRecord* out);
bool WriteRevisionRecord(const std::u16string& cache_folder, const std::string& repo_id, RepoType repo_type,
                         const std::string& revision, const RevisionRecord& record);

// Whether a folder's record listed at `listed_commit` shows the folder as it is at the record's commit:
// the same commit, or one the links lead back to without passing a change of that folder.
bool ShowsRecordedCommit(const RevisionRecord& record, const std::string& listed_commit, const std::string& folder);
// The hub said the revision is at `commit` (asked at `now`): links that no longer lead there go.
void NoteResolvedCommit(RevisionRecord* record, const std::string& commit, int64_t now);

// One path a commit of this module's own wrote or deleted.
struct CommittedPath {
  std::string path;      // "/"-separated from the repository root
  bool deleted = false;  // a file, or a folder with everything below it
  int64_t size = 0;
  std::string oid;       // the git blob id
  std::string lfs_oid;   // SHA-256 of a large file's bytes; empty for a small one
};

// The folders whose listings `paths` change: each path's folder and every folder above it, and a
// deleted path itself with everything below it ("x/" for x).
std::vector<std::string> FoldersChangedBy(const std::vector<CommittedPath>& paths);
// A folder's record at a commit's parent brought to the commit: files written are added or replaced,
// paths deleted removed, folders holding written files added or touched (their git tree id unknown),
// each dated `committed_at`. False when the commit's effect cannot be known from its paths alone (a
// path deleted inside a child folder that may have gone with it): that folder is listed again.
bool FolderAfterCommit(const TreeFolderRecord& at_parent, const std::vector<CommittedPath>& paths,
                       const std::string& commit, int64_t committed_at, TreeFolderRecord* out);
// After this module committed `paths` on the revision, making `commit` on `parent`: the changed folders'
// records listed at the parent are brought to the commit and stored, and the revision is recorded at the
// commit (checked now) with a link to the parent, so that every other folder's record listed at the
// parent counts as current without a request. Folders without a record at the parent are listed on
// their next visit. False when the revision's record could not be written.
bool NoteOwnCommit(const std::u16string& cache_folder, const std::string& repo_id, RepoType repo_type,
                   const std::string& revision, const std::string& parent, const std::string& commit,
                   const std::vector<CommittedPath>& paths, int64_t committed_at);
