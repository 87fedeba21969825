// Changes inside repositories: where a host path lands, the batch a host operation gathers on its
// thread, and its commits (at most 100 changes each, each on the one before), after which the folders
// they touched list the new state.
//
// Threads: the host's main and background threads each have their own batch in PluginState, looked up
// and changed under the lock; every request (the revision check, uploads, commits, listings) runs
// without it. A failure of another thread's operation is queued and told by the main thread's next export.
#include "plugin/writes.h"

#include <algorithm>
#include <atomic>

#include "cache/tree_commits.h"
#include "cache/tree_folders.h"
#include "core/files.h"
#include "core/state.h"
#include "core/text.h"
#include "core/time.h"
#include "hub/api.h"
#include "hub/commit.h"
#include "hub/download.h"
#include "platform/platform.h"
#include "plugin/host_abi.h"
#include "plugin/host_text.h"

namespace {

// The hub's advice: a commit of more changes than this takes too long and may time out.
constexpr size_t kMaxChangesPerCommit = 100;
constexpr size_t kMaxNamesInMessage = 20;
// A file up to this size copied in inside an operation is only read when the host hands it over; the
// hub is asked about it with the operation's other files at its commit (100 a request), not once per
// file. Its upload, even as a large file, is no matter of progress (under a second on a slow line), and
// a commit of 100 of them stays near the 100 MiB of regular content the hub team's client puts in one.
constexpr int64_t kAskedAtCommitBytes = 1 << 20;

// Where a host path lands inside a repository.
struct RepoLocation {
  bool allow = false;  // the entry takes changes
  std::string repo_id;
  RepoType repo_type = ModelRepo;
  std::string revision = "main";
  bool create_pr = false;
  std::string path;  // from the repository root; empty for the root itself
};

// False when the path is not inside a repository (the root, an entry's own level of organisations
// and collections, the paging item, a path with a name no repository can hold).
bool Locate(const VirtualPath& c, RepoLocation* out) {
  if (c.empty()) return false;
  Entry entry;
  {
    StateLock guard(g_state.lock);
    const Entry* found = c[0] == kTemporaryName ? (g_state.temporary_present ? &g_state.temporary_entry : nullptr)
                                                : FindEntryByName(c[0]);
    if (!found) return false;
    entry = *found;
  }
  out->allow = entry.allow_changes;
  out->create_pr = entry.changes_as_pull_request;
  out->repo_type = entry.repo_type;
  size_t depth = 0;
  switch (entry.type) {
    case SingleModel:
      out->repo_id = entry.repo_id;
      out->revision = entry.revision;
      depth = 1;
      break;
    case OrgModels:
      if (c.size() < 2 || IsPagingItemName(c[1])) return false;
      out->repo_id = entry.org + "/" + WideToUtf8(c[1]);
      depth = 2;
      break;
    case OrgCollections:
      if (c.size() < 3) return false;
      out->repo_id = ResolveCollectionRepoId(entry.org, WideToUtf8(c[1]), WideToUtf8(c[2]));
      out->repo_type = ModelRepo;  // a collection's models are models whatever the entry says
      depth = 3;
      break;
    default:
      return false;
  }
  if (out->repo_id.empty() || c.size() < depth) return false;
  out->path = JoinRepoPath(c, depth);
  return true;
}

std::string FolderOf(const std::string& path) {
  const size_t cut = path.rfind('/');
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

bool IsBelow(const std::string& path, const std::string& folder) {
  return path == folder || (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                            path[folder.size()] == '/');
}

std::string RepoKey(const RepoLocation& loc) {
  return std::string(RepoTypeName(loc.repo_type)) + ":" + loc.repo_id + "@" + loc.revision;
}

WriteTarget TargetOf(const std::string& repo_id, RepoType repo_type, const std::string& revision, bool create_pr) {
  WriteTarget target;
  target.site_url = HubSiteUrl();
  target.api_key = ApiKeyUtf8();
  target.repo_id = repo_id;
  target.repo_type = repo_type;
  target.revision = revision;
  target.create_pr = create_pr;
  return target;
}

WriteTarget TargetOf(const RepoLocation& loc) { return TargetOf(loc.repo_id, loc.repo_type, loc.revision, loc.create_pr); }

bool SameRepository(const PendingCommit& pending, const RepoLocation& loc) {
  return pending.repo_id == loc.repo_id && pending.repo_type == loc.repo_type && pending.revision == loc.revision;
}

// The caller holds the lock.
WriteBatch* OpenBatch() {
  const auto found = g_state.write_batches.find(PlatformThreadId());
  return found == g_state.write_batches.end() ? nullptr : &found->second;
}

void TellNow(const std::u16string& text) {
  LogMessage(u"Write told: " + text);  // a failure, or where a pull request went
  if (IsMainThread()) {
    AskHost(kRequestMessageOk, u"HuggingFace", text, nullptr);
    return;
  }
  StateLock guard(g_state.lock);
  g_state.queued_messages.push_back(text);
}

// A failure met inside an operation is told once at its end; outside one, at once.
void Note(const std::u16string& text) {
  {
    StateLock guard(g_state.lock);
    if (WriteBatch* batch = OpenBatch()) {
      if (std::find(batch->messages.begin(), batch->messages.end(), text) == batch->messages.end()) {
        batch->messages.push_back(text);
      }
      LogMessage(u"Write told: " + text);  // a failure, or where a pull request went
      return;
    }
  }
  TellNow(text);
}

// Whether the location's revision takes changes: asked once per operation and repository (a refusal
// too, so that a hundred files into a tag cost one request and one message).
WriteOutcome RevisionTakesChanges(const RepoLocation& loc) {
  const std::string key = RepoKey(loc);
  {
    StateLock guard(g_state.lock);
    WriteBatch* batch = OpenBatch();
    if (batch && batch->revisions_checked.count(key)) return WriteOutcome();
    if (batch && batch->revisions_refused.count(key)) {
      const auto& refused = batch->revisions_refused[key];
      WriteOutcome out;
      out.end = refused.first ? WriteEnd::ReadOnlyRevision : WriteEnd::Failed;
      out.message = refused.second;
      return out;
    }
  }
  const WriteOutcome out = CheckRevisionTakesChanges(TargetOf(loc));
  StateLock guard(g_state.lock);
  if (WriteBatch* batch = OpenBatch()) {
    if (out.Done()) {
      batch->revisions_checked.insert(key);
    } else if (out.end != WriteEnd::Cancelled && out.end != WriteEnd::Unreachable) {
      batch->revisions_refused[key] = {out.end == WriteEnd::ReadOnlyRevision, out.message};
    }
  }
  return out;
}

// What the host was shown of a folder: its record whatever its age, listed first when there is none
// (a host may copy into a folder it never listed), unless it is a folder made here.
struct ListedFolder {
  bool found = false;
  std::string commit;
  std::vector<TreeItem> items;

  const TreeItem* Item(const std::string& path) const {
    for (const TreeItem& item : items) {
      if (item.path == path) return &item;
    }
    return nullptr;
  }
};

ListedFolder ReadListedFolder(const RepoLocation& loc, const std::string& folder) {
  ListedFolder out;
  TreeFolderRecord record;
  if (ReadTreeFolderRecord(CacheFolder(), loc.repo_id, loc.repo_type, loc.revision, folder, TreeRecordRead::Whole,
                           &record)) {
    out.found = true;
    out.commit = record.commit;
    out.items = std::move(record.items);
  }
  return out;
}

ListedFolder ListFolder(const RepoLocation& loc, const std::string& folder) {
  ListedFolder out = ReadListedFolder(loc, folder);
  if (out.found) return out;
  if (!folder.empty()) {
    // A folder its listed parent does not hold is new: nothing to ask the hub (a hundred files into
    // it would ask a hundred times).
    const ListedFolder parent = ListFolder(loc, FolderOf(folder));
    const TreeItem* item = parent.Item(folder);
    if (parent.found && (!item || item->type != "directory")) return out;
  }
  EnumModelTree(loc.repo_id, folder, loc.repo_type, loc.revision);
  return ReadListedFolder(loc, folder);
}

// The commit the host was shown at `folder`: its record's, else the nearest listed folder above it
// (a folder made here, or new on the hub, has none). `listed_folder` names the folder that said so.
std::string ListedCommitAt(const RepoLocation& loc, std::string folder, std::string* listed_folder) {
  for (;;) {
    const ListedFolder listed = ReadListedFolder(loc, folder);
    if (listed.found) {
      *listed_folder = folder;
      return listed.commit;
    }
    if (folder.empty()) return std::string();
    folder = FolderOf(folder);
  }
}

// The commit this operation's changes to the repository are made against: the first listing's it
// touched, or after a commit of its own, that commit.
std::string OperationParent(const RepoLocation& loc, const std::string& listed) {
  StateLock guard(g_state.lock);
  if (WriteBatch* batch = OpenBatch()) {
    for (const PendingCommit& pending : batch->commits) {
      if (SameRepository(pending, loc)) return pending.parent_commit;
    }
  }
  return listed;
}

// Whether what the host was shown of `folder` (listed at `listed`) is the folder at `parent`: the same
// commit, or one the module's own commits lead to without changing that folder.
bool ShownAt(const RepoLocation& loc, const std::string& listed, const std::string& folder, const std::string& parent) {
  if (listed == parent) return true;
  RevisionRecord revision;
  if (!ReadRevisionRecord(CacheFolder(), loc.repo_id, loc.repo_type, loc.revision, &revision)) return false;
  return revision.commit == parent && ShowsRecordedCommit(revision, listed, folder);
}

std::u16string MovedMessage(const RepoLocation& loc) {
  return RepoText(TargetOf(loc)) +
         u" changed since it was listed, so nothing was changed there. Look at the folder again, then make the "
         u"change again.";
}

// The parent for changes at `path`, or false (told) when the folders they touch were shown at
// different commits.
bool ParentFor(const RepoLocation& loc, const std::string& path, std::string* parent) {
  std::string listed_folder;
  const std::string listed = ListedCommitAt(loc, FolderOf(path), &listed_folder);
  *parent = OperationParent(loc, listed);
  if (parent->empty() || ShownAt(loc, listed, listed_folder, *parent)) return true;
  Note(MovedMessage(loc));
  return false;
}

// A commit of no changes yet to the repository of `loc`, on `parent`.
PendingCommit FreshCommit(const RepoLocation& loc, const std::string& parent) {
  PendingCommit fresh;
  fresh.repo_id = loc.repo_id;
  fresh.repo_type = loc.repo_type;
  fresh.revision = loc.revision;
  fresh.create_pr = loc.create_pr;
  fresh.parent_commit = parent;
  return fresh;
}

// The batch's commit to the repository of `loc`, begun on `parent` when it has none yet.
PendingCommit* PendingCommitOf(WriteBatch* batch, const RepoLocation& loc, const std::string& parent) {
  for (PendingCommit& p : batch->commits) {
    if (SameRepository(p, loc)) return &p;
  }
  batch->commits.push_back(FreshCommit(loc, parent));
  return &batch->commits.back();
}

// Adds a change to this thread's operation; false when none is open. A later change to a path
// replaces an earlier one, and a folder deleted takes every earlier change below it with it.
bool AddToBatch(const RepoLocation& loc, const std::string& parent, PendingChange change) {
  StateLock guard(g_state.lock);
  WriteBatch* batch = OpenBatch();
  if (!batch) return false;
  PendingCommit* pending = PendingCommitOf(batch, loc, parent);
  auto& changes = pending->changes;
  const bool folder = change.kind == PendingChange::DeleteFolder;
  changes.erase(std::remove_if(changes.begin(), changes.end(),
                               [&](const PendingChange& c) {
                                 const bool gone = folder ? IsBelow(c.path, change.path) : c.path == change.path;
                                 if (gone && c.temporary) RemoveFileQuietly(c.local_path);
                                 return gone;
                               }),
                changes.end());
  changes.push_back(std::move(change));
  return true;
}

// Drops this operation's changes at `path` (or below it); true when there were any.
bool DropFromBatch(const RepoLocation& loc, const std::string& path, bool folder) {
  StateLock guard(g_state.lock);
  WriteBatch* batch = OpenBatch();
  if (!batch) return false;
  bool dropped = false;
  for (PendingCommit& pending : batch->commits) {
    if (!SameRepository(pending, loc)) continue;
    auto& changes = pending.changes;
    const auto kept = std::remove_if(changes.begin(), changes.end(), [&](const PendingChange& c) {
      const bool gone = c.kind != PendingChange::Delete && c.kind != PendingChange::DeleteFolder &&
                        (folder ? IsBelow(c.path, path) : c.path == path);
      if (gone && c.temporary) RemoveFileQuietly(c.local_path);
      return gone;
    });
    dropped = dropped || kept != changes.end();
    changes.erase(kept, changes.end());
  }
  return dropped;
}

bool PendingWriteAt(const RepoLocation& loc, const std::string& path) {
  StateLock guard(g_state.lock);
  WriteBatch* batch = OpenBatch();
  if (!batch) return false;
  for (const PendingCommit& pending : batch->commits) {
    if (!SameRepository(pending, loc)) continue;
    for (const PendingChange& c : pending.changes) {
      if (c.path == path && (c.kind == PendingChange::Put || c.kind == PendingChange::CopyLarge)) return true;
    }
  }
  return false;
}

// Where a revision and its pull request are after the commits of CommitPending.
struct CommittedEnd {
  std::string head;               // the last commit made on the revision (its parent when none)
  std::string pull_request;       // refs/pr/N the commits went to, opened now or before
  std::string pull_request_head;  // its last commit
};

// After a commit of this thread's own outside the operation's commit (a move) opened or added to a pull
// request, the operation's later changes to that repository go on it.
void NotePullRequest(const RepoLocation& loc, const std::string& parent, const CommittedEnd& end) {
  StateLock guard(g_state.lock);
  WriteBatch* batch = OpenBatch();
  if (!batch) return;
  PendingCommit* pending = PendingCommitOf(batch, loc, parent);
  pending->pull_request = end.pull_request;
  pending->pull_request_head = end.pull_request_head;
}

// After a commit of this thread's own outside the operation's commit (a move), the operation's
// changes to that repository go on top of it.
void MoveOperationParent(const RepoLocation& loc, const std::string& from, const std::string& to) {
  StateLock guard(g_state.lock);
  if (WriteBatch* batch = OpenBatch()) {
    for (PendingCommit& pending : batch->commits) {
      if (SameRepository(pending, loc) && pending.parent_commit == from) pending.parent_commit = to;
    }
  }
}

std::u16string CountText(size_t n, const std::string& one, const char16_t* verb) {
  return std::u16string(verb) + u" " + (n == 1 ? Utf8ToWide(one) : WideDecimal(static_cast<int64_t>(n)) + u" files");
}

// "Upload 12 files", "Upload config.json", "Delete 3 files", joined when a commit does several.
std::string Summary(const std::vector<PendingChange>& changes) {
  size_t puts = 0, copies = 0, deletes = 0;
  std::string put_one, copy_one, delete_one;
  for (const PendingChange& c : changes) {
    const std::string name = c.path.substr(c.path.rfind('/') == std::string::npos ? 0 : c.path.rfind('/') + 1);
    if (c.kind == PendingChange::Put) put_one = name, ++puts;
    if (c.kind == PendingChange::CopyLarge) copy_one = name, ++copies;
    if (c.kind == PendingChange::Delete || c.kind == PendingChange::DeleteFolder) delete_one = name, ++deletes;
  }
  std::u16string text;
  const auto add = [&text](size_t n, const std::string& one, const char16_t* verb) {
    if (n == 0) return;
    text += (text.empty() ? u"" : u", ") + CountText(n, one, verb);
  };
  add(puts, put_one, u"Upload");
  add(copies, copy_one, u"Copy");
  add(deletes, delete_one, u"Delete");
  return WideToUtf8(text.empty() ? u"Change files" : text);
}

CommitOperation OperationOf(const PendingChange& c) {
  CommitOperation op;
  op.path = c.path;
  switch (c.kind) {
    case PendingChange::Put: {
      op.kind = CommitOperation::Kind::PutFile;
      op.local_path = c.local_path;
      UploadFile file;
      file.path = c.path;
      file.local_path = c.local_path;
      file.size = c.size;
      file.mtime = c.mtime;
      file.sample = c.sample;
      file.mode = !c.announced ? UploadFile::Mode::Unknown
                  : c.large    ? UploadFile::Mode::Lfs
                               : UploadFile::Mode::Regular;
      file.sha256 = c.sha256;
      op.prepared = std::move(file);
      break;
    }
    case PendingChange::CopyLarge:
      op.kind = CommitOperation::Kind::CopyLargeFile;
      op.lfs_oid = c.sha256;
      break;
    case PendingChange::Delete:
      op.kind = CommitOperation::Kind::DeleteFile;
      break;
    case PendingChange::DeleteFolder:
      op.kind = CommitOperation::Kind::DeleteFolder;
      break;
  }
  return op;
}

// What the commit made of a change: a file put carries the ids of the bytes the commit sent, so that a
// copy out right after it is checked as one after a listing is.
CommittedPath CommittedOf(const PendingChange& c, const CommitResult& result) {
  CommittedPath out;
  out.path = c.path;
  out.deleted = c.kind == PendingChange::Delete || c.kind == PendingChange::DeleteFolder;
  out.size = out.deleted ? 0 : c.size;
  if (c.kind == PendingChange::CopyLarge) out.lfs_oid = c.sha256;
  if (c.kind == PendingChange::Put) {
    const auto lfs = result.lfs_oids.find(c.path);
    if (lfs != result.lfs_oids.end()) out.lfs_oid = lfs->second;
    const auto blob = result.blob_ids.find(c.path);
    if (blob != result.blob_ids.end()) out.oid = blob->second;
  }
  return out;
}

std::u16string NotDoneText(const std::vector<PendingChange>& changes, size_t first, bool maybe = false) {
  std::u16string names;
  const size_t count = changes.size() - first;
  for (size_t i = first; i < changes.size() && i - first < kMaxNamesInMessage; ++i) {
    names += (names.empty() ? u"" : u", ") + changes[i].shown_name;
  }
  if (count > kMaxNamesInMessage) names += u" and " + WideDecimal(static_cast<int64_t>(count - kMaxNamesInMessage)) + u" more";
  return (maybe ? u"Perhaps not done on the hub: " : u"Not done on the hub: ") + names + u".";
}

void MakeRevisionDue(const std::string& repo_id, RepoType repo_type, const std::string& revision) {
  RevisionRecord record;
  if (!ReadRevisionRecord(CacheFolder(), repo_id, repo_type, revision, &record)) return;
  record.checked_at = 0;
  WriteRevisionRecord(CacheFolder(), repo_id, repo_type, revision, record);
}

std::u16string NamesText(const std::vector<std::u16string>& names) {
  std::u16string text;
  for (size_t i = 0; i < names.size() && i < kMaxNamesInMessage; ++i) text += (i ? u", " : u"") + names[i];
  if (names.size() > kMaxNamesInMessage) {
    text += u" and " + WideDecimal(static_cast<int64_t>(names.size() - kMaxNamesInMessage)) + u" more";
  }
  return text;
}

void AddParagraph(std::u16string* text, const std::u16string& more) {
  if (!more.empty()) *text += (text->empty() ? u"" : u"\n\n") + more;
}

// Commits the changes in commits of at most kMaxChangesPerCommit, in order, each on the one before;
// after each on the entry's own revision, the folders it touched list the new state. With a pull
// request the first opens it and the rest go on it; the folders, which list the revision, stay as they
// are. False with the message (why, and what is not on the hub) at the first that fails. `*message`
// may also hold what to tell when all went (files the hub's .gitignore left out, a pull request
// opened). `*end` says where the revision and the pull request are afterwards.
bool CommitPending(const PendingCommit& pending, const ProgressFn& progress, std::u16string* message,
                   CommittedEnd* end) {
  end->head = pending.parent_commit;
  end->pull_request = pending.pull_request;
  end->pull_request_head = pending.pull_request_head;
  const bool on_pull_request = pending.create_pr && !pending.pull_request.empty();
  std::string revision = on_pull_request ? pending.pull_request : pending.revision;
  bool create_pr = pending.create_pr && !on_pull_request;
  std::string parent = on_pull_request ? pending.pull_request_head : pending.parent_commit;
  std::u16string opened;  // the pull request this made
  std::vector<std::u16string> ignored;
  std::u16string failure;
  for (size_t first = 0; first < pending.changes.size(); first += kMaxChangesPerCommit) {
    const size_t last = std::min(pending.changes.size(), first + kMaxChangesPerCommit);
    const std::vector<PendingChange> part(pending.changes.begin() + first, pending.changes.begin() + last);
    CommitRequest request;
    request.target = TargetOf(pending.repo_id, pending.repo_type, revision, create_pr);
    request.summary = Summary(part);
    request.parent_commit = parent;
    request.revision_checked = true;  // every change passed Refusal, which asked it for the operation
    request.connections = DownloadConnections();
    request.progress = progress;
    for (const PendingChange& c : part) request.operations.push_back(OperationOf(c));
    const CommitResult result = CommitChanges(request);
    if (!result.outcome.Done()) {
      failure = result.outcome.message + u"\n" + NotDoneText(pending.changes, first, result.maybe_committed);
      // The user is asked to look again: the next listing asks the hub where the revision is now,
      // rather than showing the record of a moment ago.
      if (result.maybe_committed || result.outcome.end == WriteEnd::BranchMoved) {
        MakeRevisionDue(pending.repo_id, pending.repo_type, revision);
      }
      break;
    }
    std::vector<PendingChange> made;
    for (const PendingChange& c : part) {
      if (std::find(result.ignored.begin(), result.ignored.end(), c.path) == result.ignored.end()) {
        made.push_back(c);
      } else {
        ignored.push_back(c.shown_name);
      }
    }
    if (made.empty()) continue;  // the hub's .gitignore left out all: no commit, the next goes on the same parent
    LogMessage(u"Committed " + Utf8ToWide(request.summary) + u" to " + RepoText(request.target) + u": " +
               Utf8ToWide(result.commit_oid));
    if (!IsCommitId(result.commit_oid)) {
      // Made, but the hub's answer did not name it: a next commit on top cannot name its parent.
      if (last < pending.changes.size()) {
        failure = u"The hub's answer to a commit to " + RepoText(request.target) +
                  u" did not say which commit it made. Look at the folder again.\n" +
                  NotDoneText(pending.changes, last);
      }
      break;
    }
    if (create_pr) {
      const std::string url = result.pull_request_url;
      const size_t cut = url.rfind("/discussions/");
      const std::string number = cut == std::string::npos ? std::string() : url.substr(cut + 13);
      opened = u"The changes went to a new pull request on " + RepoText(request.target) + u": " + Utf8ToWide(url) +
               u"\nThe folder shows " + Utf8ToWide(pending.revision) +
               u", which has them once the pull request is merged.";
      if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
        // The rest cannot follow onto a pull request the answer did not name.
        if (last < pending.changes.size()) {
          failure = u"The hub's answer to a commit to " + RepoText(request.target) +
                    u" did not name the pull request it opened. Look at the repository's pull requests.\n" +
                    NotDoneText(pending.changes, last);
        }
        break;
      }
      revision = "refs/pr/" + number;
      create_pr = false;
      end->pull_request = revision;
    } else if (revision == pending.revision && IsCommitId(parent)) {
      std::vector<CommittedPath> paths;
      for (const PendingChange& c : made) paths.push_back(CommittedOf(c, result));
      NoteOwnCommit(CacheFolder(), pending.repo_id, pending.repo_type, pending.revision, parent, result.commit_oid,
                    paths, UnixNow());
      end->head = result.commit_oid;
    }
    if (revision == end->pull_request) end->pull_request_head = result.commit_oid;
    parent = result.commit_oid;
  }
  for (const PendingChange& c : pending.changes) {
    if (c.temporary) RemoveFileQuietly(c.local_path);
  }
  message->clear();
  AddParagraph(message, failure);
  if (!ignored.empty()) {
    const WriteTarget at = TargetOf(pending.repo_id, pending.repo_type, pending.revision, false);
    AddParagraph(message, u"The .gitignore of " + RepoText(at) + u" leaves out " + NamesText(ignored) +
                              u", so they were not copied.");
  }
  AddParagraph(message, opened);
  return failure.empty();
}

ProgressFn HostProgress(const std::u16string& source, const std::u16string& target) {
  return [source, target](int64_t done, int64_t total) {
    if (!g_state.progress) return true;
    int64_t percent = total >= 1 ? done * 100 / total : 0;
    percent = std::clamp<int64_t>(percent, 0, 100);
    std::u16string s = source, t = target;  // the callback takes mutable buffers
    return g_state.progress(g_state.plugin_number, ToHostPointer(s), ToHostPointer(t), static_cast<int32_t>(percent)) ==
           0;
  };
}

int32_t FailureCode(const WriteOutcome& out) {
  switch (out.end) {
    case WriteEnd::Cancelled:
      return kFileUserAbort;
    case WriteEnd::LocalUnreadable:
      return kFileReadError;
    case WriteEnd::ReadOnlyRevision:
      return kFileNotSupported;
    default:
      return kFileWriteError;
  }
}

bool HasOpenBatch() {
  StateLock guard(g_state.lock);
  return OpenBatch() != nullptr;
}

// Commits `changes` at once, alone, on the operation's parent: a move, or a change outside any operation.
bool CommitNow(const RepoLocation& loc, const std::string& parent, std::vector<PendingChange> changes,
               const ProgressFn& progress, bool* cancelled) {
  PendingCommit pending = FreshCommit(loc, parent);
  pending.changes = std::move(changes);
  {
    // A pull request an earlier commit of the operation opened takes this one too.
    StateLock guard(g_state.lock);
    if (WriteBatch* batch = OpenBatch()) {
      for (const PendingCommit& p : batch->commits) {
        if (SameRepository(p, loc) && p.create_pr == loc.create_pr) {
          pending.pull_request = p.pull_request;
          pending.pull_request_head = p.pull_request_head;
        }
      }
    }
  }
  std::u16string message;
  CommittedEnd end;
  const bool ok = CommitPending(pending, progress, &message, &end);
  if (!ok) {
    *cancelled = message.rfind(u"Cancelled", 0) == 0;
    if (!*cancelled) Note(message);
    return false;
  }
  if (!message.empty()) Note(message);
  if (end.head != parent) MoveOperationParent(loc, parent, end.head);
  if (!end.pull_request.empty()) NotePullRequest(loc, parent, end);
  return true;
}

PendingChange ChangeOf(PendingChange::Kind kind, const std::string& path, const std::u16string& shown) {
  PendingChange change;
  change.kind = kind;
  change.path = path;
  change.shown_name = shown;
  return change;
}

PendingChange PutChangeOf(const UploadFile& file, const std::u16string& shown) {
  PendingChange change = ChangeOf(PendingChange::Put, file.path, shown);
  change.local_path = file.local_path;
  change.size = file.size;
  change.mtime = file.mtime;
  change.sample = file.sample;
  change.large = file.mode == UploadFile::Mode::Lfs;
  change.announced = file.mode != UploadFile::Mode::Unknown;
  change.sha256 = file.sha256;
  return change;
}

// The checks every change inside a repository passes first; a host code when it may not go ahead.
std::optional<int32_t> Refusal(const RepoLocation& loc) {
  if (!IsCommitPath(loc.path)) {
    Note(u"\"" + Utf8ToWide(loc.path) + u"\" cannot be a path in " + RepoText(TargetOf(loc)) + u".");
    return kFileWriteError;
  }
  const WriteOutcome revision = RevisionTakesChanges(loc);
  if (!revision.Done()) {
    Note(revision.message);
    return FailureCode(revision);
  }
  return std::nullopt;
}

// A regular file's bytes at the listed commit, into a file of the module's own.
bool DownloadListed(const RepoLocation& loc, const std::string& path, const std::u16string& local,
                    const ProgressFn& progress, bool* cancelled) {
  DownloadRequest request;
  request.repo_id = loc.repo_id;
  request.repo_type = loc.repo_type;
  request.revision = loc.revision;
  request.file_path = path;
  request.local_path = local;
  request.api_key = ApiKeyUtf8();
  request.listed = ListedFile(loc.repo_id, path, loc.repo_type, loc.revision, false);
  request.commit = IsCommitId(request.listed.commit) ? request.listed.commit : std::string();
  request.connections = DownloadConnections();
  request.progress = progress;
  const DownloadResult result = DownloadFile(std::move(request));
  *cancelled = result == DownloadCancelled;
  return result == DownloadOk;
}

std::u16string RenameTempPath() {
  static std::atomic<uint32_t> counter{0};
  const std::u16string folder = JoinFsPath(CacheFolder(), u"renames");
  PlatformCreateFolders(folder);
  return JoinFsPath(folder, WideDecimal(PlatformThreadId()) + u"-" + WideDecimal(UnixNow()) + u"-" +
                                WideDecimal(++counter));
}

}  // namespace

