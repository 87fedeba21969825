// One commit on the hub: the revision checked, the upload steps run, and the NDJSON commit streamed
// with its length known ahead (its regular files read and base64-encoded while it is sent, so that a
// hundred files of 10 MiB are never whole in memory).
//
// Threads: CommitChanges runs the steps on one thread of its own (which starts and joins the uploads'
// connection threads) and joins it before it returns; the calling thread only reports progress, turns a
// cancel into the stop flag of every request in flight and calls PlatformHttpAbort until they end.
#include "hub/commit.h"

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "core/files.h"
#include "core/json.h"
#include "core/text.h"
#include "hub/api.h"
#include "hub/content_hash.h"
#include "hub/transfer.h"
#include "platform/platform.h"

using nlohmann::json;

namespace {

// The hub gives a commit 60 s, and it may still finish after that: its answer is waited for longer.
constexpr uint32_t kCommitTimeoutMs = 180000;
constexpr uint32_t kApiTimeoutMs = 60000;
// Whole 3-byte groups, so that the base64 of the pieces joins into the base64 of the file.
constexpr size_t kEncodeBlock = 3 * 16384;
constexpr size_t kMaxCommitPathBytes = 1024;
constexpr auto kCoordinatorTick = std::chrono::milliseconds(20);
const char* const kPlaceholderOid = "0000000000000000000000000000000000000000000000000000000000000000";

std::u16string U(const std::string& utf8) { return Utf8ToWide(utf8); }

std::string Dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

bool IsHex(const std::string& text, size_t least, size_t most) {
  return text.size() >= least && text.size() <= most &&
         text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

bool IsPullRequestRef(const std::string& revision) {
  return revision.size() > 8 && revision.compare(0, 8, "refs/pr/") == 0 &&
         revision.find_first_not_of("0123456789", 8) == std::string::npos;
}

int64_t Base64Size(int64_t bytes) { return (bytes + 2) / 3 * 4; }

// The NDJSON body as pieces: text, or a regular file's bytes as base64, read while it is sent. Each
// file must still be what was announced: its first bytes the sample the hub was shown, its size and
// time unchanged when its last byte has been read, before the lines after it go out.
struct CommitBody {
  struct Piece {
    std::string text;
    const UploadFile* file = nullptr;
  };
  std::vector<Piece> pieces;
  int64_t size = 0;
  WriteProgress* progress = nullptr;
  std::atomic<bool>* last_given = nullptr;  // raised as the final byte is handed over

  size_t index = 0;
  size_t offset = 0;  // in the piece's text, or in `encoded`
  std::ifstream in;
  int64_t file_read = 0;
  std::string block;
  std::string encoded;
  int64_t given = 0;
  WriteEnd failure = WriteEnd::Done;
  const UploadFile* failed_file = nullptr;
  // The git blob id of the file being read, so that the folders the commit touched can name it (none
  // when the platform's hash would not start: the folder is then checked at its next listing only).
  std::unique_ptr<ContentHasher> blob;
  bool blob_started = false;
  std::map<std::string, std::string> blob_ids;

  void AddText(std::string text) {
    size += static_cast<int64_t>(text.size());
    pieces.push_back({std::move(text), nullptr});
  }
  void AddFile(const UploadFile* file) {
    size += Base64Size(file->size);
    pieces.push_back({std::string(), file});
  }

  int64_t Read(char* buffer, size_t capacity) {
    size_t filled = 0;
    while (filled < capacity && index < pieces.size()) {
      const Piece& piece = pieces[index];
      if (piece.file && offset == encoded.size()) {
        if (!EncodeNext(*piece.file)) return -1;
        if (encoded.empty()) {
          NextPiece();
          continue;
        }
      }
      const std::string& text = piece.file ? encoded : piece.text;
      const size_t n = std::min(capacity - filled, text.size() - offset);
      std::copy_n(text.data() + offset, n, buffer + filled);
      offset += n;
      filled += n;
      if (!piece.file && offset == text.size()) NextPiece();
    }
    if (given + static_cast<int64_t>(filled) == size) {
      if (progress->stop) return -1;  // a cancel before the last byte still commits nothing
      *last_given = true;
    }
    given += static_cast<int64_t>(filled);
    progress->done += static_cast<int64_t>(filled);
    return static_cast<int64_t>(filled);
  }

  void NextPiece() {
    ++index;
    offset = 0;
    encoded.clear();
    file_read = 0;
    blob.reset();
    blob_started = false;
    if (in.is_open()) in.close();
  }

  // The file's next block as base64; empty once it is all read and still as announced.
  bool EncodeNext(const UploadFile& file) {
    encoded.clear();
    offset = 0;
    if (!blob) {
      ContentCheck check;
      check.algorithm = HashAlgorithm::Sha1;
      check.git_blob = true;
      blob = std::make_unique<ContentHasher>();
      blob_started = blob->Begin(check, file.size);
    }
    if (file_read == file.size) {
      if (!IsUnchanged(file)) return Fail(WriteEnd::LocalChanged, file);
      if (blob_started) blob_ids[file.path] = blob->EndHex();
      blob_started = false;
      return true;
    }
    if (!in.is_open()) {
      in.open(FsPath(file.local_path), std::ios::binary);
      if (!in.is_open()) return Fail(WriteEnd::LocalUnreadable, file);
    }
    const int64_t n = std::min<int64_t>(kEncodeBlock, file.size - file_read);
    block.resize(static_cast<size_t>(n));
    in.read(&block[0], static_cast<std::streamsize>(n));
    if (in.gcount() != n) return Fail(in.bad() ? WriteEnd::LocalUnreadable : WriteEnd::LocalChanged, file);
    if (file_read < static_cast<int64_t>(file.sample.size()) &&
        file.sample.compare(static_cast<size_t>(file_read), std::string::npos, block, 0,
                            file.sample.size() - static_cast<size_t>(file_read)) != 0) {
      return Fail(WriteEnd::LocalChanged, file);
    }
    file_read += n;
    if (blob_started) blob->Update(block.data(), block.size());
    encoded = PlatformBase64Encode(block);
    if (static_cast<int64_t>(encoded.size()) != Base64Size(n)) return Fail(WriteEnd::LocalUnreadable, file);
    return true;
  }

  bool Fail(WriteEnd why, const UploadFile& file) {
    failure = why;
    failed_file = &file;
    return false;
  }
};

std::string Line(const char* key, json value) { return Dump(json{{"key", key}, {"value", std::move(value)}}) + "\n"; }

// The commit's lines: the header, then each change in the order given. Large files are named by
// `oid_of` (the placeholder while they are not hashed yet: the lines keep their length).
void BuildBody(const CommitRequest& request, const std::vector<UploadFile>& files, bool hashed, CommitBody* body) {
  json header = {{"summary", request.summary}, {"description", request.description}};
  if (!request.parent_commit.empty()) header["parentCommit"] = request.parent_commit;
  body->AddText(Line("header", std::move(header)));
  size_t next_file = 0;
  for (const CommitOperation& op : request.operations) {
    switch (op.kind) {
      case CommitOperation::Kind::PutFile: {
        const UploadFile& file = files[next_file++];
        if (file.mode == UploadFile::Mode::Lfs) {
          body->AddText(Line("lfsFile", {{"path", file.path},
                                         {"algo", "sha256"},
                                         {"oid", hashed ? file.sha256 : kPlaceholderOid},
                                         {"size", file.size}}));
        } else if (file.mode == UploadFile::Mode::Regular) {
          body->AddText("{\"key\":\"file\",\"value\":{\"content\":\"");
          body->AddFile(&file);
          body->AddText("\",\"encoding\":\"base64\",\"path\":" + Dump(file.path) + "}}\n");
        }
        break;
      }
      case CommitOperation::Kind::CopyLargeFile:
        // Without a size: the hub copies the object it holds, nothing is uploaded.
        body->AddText(Line("lfsFile", {{"path", op.path}, {"algo", "sha256"}, {"oid", op.lfs_oid}}));
        break;
      case CommitOperation::Kind::DeleteFile:
        body->AddText(Line("deletedFile", {{"path", op.path}}));
        break;
      case CommitOperation::Kind::DeleteFolder:
        body->AddText(Line("deletedFolder", {{"path", op.path}}));
        break;
    }
  }
}

// What the caller asked for, checked before anything is sent.
WriteOutcome CheckRequest(const CommitRequest& request) {
  const std::u16string repo = RepoText(request.target);
  if (request.summary.empty()) return WriteFailure(WriteEnd::Failed, u"A commit needs a summary: nothing was sent.");
  if (!request.parent_commit.empty() && !IsHex(request.parent_commit, 5, 40)) {
    return WriteFailure(WriteEnd::Failed, u"\"" + U(request.parent_commit) + u"\" is no commit: nothing was sent.");
  }
  std::set<std::string> written;
  for (const CommitOperation& op : request.operations) {
    if (!IsCommitPath(op.path)) {
      return WriteFailure(WriteEnd::PathRefused,
                          u"\"" + U(op.path) + u"\" cannot be a path in " + repo + u": nothing was sent.", op.path);
    }
    const bool writes = op.kind == CommitOperation::Kind::PutFile || op.kind == CommitOperation::Kind::CopyLargeFile;
    if (writes && !written.insert(op.path).second) {
      return WriteFailure(WriteEnd::Failed,
                          u"\"" + U(op.path) + u"\" is written twice in one commit: nothing was sent.", op.path);
    }
    if (op.kind == CommitOperation::Kind::CopyLargeFile && !IsHex(op.lfs_oid, 64, 64)) {
      return WriteFailure(WriteEnd::Failed, u"A copy of \"" + U(op.path) + u"\" names no large file: nothing was sent.",
                          op.path);
    }
  }
  return WriteOutcome();
}

// The steps, on the commit's own thread.
CommitResult RunCommit(const CommitRequest& request, WriteProgress* progress, std::atomic<bool>* commit_abort,
                       std::atomic<bool>* last_given) {
  CommitResult result;
  const WriteTarget& target = request.target;
  WriteOutcome& out = result.outcome;
  if (!request.revision_checked) out = CheckRevisionTakesChanges(target, &progress->stop);
  if (!out.Done()) return result;

  // Files made ready before (PrepareUpload) keep what was read and sent then; the others go through
  // the steps here, those read when they were handed over without being read again. All end in
  // `files`, in the order of their operations.
  std::vector<UploadFile> files;
  std::vector<UploadFile> fresh;
  std::vector<size_t> fresh_at;
  std::vector<UploadFile> unread;
  std::vector<size_t> unread_at;  // in `fresh`
  for (const CommitOperation& op : request.operations) {
    if (op.kind != CommitOperation::Kind::PutFile) continue;
    if (op.prepared) {
      if (!IsUnchanged(*op.prepared)) {
        out = LocalFileOutcome(WriteEnd::LocalChanged, *op.prepared);
        return result;
      }
      UploadFile file = *op.prepared;
      file.path = op.path;
      if (file.mode == UploadFile::Mode::Unknown) {
        fresh_at.push_back(files.size());
        fresh.push_back(file);
      }
      files.push_back(std::move(file));
      continue;
    }
    UploadFile file;
    file.path = op.path;
    file.local_path = op.local_path;
    fresh_at.push_back(files.size());
    unread_at.push_back(fresh.size());
    files.push_back(file);
    fresh.push_back(file);
    unread.push_back(std::move(file));
  }
  out = ReadLocalFiles(&unread);
  if (!out.Done()) return result;
  for (size_t i = 0; i < unread.size(); ++i) fresh[unread_at[i]] = std::move(unread[i]);
  if (!fresh.empty()) out = PreuploadFiles(target, &fresh, progress);
  if (!out.Done()) return result;
  int64_t large = 0;
  for (const UploadFile& file : fresh) {
    if (file.mode == UploadFile::Mode::Lfs) large += file.size;
  }
  for (size_t i = 0; i < fresh.size(); ++i) files[fresh_at[i]] = fresh[i];
  for (const UploadFile& file : files) {
    if (file.mode == UploadFile::Mode::Ignored) result.ignored.push_back(file.path);
  }
  // The hub commits nothing for an empty list of changes, and the hub team's clients never ask it to.
  if (result.ignored.size() == request.operations.size()) return result;

  {
    CommitBody sizing;
    BuildBody(request, files, false, &sizing);
    progress->total = 2 * large + sizing.size;  // hashed, uploaded; and the commit itself
  }
  out = HashLargeFiles(&fresh, progress);
  if (out.Done()) out = UploadLargeFiles(target, fresh, request.connections, progress);
  if (!out.Done()) return result;
  for (size_t i = 0; i < fresh.size(); ++i) files[fresh_at[i]] = fresh[i];

  auto body = std::make_shared<CommitBody>();
  body->progress = progress;
  body->last_given = last_given;
  BuildBody(request, files, true, body.get());
  HttpSendOptions options;
  options.headers = {"Content-Type: application/x-ndjson"};
  options.body.size = body->size;
  options.body.read = [body](char* buffer, size_t capacity) { return body->Read(buffer, capacity); };
  options.api = true;
  options.receive_timeout_ms = kCommitTimeoutMs;
  options.abort = commit_abort;
  const std::u16string url = WriteApiUrl(target, WriteApiPath(target, "commit"));
  const HttpSendAnswer answer = HttpSend(url, WriteKeyFor(target, url), options);
  if (body->failure != WriteEnd::Done) {
    out = LocalFileOutcome(body->failure, *body->failed_file);
    return result;
  }
  if (!answer.whole || answer.status < 200 || answer.status >= 300) {
    out = AnswerOutcome(target, answer, progress->stop && !*last_given, "the commit", true);
    result.maybe_committed = *last_given && !(answer.whole && answer.status >= 300 && answer.status < 500);
    return result;
  }
  result.blob_ids = std::move(body->blob_ids);
  for (const UploadFile& file : files) {
    if (file.mode == UploadFile::Mode::Lfs) result.lfs_oids[file.path] = file.sha256;
  }
  const json document = ParseJson(answer.body);
  const std::string oid = JsonString(document, "commitOid");
  if (IsHex(oid, 40, 40)) result.commit_oid = oid;
  result.commit_url = JsonString(document, "commitUrl");
  result.pull_request_url = JsonString(document, "pullRequestUrl");
  return result;
}

}  // namespace

bool IsCommitPath(const std::string& path) {
  if (path.empty() || path.size() > kMaxCommitPathBytes || WideToUtf8(Utf8ToWide(path)) != path) return false;
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7F || c == '\\') return false;
  }
  size_t begin = 0;
  for (;;) {
    const size_t end = std::min(path.find('/', begin), path.size());
    const std::string segment = path.substr(begin, end - begin);
    if (segment.empty() || segment == "." || segment == ".." || segment == ".git") return false;
    if (end == path.size()) return true;
    begin = end + 1;
  }
}

