// The folder dispatch below an entry, the recursive-walk guard, and the paging item's paths.
#include "plugin/folders.h"

#include "config/entries_from_url.h"
#include "core/state.h"
#include "core/text.h"
#include "ui/dialogs.h"

namespace {

// The host holds `parent` open while it walks a selection recursively; answer with an empty folder
// instead of fetching every repository below it.
bool GuardedByOpenListing(const std::u16string& parent, const char16_t* line, const std::u16string& host_path) {
  if (!IsListingOpen(parent)) return false;
  LogMessage(line + host_path);
  return true;
}

Listing DispatchOrgModels(const Entry& entry, const VirtualPath& c, const std::u16string& host_path) {
  if (c.size() == 1) {
    if (GuardedByOpenListing(u"\\", u"FastPath(delete root): ", host_path)) return {};
    return EnumOrgRepos(entry);
  }
  if (c.size() == 2 && IsPagingItemName(c[1])) {
    LoadNextPageAt(host_path);
    return EnumOrgRepos(entry);
  }
  if (GuardedByOpenListing(PathPrefix(c, 1), u"FastPath(delete): ", host_path)) return {};
  return EnumModelTree(entry.org + "/" + WideToUtf8(c[1]), JoinRepoPath(c, 2), entry.repo_type, "main",
                       PathPrefix(c, c.size()), entry.cache_enabled);
}

Listing DispatchOrgCollections(const Entry& entry, const VirtualPath& c, const std::u16string& host_path) {
  if (c.size() == 1) {
    if (GuardedByOpenListing(u"\\", u"FastPath(delete root): ", host_path)) return {};
    return EnumOrgCollections(entry.org);
  }
  if (c.size() == 2) return EnumCollectionModels(entry.org, WideToUtf8(c[1]));
  if (GuardedByOpenListing(PathPrefix(c, 2), u"FastPath(delete): ", host_path)) return {};
  const std::string repo_id = ResolveCollectionRepoId(entry.org, WideToUtf8(c[1]), WideToUtf8(c[2]));
  if (repo_id.empty()) return {};
  const std::string sub_path = JoinRepoPath(c, 3);
  LogMessage(u"Collection model: repoId=" + Utf8ToWide(repo_id) + u" treePath=" + Utf8ToWide(sub_path));
  // Collections hold models only, whatever kind of repository the entry names.
  return EnumModelTree(repo_id, sub_path, ModelRepo, "main", PathPrefix(c, c.size()), entry.cache_enabled);
}

Listing DispatchSingleModel(const Entry& entry, const VirtualPath& c, const std::u16string& host_path) {
  if (c.size() == 1) {
    if (GuardedByOpenListing(u"\\", u"FastPath(delete root): ", host_path)) return {};
    return EnumModelTree(entry.repo_id, std::string(), entry.repo_type, entry.revision,
                         PathPrefix(c, c.size()), entry.cache_enabled);
  }
  if (GuardedByOpenListing(PathPrefix(c, 1), u"FastPath(delete): ", host_path)) return {};
  return EnumModelTree(entry.repo_id, JoinRepoPath(c, 1), entry.repo_type, entry.revision,
                       PathPrefix(c, c.size()), entry.cache_enabled);
}

}  // namespace

std::optional<Listing> EnumFolder(const Entry& entry, const VirtualPath& components, const std::u16string& host_path) {
  if (components.empty()) return std::nullopt;
  switch (entry.type) {
    case OrgModels:
      return DispatchOrgModels(entry, components, host_path);
    case OrgCollections:
      return DispatchOrgCollections(entry, components, host_path);
    case SingleModel:
      return DispatchSingleModel(entry, components, host_path);
    default:
      return std::nullopt;
  }
}

std::optional<Listing> EnumTemporary(const VirtualPath& components, const std::u16string& host_path) {
  Entry copy;
  bool present = false;
  {
    StateLock guard(g_state.lock);
    present = g_state.temporary_present;
    if (present) copy = g_state.temporary_entry;
  }
  if (!present) {
    // Dialogs belong to the main thread: a background copy still walking this folder after the user
    // went back to the root finds nothing here.
    if (!IsMainThread()) return std::nullopt;
    // Asked without the lock; two listings at once may both ask, and the last entry stored wins.
    std::u16string address;
    if (!ShowTemporaryDialog(CurrentForegroundWindow(), &address)) return std::nullopt;
    if (!MakeTemporaryEntry(address, &copy)) {
      LogMessage(u"Temp URL parse failed: " + address);
      return std::nullopt;
    }
    StateLock guard(g_state.lock);
    g_state.temporary_entry = copy;
    g_state.temporary_present = true;
  }
  return EnumFolder(copy, components, host_path);
}

bool IsLoadNextItem(const std::u16string& path) {
  const VirtualPath c = SplitPath(path);
  if (c.size() != 2 || !IsPagingItemName(c[1])) return false;
  StateLock guard(g_state.lock);
  if (c[0] == kTemporaryName) return g_state.temporary_present && g_state.temporary_entry.type == OrgModels;
  const Entry* entry = FindEntryByName(c[0]);
  return entry != nullptr && entry->type == OrgModels;
}

bool LoadNextPageAt(const std::u16string& path) {
  const VirtualPath c = SplitPath(path);
  if (c.size() != 2 || !IsPagingItemName(c[1])) return false;
  const bool temporary = c[0] == kTemporaryName;
  Entry entry;
  {
    StateLock guard(g_state.lock);
    const Entry* found = temporary ? (g_state.temporary_present ? &g_state.temporary_entry : nullptr)
                                   : FindEntryByName(c[0]);
    if (!found) return false;
    entry = *found;
  }
  return LoadNextPage(entry, temporary);
}