bool IsWriteOperation(int32_t operation) {
  switch (operation) {
    case kOpPutOne:
    case kOpPutSeveral:
    case kOpRenameOne:
    case kOpRenameSeveral:
    case kOpDelete:
    case kOpMakeFolder:
    case kOpSyncPut:
    case kOpSyncDelete:
    case kOpPutBackground:
      return true;
    default:
      return false;
  }
}

void BeginWriteOperation(int32_t operation) {
  StateLock guard(g_state.lock);
  WriteBatch& batch = g_state.write_batches[PlatformThreadId()];
  if (batch.depth++ == 0) batch.operation = operation;
}

void EndWriteOperation(const std::u16string& remote_dir) {
  WriteBatch batch;
  {
    StateLock guard(g_state.lock);
    const auto found = g_state.write_batches.find(PlatformThreadId());
    if (found == g_state.write_batches.end()) return;
    if (--found->second.depth > 0) return;
    batch = std::move(found->second);
    g_state.write_batches.erase(found);
  }
  std::u16string told;
  for (const std::u16string& message : batch.messages) told += (told.empty() ? u"" : u"\n\n") + message;
  for (const PendingCommit& pending : batch.commits) {
    if (pending.changes.empty()) continue;
    std::u16string message;
    CommittedEnd end;
    CommitPending(pending, HostProgress(remote_dir, remote_dir), &message, &end);
    AddParagraph(&told, message);
  }
  if (!told.empty()) TellNow(told);
}