WriteOutcome CheckRevisionTakesChanges(const WriteTarget& target, const std::atomic<bool>* abort) {
  const std::string& revision = target.revision;
  const std::u16string named = u"\"" + U(revision) + u"\" of " + U(target.repo_id);
  if (!IsRevisionName(revision)) {
    return WriteFailure(WriteEnd::NotFound, named + u" is no branch name: nothing was sent.");
  }
  if (IsPullRequestRef(revision)) {
    // The hub opens a pull request against a branch only, and answers 404 for anything else.
    if (!target.create_pr) return WriteOutcome();
    return WriteFailure(WriteEnd::ReadOnlyRevision, named + u" is a pull request, and a pull request is opened "
                                                            u"against a branch only: nothing was sent.");
  }
  if (IsHex(revision, 40, 40)) {
    return WriteFailure(WriteEnd::ReadOnlyRevision,
                        named + u" is a commit, and a commit never changes: nothing was sent. Changes go to a branch.");
  }
  HttpSendOptions options;
  options.method = HttpMethod::Get;
  options.api = true;
  options.receive_timeout_ms = kApiTimeoutMs;
  options.abort = abort;
  const std::u16string url = WriteApiUrl(target, RepoApiPath(target) + "/refs");
  const HttpSendAnswer answer = HttpSend(url, WriteKeyFor(target, url), options);
  if (!answer.whole || answer.status < 200 || answer.status >= 300) {
    return AnswerOutcome(target, answer, abort && abort->load(), "the look at its branches");
  }
  const json document = ParseJson(answer.body);
  const auto names = [&document, &revision](const char* list, const std::string& full_prefix) {
    const json* items = document.is_object() ? JsonArray(document, list) : nullptr;
    if (!items) return false;
    for (const json& item : *items) {
      const std::string name = JsonString(item, "name");
      const std::string ref = JsonString(item, "ref");
      if ((!name.empty() && (name == revision || full_prefix + name == revision)) ||
          (!ref.empty() && ref == revision)) {
        return true;
      }
    }
    return false;
  };
  if (!document.is_object() || !JsonArray(document, "branches")) {
    return WriteFailure(WriteEnd::Failed, u"The hub's list of the branches of " + U(target.repo_id) +
                                              u" is not what it sends: nothing was sent.");
  }
  if (names("branches", "refs/heads/")) return WriteOutcome();
  if (names("tags", "refs/tags/")) {
    return WriteFailure(
        WriteEnd::ReadOnlyRevision,
        named + u" is a tag, and a tag does not take changes: nothing was sent. Changes go to a branch.");
  }
  if (names("converts", "refs/convert/")) {
    return WriteFailure(WriteEnd::ReadOnlyRevision,
                        named +
                            u" is a conversion the hub makes itself, which takes no changes: "
                            u"nothing was sent. Changes go to a branch.");
  }
  WriteOutcome out = WriteFailure(WriteEnd::NotFound, u"The repository " + U(target.repo_id) + u" has no branch \"" +
                                                          U(revision) + u"\": nothing was sent.");
  out.error_code = kRevisionNotFound;
  return out;
}

