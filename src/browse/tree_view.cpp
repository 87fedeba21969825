// A repository's files and folders: the whole tree fetched (or read from the cache) once per listing,
// and the one level the host asked for cut out of it.
#include "browse/browse.h"
#include "core/state.h"
#include "core/text.h"
#include "core/time.h"

Listing EnumModelTree(const std::string& repo_id, const std::string& sub_path, uint32_t is_dataset) {
  LogMessage(u"EnumModelTree: " + Utf8ToWide(repo_id) + u" path=" + Utf8ToWide(sub_path));
  const std::vector<TreeItem> children = ChildrenOf(FetchModelTree(repo_id, is_dataset), sub_path);
  Listing listing;
  listing.reserve(children.size());
  for (const TreeItem& child : children) {
    const size_t slash = child.path.rfind('/');
    std::u16string name = Utf8ToWide(slash == std::string::npos ? child.path : child.path.substr(slash + 1));
    if (!IsHostSafeName(name)) continue;
    const bool folder = child.type == "directory";
    listing.push_back({std::move(name), folder, folder ? 0 : child.size, child.mtime});
  }
  return listing;
}

std::vector<TreeItem> FetchModelTree(const std::string& repo_id, uint32_t is_dataset, bool use_cache,
                                     FetchOutcome* ended) {
  TreeCache cached;
  if (use_cache && LoadFreshTreeCache(repo_id, is_dataset, &cached)) {
    if (ended) *ended = FetchOutcome{200, true};  // only whole listings are stored
    return std::move(cached.files);
  }

  FetchOutcome outcome;
  std::vector<TreeItem> items = FetchRepoTree(repo_id, ApiKeyUtf8(), &outcome, is_dataset);
  if (ended) *ended = outcome;
  if (outcome.complete) {
    // An empty repository is a valid answer and is kept like any other.
    TreeCache record;
    record.repo_id = repo_id;
    record.is_dataset = is_dataset;
    record.fetched_at = UnixNow();
    record.files = std::move(items);  // a tree may be large: stored and returned without a copy
    SaveTreeCache(record);
    return std::move(record.files);
  } else if (outcome.status == 401 || outcome.status == 403) {
    PromptGatedRepo(repo_id, is_dataset);
  } else {
    // Shown as far as it got, never stored: the next listing asks again.
    LogMessage(u"ModelTree fetch failed: " + Utf8ToWide(repo_id) + u" status=" + WideDecimal(outcome.status));
  }
  return items;
}

ListedContent ListedFile(const std::string& repo_id, const std::string& file_path, uint32_t is_dataset,
                         bool refresh) {
  TreeCache cached;
  FetchOutcome outcome;
  std::vector<TreeItem> items;
  if (refresh) {
    items = FetchModelTree(repo_id, is_dataset, false, &outcome);
  } else if (LoadTreeCacheOfAnyAge(repo_id, is_dataset, &cached)) {
    items = std::move(cached.files);
    outcome.complete = true;  // only whole listings are stored
  }
  ListedContent listed;
  listed.complete = outcome.complete;
  for (const TreeItem& item : items) {
    if (item.type != "file" || item.path != file_path) continue;
    listed.size = item.size;
    listed.mtime = item.mtime;
    listed.oid = item.oid;
    listed.lfs_oid = item.lfs_oid;
    break;
  }
  return listed;
}

std::vector<TreeItem> ChildrenOf(const std::vector<TreeItem>& items, const std::string& sub_path) {
  std::vector<TreeItem> children;
  if (sub_path.empty()) {
    for (const TreeItem& item : items) {
      if (!item.path.empty() && item.path.find('/') == std::string::npos) children.push_back(item);
    }
    return children;
  }
  const std::string prefix = sub_path + "/";
  for (const TreeItem& item : items) {
    if (item.path.size() <= prefix.size() || item.path.compare(0, prefix.size(), prefix) != 0) continue;
    if (item.path.find('/', prefix.size()) == std::string::npos) children.push_back(item);
  }
  return children;
}