int32_t PutFile(const std::u16string& local, const std::u16string& remote, int32_t flags) {
  if (flags & kCopyResume) return kFileNotSupported;  // a commit has no half-sent file to go on with
  const VirtualPath c = SplitPath(remote);
  RepoLocation loc;
  if (!Locate(c, &loc) || !loc.allow || loc.path.empty()) return kFileNotSupported;
  if (const auto refused = Refusal(loc)) return *refused;

  const ListedFolder listed = ListFolder(loc, FolderOf(loc.path));
  const TreeItem* existing = listed.Item(loc.path);
  if (existing && existing->type == "directory") {
    Note(u"\"" + Utf8ToWide(loc.path) + u"\" is a folder in " + RepoText(TargetOf(loc)) + u": no file can take its place.");
    return kFileWriteError;
  }
  if ((existing || PendingWriteAt(loc, loc.path)) && !(flags & kCopyOverwrite)) return kFileExists;
  std::string parent;
  if (!ParentFor(loc, loc.path, &parent)) return kFileWriteError;

  const std::u16string shown = c.back();
  UploadFile file;
  file.path = loc.path;
  file.local_path = local;
  if (!(flags & kCopyMove) && HasOpenBatch()) {
    std::vector<UploadFile> read(1, file);
    const WriteOutcome outcome = ReadLocalFiles(&read);
    if (!outcome.Done()) {
      Note(outcome.message);
      return FailureCode(outcome);
    }
    if (read[0].size <= kAskedAtCommitBytes && AddToBatch(loc, parent, PutChangeOf(read[0], shown))) return kFileOk;
  }
  const ProgressFn progress = HostProgress(local, remote);
  const WriteOutcome prepared = PrepareUpload(TargetOf(loc), &file, DownloadConnections(), progress);
  if (!prepared.Done()) {
    if (prepared.end != WriteEnd::Cancelled) Note(prepared.message);
    return FailureCode(prepared);
  }
  if (file.mode == UploadFile::Mode::Ignored) {
    Note(u"The .gitignore of " + RepoText(TargetOf(loc)) + u" leaves out " + Utf8ToWide(loc.path) +
         u", so it was not copied.");
    return kFileWriteError;
  }
  // A moved file's local copy goes as soon as this answers: it is committed first, on its own.
  if (!(flags & kCopyMove) && AddToBatch(loc, parent, PutChangeOf(file, shown))) return kFileOk;
  bool cancelled = false;
  if (!CommitNow(loc, parent, {PutChangeOf(file, shown)}, progress, &cancelled)) {
    return cancelled ? kFileUserAbort : kFileWriteError;
  }
  return kFileOk;
}