namespace {

// Runs `steps` on a thread of its own while the calling thread reports `progress` to `report` every
// tick, turns a cancel into the stop of every request in flight and joins the thread. The abort of the
// commit's own request is raised only while its last byte is not out. False when no thread could start.
bool RunCoordinated(const ProgressFn& report, WriteProgress* progress, std::atomic<bool>* commit_abort,
                    const std::atomic<bool>* last_given, bool* cancelled, const std::function<void()>& steps) {
  std::atomic<bool> finished{false};
  std::thread worker;
  try {
    worker = std::thread([&] {
      steps();
      finished = true;
    });
  } catch (...) {
    return false;
  }
  ProgressReporter reporter(&report);
  *cancelled = false;
  for (;;) {
    // Reported before the end is looked at: a commit quicker than a tick still lets the host cancel.
    if (!*cancelled && !reporter.Report(progress->done, progress->total)) {
      *cancelled = true;
      progress->stop = true;
    }
    if (finished) break;
    if (progress->stop) {
      // Again at every tick: an exchange between two waits the last time is caught now.
      PlatformHttpAbort(&progress->stop);
      if (!*last_given) {
        *commit_abort = true;
        PlatformHttpAbort(commit_abort);
      }
    }
    std::this_thread::sleep_for(kCoordinatorTick);
  }
  worker.join();
  if (!*cancelled) reporter.Report(progress->done, progress->total);
  return true;
}

int ClampedConnections(int connections) {
  return std::clamp(connections, 1, std::min(PluginState::kMaxDownloadConnections, PlatformMaxDownloadConnections()));
}

}  // namespace

