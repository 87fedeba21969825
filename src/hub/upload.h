// Local files into a repository: what a write goes to and how it ended, the hub's word on how each file
// travels (preupload), the large files' SHA-256, and their upload to large-file storage (the LFS batch,
// then one PUT or numbered parts over several connections, streamed from the file).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/repo_type.h"
#include "hub/http.h"

// Where changes go. The key goes to `site_url`'s origin only, never to a storage address.
struct WriteTarget {
  std::string site_url;  // the hub root, ending in "/"
  std::string api_key;
  std::string repo_id;            // owner/name
  RepoType repo_type = ModelRepo;
  std::string revision = "main";  // the branch (or refs/pr/N) that takes the changes; a pull request's base
  bool create_pr = false;         // the changes open a pull request against `revision`
};

enum class WriteEnd {
  Done,
  Cancelled,         // the caller's progress function said stop; nothing was committed
  RateLimited,       // the hub's API limit pauses requests; nothing was sent, or nothing committed
  CommitQuota,       // 429 to the commit: the hub's commit quota; told once, never retried
  NoWriteAccess,     // 401 or 403: the key cannot write there
  NotFound,          // 404: no such repository, or no such branch
  ReadOnlyRevision,  // a tag or a commit: nothing was sent
  BranchMoved,       // 412: the branch moved since the parent commit given; nothing was committed
  Rejected,          // 400, or an object the hub refused: the hub's message says why
  PathRefused,       // 422, or a path no repository can hold (refused before anything was sent)
  Unreachable,       // no answer, or one cut off, from the hub or its storage
  LocalChanged,      // a local file changed while it was read; nothing was committed for it
  LocalUnreadable,   // a local file cannot be read
  Failed,            // another status, or an answer of another shape than the hub's
};

struct WriteOutcome {
  WriteEnd end = WriteEnd::Done;
  uint32_t status = 0;      // the status of the answer that decided it; 0 without one
  std::string error_code;   // its X-Error-Code
  std::string hub_message;  // its X-Error-Message, else its body's "error", else its text
  std::u16string message;   // fit to show the user; empty when done
  std::string path;         // the repository path it concerns, when one does

  bool Done() const { return end == WriteEnd::Done; }
};

// A local file going to a path of the repository, and what was announced of it.
struct UploadFile {
  std::string path;  // in the repository, "/"-separated
  std::u16string local_path;
  // Read by ReadLocalFiles: what the hub is told, and what the file must still be when it is sent.
  int64_t size = -1;
  int64_t mtime = 0;   // the file system's last-write time, in its own units
  std::string sample;  // the first 512 bytes
  enum class Mode { Unknown, Regular, Lfs, Ignored } mode = Mode::Unknown;  // the hub's word (preupload)
  std::string sha256;                                                       // lower-case hex; large files, once hashed
};

// What the steps below have done, for a coordinator on another thread that reports it and may stop them.
struct WriteProgress {
  std::atomic<int64_t> done{0};    // bytes hashed, uploaded or sent in the commit
  std::atomic<int64_t> total{-1};  // -1 until the hub's word on every file is in
  std::atomic<bool> stop{false};   // ends every request in flight (each exchange's abort flag)
};

// The files of one preupload request and of one LFS batch: the hub team's clients send 100.
constexpr size_t kWriteBatchSize = 100;
// The sample the hub reads to tell text from binary.
constexpr size_t kSampleBytes = 512;

// The API path of the repository: "/{type}s/{id}".
std::string RepoApiPath(const WriteTarget& target);
// The API path of a write endpoint: "/api/{type}s/{id}/{endpoint}/{revision as one segment}", with
// "?create_pr=1" when the changes open a pull request.
std::string WriteApiPath(const WriteTarget& target, const char* endpoint);

// Each file's size, time and first bytes. LocalUnreadable for the first that is no readable regular file.
WriteOutcome ReadLocalFiles(std::vector<UploadFile>* files);
// Asks the hub how each file goes (batches of kWriteBatchSize) and takes its word: regular, large
// (LFS) or left out (shouldIgnore); an empty file is always regular. An answer that does not name a file
// sent, or names a mode of its own, fails: nothing is guessed.
WriteOutcome PreuploadFiles(const WriteTarget& target, std::vector<UploadFile>* files, WriteProgress* progress);
// SHA-256 of every large file, on the processor's SHA instructions where it has them; the bytes count
// as progress, and `progress->stop` ends it (Cancelled).
WriteOutcome HashLargeFiles(std::vector<UploadFile>* files, WriteProgress* progress);
// Announces the large files in LFS batches (one object per content) and uploads what the hub does not
// have yet over up to `connections` connections: one PUT, or the numbered parts of a multipart upload
// and their completion. Each file is read as it is sent and must still be what was hashed (size, time,
// SHA-256), else LocalChanged and the object is not completed.
WriteOutcome UploadLargeFiles(const WriteTarget& target, const std::vector<UploadFile>& files, int connections,
                              WriteProgress* progress);

// ---- Shared by the write path's steps -----------------------------------------------------------

// The hub root + "api" + `api_path` (a WriteApiPath or the like).
std::u16string WriteApiUrl(const WriteTarget& target, const std::string& api_path);
// The target's key when `url` is on the hub's origin; empty anywhere else.
std::string WriteKeyFor(const WriteTarget& target, const std::u16string& url);
// "owner/name", with " at <revision>" unless it is main: how messages name where changes go.
std::u16string RepoText(const WriteTarget& target);
// True while the file's size and last-write time are what ReadLocalFiles saw.
bool IsUnchanged(const UploadFile& file);
WriteOutcome WriteFailure(WriteEnd end, std::u16string message, const std::string& path = std::string());
// The outcome of a local file's failure, with its message.
WriteOutcome LocalFileOutcome(WriteEnd end, const UploadFile& file);
// The outcome of an answer that is not the hub's yes: its status, code and message read, the user's
// text made. `what` names the step for the texts ("the commit", "the upload of w.bin").
WriteOutcome AnswerOutcome(const WriteTarget& target, const HttpSendAnswer& answer, bool stopped,
                           const std::string& what, bool is_commit = false);