std::optional<bool> DeleteInRepository(const VirtualPath& c, bool folder) {
  RepoLocation loc;
  if (!Locate(c, &loc) || !loc.allow || loc.path.empty()) return std::nullopt;
  const std::u16string normalized = PathPrefix(c, c.size());
  bool made = false;
  if (folder) {
    StateLock guard(g_state.lock);
    made = g_state.made_folders.erase(normalized) != 0;
  }
  if (!IsCommitPath(loc.path)) return false;
  const ListedFolder listed = ListFolder(loc, FolderOf(loc.path));
  const TreeItem* item = listed.Item(loc.path);
  const bool on_hub = item && (item->type == "directory") == folder;
  if (!on_hub) {
    // Only what this operation put there (or a folder made here) goes; nothing on the hub to delete.
    return DropFromBatch(loc, loc.path, folder) || made;
  }
  if (const auto refused = Refusal(loc)) return false;
  std::string parent;
  if (!ParentFor(loc, loc.path, &parent)) return false;
  PendingChange change =
      ChangeOf(folder ? PendingChange::DeleteFolder : PendingChange::Delete, loc.path, c.back());
  if (AddToBatch(loc, parent, change)) return true;
  bool cancelled = false;
  return CommitNow(loc, parent, {change}, ProgressFn(), &cancelled);
}

