// Changes to a repository as one commit on the hub: files put (regular ones inside the commit, large
// ones uploaded first), large files copied by their SHA-256, files and folders deleted; whether the
// revision takes changes at all, decided before anything is sent.
#pragma once

#include <atomic>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "hub/download.h"
#include "hub/upload.h"

struct CommitOperation {
  enum class Kind {
    PutFile,        // `local_path` becomes `path`
    CopyLargeFile,  // `path` becomes the large file of SHA-256 `lfs_oid` already in this repository (a rename's half)
    DeleteFile,
    DeleteFolder,  // everything below `path`
  };
  Kind kind = Kind::PutFile;
  std::string path;           // in the repository, "/"-separated, no leading or trailing "/"
  std::u16string local_path;  // PutFile
  std::string lfs_oid;        // CopyLargeFile: 64 hex digits
  // PutFile made ready by PrepareUpload (read, its mode the hub's word, a large one hashed and uploaded):
  // only checked unchanged before the commit, never read, asked about, hashed or sent again. One whose
  // mode is still Unknown was only read (size, time, first bytes): it must still be so, and is then
  // asked about and uploaded with the commit's other new files, never read afresh.
  std::optional<UploadFile> prepared;
};

struct CommitRequest {
  WriteTarget target;
  std::string summary;  // the commit's title; required
  std::string description;
  // The commit the changes were made against (5 to 40 hex digits): when the branch has moved on since,
  // nothing is committed (BranchMoved). Empty: whatever the branch holds then.
  std::string parent_commit;
  std::vector<CommitOperation> operations;
  // The caller asked CheckRevisionTakesChanges for this target already (once for a host operation's
  // commits): it is not asked again.
  bool revision_checked = false;
  int connections = PluginState::kDefaultDownloadConnections;  // for the uploads; as many as downloads use
  // Called on the calling thread only, with the bytes hashed, uploaded and sent so far and the total
  // (-1 until known); false cancels, and nothing is committed.
  ProgressFn progress;
};

struct CommitResult {
  WriteOutcome outcome;
  std::string commit_oid;  // 40 hex digits; empty when nothing was committed
  std::string commit_url;
  std::string pull_request_url;      // when the changes opened a pull request
  std::vector<std::string> ignored;  // paths the hub said to leave out (its .gitignore); not committed
  // Not done, but the commit went out whole and no refusal came back (no answer, one cut short, a 5xx):
  // the hub may have made it all the same.
  bool maybe_committed = false;
  // The git blob id of each regular file committed, by path: hashed from the very bytes the commit sent.
  std::map<std::string, std::string> blob_ids;
  // The SHA-256 of each large file put, by path (also those the hub was first asked about here).
  std::map<std::string, std::string> lfs_oids;
};

// Whether `target.revision` takes changes, before any byte of them is sent: a branch or refs/pr/N
// does; a commit (40 hex digits) never does, known without asking; anything else is looked up among the
// repository's refs (one request), where a tag or a conversion ref does not and a name that is none of
// them is no branch (NotFound). `abort` ends the look-up.
WriteOutcome CheckRevisionTakesChanges(const WriteTarget& target, const std::atomic<bool>* abort = nullptr);

// Makes the changes one commit: the revision checked, the files read, the hub asked how each goes, the
// large ones hashed and uploaded, then the commit sent as NDJSON, streamed with its length known
// (regular files read and base64-encoded as it goes). Each step runs on a thread of its own while the
// calling thread reports progress and turns a cancel into the stop of every request in flight; nothing
// is sent again in a loop. A failure anywhere commits nothing; once the commit's last byte is out a
// cancel is too late, and the hub's answer is the outcome.
CommitResult CommitChanges(const CommitRequest& request);

// Makes one file ready for a later commit, as CommitChanges would before its commit: read, the hub
// asked how it goes, and a large one hashed and uploaded (an object the hub has is not sent again),
// with progress and cancel as there. `file->path` and `local_path` are given; the revision is not
// checked here (CheckRevisionTakesChanges first). Ignored when the hub says to leave the file out.
WriteOutcome PrepareUpload(const WriteTarget& target, UploadFile* file, int connections, const ProgressFn& progress);

// A repository path a commit may name: not empty, at most 1,024 bytes of UTF-8, no leading, trailing
// or doubled "/", no "." or ".." segment, no ".git" segment, no "\" and no control character.
bool IsCommitPath(const std::string& path);
