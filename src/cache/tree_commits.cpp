// The repository's small record (which commit its revision is at, when that was last asked, the links
// of this module's own commits) and what a commit of its own does to the folder records.
#include "cache/tree_commits.h"

#include <algorithm>
#include <set>

#include "core/files.h"
#include "core/json.h"
#include "core/text.h"
#include "core/time.h"
#include "platform/platform.h"

namespace {

using nlohmann::json;

constexpr int kRevisionRecordFormat = 1;
constexpr size_t kMaxRevisionRecordBytes = 1u << 20;
constexpr size_t kMaxChangedFolders = 10000;  // a commit's folders; more is no record of ours

std::u16string RevisionRecordPath(const std::u16string& cache_folder, const std::string& repo_id,
                                  RepoType repo_type, const std::string& revision) {
  return JoinFsPath(TreeRecordsFolder(cache_folder, repo_id, repo_type, revision), u"revision.json");
}

std::string ParentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool Changes(const CommitLink& link, const std::string& folder) {
  const std::string below = folder + "/";
  for (const std::string& changed : link.changed_folders) {
    if (changed == folder) return true;
    if (!changed.empty() && changed.back() == '/' && below.compare(0, changed.size(), changed) == 0) return true;
  }
  return false;
}

const CommitLink* LinkTo(const RevisionRecord& record, const std::string& commit) {
  for (auto link = record.links.rbegin(); link != record.links.rend(); ++link) {
    if (link->commit == commit) return &*link;
  }
  return nullptr;
}

// The hub lists a folder's folders first, then its files, each in name order: a new item goes where
// the hub would put it, and the others keep their places.
void InsertInOrder(std::vector<TreeItem>* items, TreeItem item) {
  const bool folder = item.type == "directory";
  auto at = items->begin();
  if (!folder) {
    while (at != items->end() && at->type == "directory") ++at;
  }
  while (at != items->end() && (at->type == "directory") == folder && at->path < item.path) ++at;
  items->insert(at, std::move(item));
}

std::vector<TreeItem>::iterator ItemAt(std::vector<TreeItem>* items, const std::string& path) {
  return std::find_if(items->begin(), items->end(), [&path](const TreeItem& item) { return item.path == path; });
}

}  // namespace

bool ReadRevisionRecord(const std::u16string& cache_folder, const std::string& repo_id, RepoType repo_type,
                        const std::string& revision, RevisionRecord* out) {
  try {
    std::string text;
    if (!ReadFileBytes(RevisionRecordPath(cache_folder, repo_id, repo_type, revision), &text,
                       kMaxRevisionRecordBytes)) {
      return false;
    }
    const json document = ParseJson(text);
    const json* identity = JsonObject(document, "identity");
    if (!identity || JsonInt32(document, "format") != kRevisionRecordFormat ||
        JsonString(*identity, "repo_id") != repo_id || JsonString(*identity, "kind") != RepoTypeName(repo_type) ||
        JsonString(*identity, "revision") != revision) {
      return false;
    }
    RevisionRecord record;
    record.commit = JsonString(document, "commit");
    if (!record.commit.empty() && !IsCommitId(record.commit)) return false;
    record.checked_at = JsonInt64(document, "checked_at");
    if (const json* links = JsonArray(document, "links")) {
      for (const json& element : *links) {
        CommitLink link;
        link.commit = JsonString(element, "commit");
        link.parent = JsonString(element, "parent");
        const json* changed = JsonArray(element, "changed_folders");
        if (!IsCommitId(link.commit) || !IsCommitId(link.parent) || !changed ||
            changed->size() > kMaxChangedFolders) {
          continue;  // a link of another shape leads nowhere: its records are listed again
        }
        for (const json& folder : *changed) {
          if (folder.is_string()) link.changed_folders.push_back(folder.get<std::string>());
        }
        record.links.push_back(std::move(link));
      }
    }
    if (record.links.size() > kMaxCommitLinks) {
      record.links.erase(record.links.begin(), record.links.end() - kMaxCommitLinks);
    }
    *out = std::move(record);
    return true;
  } catch (...) {
    return false;
  }
}

bool WriteRevisionRecord(const std::u16string& cache_folder, const std::string& repo_id, RepoType repo_type,
                         const std::string& revision, const RevisionRecord& record) {
  try {
    json links = json::array();
    for (const CommitLink& link : record.links) {
      links.push_back({{"commit", link.commit}, {"parent", link.parent}, {"changed_folders", link.changed_folders}});
    }
    const json document = {
        {"type", "tree-revision"},
        {"format", kRevisionRecordFormat},
        {"identity", {{"repo_id", repo_id}, {"kind", RepoTypeName(repo_type)}, {"revision", revision}}},
        {"commit", record.commit},
        {"checked_at", record.checked_at},
        {"links", std::move(links)}};
    PlatformCreateFolders(TreeRecordsFolder(cache_folder, repo_id, repo_type, revision));
    return WriteJsonFileAtomic(RevisionRecordPath(cache_folder, repo_id, repo_type, revision), document, false);
  } catch (...) {
    return false;
  }
}