std::optional<int32_t> RenameInRepository(const VirtualPath& from, const VirtualPath& to, bool move, bool overwrite) {
  RepoLocation source, target;
  const bool from_inside = Locate(from, &source) && !source.path.empty();
  const bool to_inside = Locate(to, &target) && !target.path.empty();
  if (!from_inside && !to_inside) return std::nullopt;
  if (!from_inside || !to_inside || !source.allow || !target.allow) return kFileNotSupported;
  if (RepoKey(source) != RepoKey(target) || source.create_pr != target.create_pr) return kFileNotSupported;
  if (source.path == target.path) return kFileOk;
  if (!IsCommitPath(source.path)) return kFileNotFound;
  const ListedFolder source_folder = ListFolder(source, FolderOf(source.path));
  const TreeItem* item = source_folder.Item(source.path);
  if (!item) return kFileNotFound;
  // A folder would need every file below it in one commit; that is not offered.
  if (item->type == "directory") return kFileNotSupported;
  if (const auto refused = Refusal(target)) return *refused;
  const ListedFolder target_folder = ListFolder(target, FolderOf(target.path));
  const TreeItem* existing = target_folder.Item(target.path);
  if (existing && existing->type == "directory") return kFileWriteError;
  if ((existing || PendingWriteAt(target, target.path)) && !overwrite) return kFileExists;
  std::string parent, target_parent;
  if (!ParentFor(source, source.path, &parent) || !ParentFor(target, target.path, &target_parent)) {
    return kFileWriteError;
  }
  if (parent != target_parent) {
    Note(MovedMessage(target));
    return kFileWriteError;
  }

  const std::u16string shown = to.back();
  std::vector<PendingChange> changes;
  const std::u16string source_text = PathPrefix(from, from.size()), target_text = PathPrefix(to, to.size());
  if (item->lfs_oid.size() == 64 && item->lfs_oid.find_first_not_of("0123456789abcdef") == std::string::npos) {
    // The hub copies the object it holds: no byte is sent.
    PendingChange copy = ChangeOf(PendingChange::CopyLarge, target.path, shown);
    copy.sha256 = item->lfs_oid;
    copy.size = item->size;
    changes.push_back(std::move(copy));
  } else {
    const std::u16string temporary = RenameTempPath();
    const ProgressFn progress = HostProgress(source_text, target_text);
    bool cancelled = false;
    if (!DownloadListed(source, source.path, temporary, progress, &cancelled)) {
      RemoveFileQuietly(temporary);
      return cancelled ? kFileUserAbort : kFileReadError;
    }
    UploadFile file;
    file.path = target.path;
    file.local_path = temporary;
    const WriteOutcome prepared = PrepareUpload(TargetOf(target), &file, DownloadConnections(), progress);
    if (!prepared.Done() || file.mode == UploadFile::Mode::Ignored) {
      RemoveFileQuietly(temporary);
      if (!prepared.Done() && prepared.end != WriteEnd::Cancelled) Note(prepared.message);
      return prepared.Done() ? kFileWriteError : FailureCode(prepared);
    }
    PendingChange put = PutChangeOf(file, shown);
    put.temporary = true;
    changes.push_back(std::move(put));
  }
  if (move) changes.push_back(ChangeOf(PendingChange::Delete, source.path, from.back()));

  if (HasOpenBatch()) {
    for (PendingChange& change : changes) AddToBatch(target, parent, std::move(change));
    return kFileOk;
  }
  bool cancelled = false;
  if (!CommitNow(target, parent, std::move(changes), HostProgress(source_text, target_text), &cancelled)) {
    return cancelled ? kFileUserAbort : kFileWriteError;
  }
  return kFileOk;
}