WriteOutcome PrepareUpload(const WriteTarget& target, UploadFile* file, int connections, const ProgressFn& progress) {
  WriteProgress state;
  std::atomic<bool> commit_abort{false};
  const std::atomic<bool> no_commit{false};
  std::vector<UploadFile> files(1, *file);
  WriteOutcome out;
  bool cancelled = false;
  const bool ran = RunCoordinated(progress, &state, &commit_abort, &no_commit, &cancelled, [&] {
    try {
      out = ReadLocalFiles(&files);
      if (out.Done()) out = PreuploadFiles(target, &files, &state);
      if (out.Done() && files[0].mode == UploadFile::Mode::Lfs) {
        state.total = 2 * files[0].size;
        out = HashLargeFiles(&files, &state);
        if (out.Done()) out = UploadLargeFiles(target, files, ClampedConnections(connections), &state);
      }
    } catch (...) {
      out = WriteFailure(WriteEnd::Failed, u"Out of memory: nothing was sent.");
    }
  });
  if (!ran) return WriteFailure(WriteEnd::Failed, u"No thread could be started for the upload: nothing was sent.");
  // Nothing is committed yet: a cancel wins even over steps that ended meanwhile.
  if (cancelled) {
    out = WriteFailure(WriteEnd::Cancelled, u"Cancelled: nothing was committed to " + RepoText(target) + u".");
  }
  if (out.Done()) *file = files[0];
  return out;
}

CommitResult CommitChanges(const CommitRequest& request) {
  CommitResult result;
  result.outcome = CheckRequest(request);
  if (!result.outcome.Done() || request.operations.empty()) return result;

  WriteProgress progress;
  std::atomic<bool> commit_abort{false};
  std::atomic<bool> last_given{false};
  CommitRequest steps = request;
  steps.connections = ClampedConnections(request.connections);
  bool cancelled = false;
  const bool ran = RunCoordinated(request.progress, &progress, &commit_abort, &last_given, &cancelled, [&] {
    try {
      result = RunCommit(steps, &progress, &commit_abort, &last_given);
    } catch (...) {
      result = CommitResult();
      result.outcome = WriteFailure(WriteEnd::Failed, u"Out of memory: nothing was committed.");
    }
  });
  if (!ran) {
    result.outcome = WriteFailure(WriteEnd::Failed, u"No thread could be started for the commit: nothing was sent.");
    return result;
  }
  if (cancelled && !result.outcome.Done()) {
    result.outcome =
        WriteFailure(WriteEnd::Cancelled, u"Cancelled: nothing was committed to " + RepoText(request.target) + u".");
  }
  return result;
}