bool ShowsRecordedCommit(const RevisionRecord& record, const std::string& listed_commit, const std::string& folder) {
  if (listed_commit.empty()) return false;  // listed at a branch's name: at no known commit
  std::string at = record.commit;
  for (size_t step = 0; step <= record.links.size(); ++step) {
    if (at == listed_commit) return true;
    const CommitLink* link = LinkTo(record, at);
    if (!link || Changes(*link, folder)) return false;
    at = link->parent;
  }
  return false;
}

void NoteResolvedCommit(RevisionRecord* record, const std::string& commit, int64_t now) {
  if (record->commit != commit) {
    if (!LinkTo(*record, commit)) record->links.clear();  // someone else's commit: nothing leads there
    record->commit = commit;
  }
  record->checked_at = now;
}

std::vector<std::string> FoldersChangedBy(const std::vector<CommittedPath>& paths) {
  std::set<std::string> folders;
  for (const CommittedPath& p : paths) {
    if (p.path.empty()) continue;
    for (std::string folder = ParentOf(p.path);; folder = ParentOf(folder)) {
      if (!folders.insert(folder).second) break;  // its parents are in already
      if (folder.empty()) break;
    }
    if (p.deleted) folders.insert(p.path + "/");
  }
  return std::vector<std::string>(folders.begin(), folders.end());
}

bool FolderAfterCommit(const TreeFolderRecord& at_parent, const std::vector<CommittedPath>& paths,
                       const std::string& commit, int64_t committed_at, TreeFolderRecord* out) {
  TreeFolderRecord record = at_parent;
  const std::string prefix = record.folder.empty() ? std::string() : record.folder + "/";
  for (const CommittedPath& p : paths) {
    if (p.path.size() <= prefix.size() || p.path.compare(0, prefix.size(), prefix) != 0) continue;
    const size_t slash = p.path.find('/', prefix.size());
    if (slash == std::string::npos) {  // one of the folder's own items
      const auto found = ItemAt(&record.items, p.path);
      if (found != record.items.end()) record.items.erase(found);
      if (p.deleted) continue;
      TreeItem file;
      file.type = "file";
      file.path = p.path;
      file.size = p.size;
      file.mtime = committed_at;
      file.oid = p.oid;
      file.lfs_oid = p.lfs_oid;
      InsertInOrder(&record.items, std::move(file));
      continue;
    }
    if (p.deleted) return false;  // its child folder may have gone with the path
    const std::string child = p.path.substr(0, slash);
    const auto found = ItemAt(&record.items, child);
    if (found != record.items.end() && found->type == "directory") {
      found->mtime = committed_at;
      found->oid.clear();  // its git tree id changed, to one only the hub knows
      continue;
    }
    if (found != record.items.end()) record.items.erase(found);
    TreeItem folder;
    folder.type = "directory";
    folder.path = child;
    folder.mtime = committed_at;
    InsertInOrder(&record.items, std::move(folder));
  }
  record.commit = commit;
  record.fetch_id = NewFetchId();
  record.fetched_at = committed_at;
  *out = std::move(record);
  return true;
}

bool NoteOwnCommit(const std::u16string& cache_folder, const std::string& repo_id, RepoType repo_type,
                   const std::string& revision, const std::string& parent, const std::string& commit,
                   const std::vector<CommittedPath>& paths, int64_t committed_at) {
  if (!IsCommitId(parent) || !IsCommitId(commit)) return false;
  try {
    RevisionRecord record;
    ReadRevisionRecord(cache_folder, repo_id, repo_type, revision, &record);  // none: only this link
    const std::vector<std::string> changed = FoldersChangedBy(paths);
    // Decided against the record as it was: which changed folders' records show the parent.
    struct Brought {
      TreeFolderRecord before, after;
    };
    std::vector<Brought> brought;
    for (const std::string& folder : changed) {
      if (!folder.empty() && folder.back() == '/') continue;
      TreeFolderRecord before;
      if (!ReadTreeFolderRecord(cache_folder, repo_id, repo_type, revision, folder, TreeRecordRead::Whole, &before)) {
        continue;
      }
      const bool at_parent = before.commit == parent ||
                             (record.commit == parent && ShowsRecordedCommit(record, before.commit, folder));
      TreeFolderRecord after;
      if (at_parent && FolderAfterCommit(before, paths, commit, committed_at, &after)) {
        brought.push_back({std::move(before), std::move(after)});
      }
    }
    // The link first: a listing meanwhile then lists a changed folder at the commit, not at the parent.
    record.links.push_back({commit, parent, changed});
    if (record.links.size() > kMaxCommitLinks) {
      record.links.erase(record.links.begin(), record.links.end() - kMaxCommitLinks);
    }
    record.commit = commit;
    record.checked_at = UnixNow();
    if (!WriteRevisionRecord(cache_folder, repo_id, repo_type, revision, record)) return false;
    for (const Brought& b : brought) {
      // Unless a listing put another record there since it was read.
      UpdateTreeFolderRecord(cache_folder, repo_id, repo_type, revision, b.before.folder,
                             [&b](bool exists, TreeFolderRecord* now) {
                               if (!exists || now->fetch_id != b.before.fetch_id || now->commit != b.before.commit) {
                                 return false;
                               }
                               *now = b.after;
                               return true;
                             });
    }
    return true;
  } catch (...) {
    return false;
  }
}