std::optional<bool> MakeFolderInRepository(const VirtualPath& c) {
  RepoLocation loc;
  if (!Locate(c, &loc) || !loc.allow || loc.path.empty()) return std::nullopt;
  if (!IsCommitPath(loc.path)) return false;
  // Nothing is committed for an empty folder (git keeps none): it shows until files arrive in it.
  StateLock guard(g_state.lock);
  g_state.made_folders.insert(PathPrefix(c, c.size()));
  return true;
}

std::optional<Listing> MadeFolderListing(const VirtualPath& c) {
  {
    StateLock guard(g_state.lock);
    if (!g_state.made_folders.count(PathPrefix(c, c.size()))) return std::nullopt;
  }
  RepoLocation loc;
  if (!Locate(c, &loc)) return std::nullopt;
  const ListedFolder parent = ReadListedFolder(loc, FolderOf(loc.path));
  if (ReadListedFolder(loc, loc.path).found || (parent.found && parent.Item(loc.path))) {
    // Files arrived: the hub lists it now.
    StateLock guard(g_state.lock);
    g_state.made_folders.erase(PathPrefix(c, c.size()));
    return std::nullopt;
  }
  return Listing();
}

void AddMadeFolders(const VirtualPath& c, Listing* listing) {
  const std::u16string prefix = PathPrefix(c, c.size()) + u"\\";
  StateLock guard(g_state.lock);
  auto& made = g_state.made_folders;
  for (auto it = made.lower_bound(prefix); it != made.end() && it->compare(0, prefix.size(), prefix) == 0;) {
    const std::u16string name = it->substr(prefix.size());
    if (name.find(u'\\') != std::u16string::npos) {
      ++it;
      continue;
    }
    const bool listed = std::any_of(listing->begin(), listing->end(), [&](const ListItem& i) { return i.name == name; });
    if (listed) {
      it = made.erase(it);
      continue;
    }
    ListItem item;
    item.name = name;
    item.folder = true;
    item.time = UnixNow();
    listing->push_back(std::move(item));
    ++it;
  }
}

void TellQueuedWriteMessages() noexcept {
  if (!IsMainThread()) return;
  try {
    std::vector<std::u16string> messages;
    {
      StateLock guard(g_state.lock);
      messages.swap(g_state.queued_messages);
    }
    for (const std::u16string& message : messages) AskHost(kRequestMessageOk, u"HuggingFace", message, nullptr);
  } catch (...) {
    // Out of memory for a message: it goes untold, the export goes on.
  }
}
