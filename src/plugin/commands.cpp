// Commands on the tree: open, edit and properties with their dialogs, the settings commands typed in
// the plugin's folder, delete and rename of entry folders, make folder, and the paging item.
#include <algorithm>

#include "config/favorites.h"
#include "core/state.h"
#include "core/text.h"
#include "hub/ratelimit.h"
#include "plugin/commands.h"
#include "plugin/folders.h"
#include "plugin/host_text.h"
#include "plugin/vpath.h"
#include "plugin/writes.h"
#include "ui/dialogs.h"
#include "ui/resource.h"

namespace {

// Only an entry folder is ever deleted (never anything on the hub); a delete that removes nothing
// answers false, so the host does not report as gone what is still listed.
HostBool DeleteEntryFolder(HostChar* remote_name) {
  try {
    const VirtualPath components = SplitPath(FromHost(remote_name));
    if (components.size() != 1) return 0;
    const std::u16string& name = components[0];
    if (IsSpecialName(name)) return 0;
    {
      StateLock guard(g_state.lock);
      auto& entries = g_state.entries;
      const auto kept = std::remove_if(entries.begin(), entries.end(),
                                       [&](const Entry& e) { return e.display_name == name; });
      if (kept == entries.end()) return 0;
      entries.erase(kept, entries.end());
      g_state.delete_suppressed.insert(name);
    }
    SaveFavorites();
    return 1;
  } catch (...) {
    return 0;
  }
}

// Folders below an entry that the host must be told to enter ("open" on their reparse-point record).
bool IsEnterableFolder(const VirtualPath& c) {
  StateLock guard(g_state.lock);
  const Entry* entry = c[0] == kTemporaryName ? (g_state.temporary_present ? &g_state.temporary_entry : nullptr)
                                              : FindEntryByName(c[0]);
  if (!entry) return false;
  return (entry->type == OrgModels && c.size() == 2) ||
         (entry->type == OrgCollections && (c.size() == 2 || c.size() == 3));
}

// "quote export PATH", "quote export-with-key PATH", "quote import PATH", "quote import-replace PATH":
// false when the text is none of them.
bool RunSettingsCommand(HostWindow window, const std::u16string& verb) {
  const std::u16string prefix = u"quote ";
  if (verb.size() <= prefix.size() || !EqualsNoCaseAscii(verb.substr(0, prefix.size()), prefix)) return false;
  std::u16string rest = verb.substr(prefix.size());
  const size_t word_end = rest.find(u' ');
  if (word_end == std::u16string::npos) return false;
  const std::u16string word = rest.substr(0, word_end);
  std::u16string path = rest.substr(word_end + 1);
  while (!path.empty() && path.front() == u' ') path.erase(0, 1);
  while (!path.empty() && path.back() == u' ') path.pop_back();
  if (path.size() >= 2 && path.front() == u'"' && path.back() == u'"') path = path.substr(1, path.size() - 2);
  if (path.empty()) return false;
  const DialogServices services = ServicesFor(window);
  if (EqualsNoCaseAscii(word, u"export")) {
    ExportSettingsCommand(path, false, services);
  } else if (EqualsNoCaseAscii(word, u"export-with-key")) {
    ExportSettingsCommand(path, true, services);
  } else if (EqualsNoCaseAscii(word, u"import")) {
    ImportSettingsCommand(path, false, services);
  } else if (EqualsNoCaseAscii(word, u"import-replace")) {
    ImportSettingsCommand(path, true, services);
  } else {
    return false;
  }
  return true;
}

// The Space a path names directly below an organisation's Spaces entry (or the temporary one listing
// them); empty for any other path.
std::string SpaceFolderAt(const VirtualPath& c) {
  if (c.size() != 2 || IsPagingItemName(c[1])) return std::string();
  StateLock guard(g_state.lock);
  const Entry* entry = c[0] == kTemporaryName ? (g_state.temporary_present ? &g_state.temporary_entry : nullptr)
                                              : FindEntryByName(c[0]);
  if (!entry || entry->type != OrgModels || entry->repo_type != SpaceRepo) return std::string();
  return entry->org + "/" + WideToUtf8(c[1]);
}

int32_t GoToRoot(HostChar* remote_name) {
  CopyToHost(remote_name, 260, HostPathPrefix({}, 0));
  return kExecSymlink;
}

}  // namespace

void EditEntrySettings(HostWindow window, const std::u16string& name) {
  Entry copy;
  {
    StateLock guard(g_state.lock);
    const Entry* entry = FindEntryByName(name);
    if (!entry) return;
    copy = *entry;
  }
  const std::string sdk =
      copy.type == SingleModel && copy.repo_type == SpaceRepo ? SpaceSdk(copy.repo_id, copy.revision) : std::string();
  const EntrySettingsResult result = ShowEntrySettingsDialog(window, &copy, sdk);
  if (!result.accepted && !result.remove && !result.cache_reset) return;
  {
    StateLock guard(g_state.lock);
    auto& entries = g_state.entries;
    if (result.remove) {
      g_state.delete_suppressed.insert(copy.display_name);
      entries.erase(std::remove_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.id == copy.id; }),
                    entries.end());
    } else {
      auto stored = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.id == copy.id; });
      if (stored == entries.end()) return;
      if (!result.accepted) {
        stored->cached_at = 0;  // only the cache was reset
      } else {
        // A special name, another entry's name, an empty one (dropped at the next load) or one that is
        // no single path component is refused silently: the stored name stays, the rest is saved.
        const bool clash = std::any_of(entries.begin(), entries.end(), [&](const Entry& e) {
          return e.id != copy.id && e.display_name == copy.display_name;
        });
        if (!IsHostSafeName(copy.display_name) || IsSpecialName(copy.display_name) || clash) {
          copy.display_name = stored->display_name;
        }
        *stored = copy;
        g_state.delete_suppressed.erase(copy.display_name);
      }
    }
  }
  SaveFavorites();
}

extern "C" {

int32_t TARN_CALL FsExecuteFileW(HostWindow window, HostChar* remote_name, HostChar* verb_text) {
  StopDateWorker();  // every command on the main thread ends the date worker first
  try {
    const std::u16string remote = FromHost(remote_name);
    const std::u16string verb = FromHost(verb_text);
    const VirtualPath c = SplitPath(remote);
    TellRateLimitsOnMainThread();  // reached by a copy on another thread since the last listing
    TellQueuedWriteMessages();
    if (IsLoadNextItem(remote)) {
      if (LoadNextPageAt(remote) && !c.empty()) {
        CopyToHost(remote_name, 260, HostPathPrefix(c, 1));
        return kExecSymlink;
      }
      return kExecOk;
    }
    if (EqualsNoCaseAscii(verb, u"open")) {
      if (c.size() == 1 && (c[0] == kAddNewEntryName || c[0] == kSettingsName)) {
        if (c[0] == kSettingsName) {
          if (ShowSettingsDialog(window)) SaveFavorites();  // Cancel leaves favorites.json as it was
        } else {
          ShowAddEntryDialog(window);
          SaveFavorites();
        }
        return GoToRoot(remote_name);
      }
      if (c.size() >= 2 && IsEnterableFolder(c)) return kExecSymlink;
      return kExecHostHandles;
    }
    if (verb == u"edit") {
      ShowAddEntryDialog(window);
      SaveFavorites();
      return kExecOk;
    }
    if (verb == u"properties") {
      if (c.empty()) {
        ShowPropertiesDialog(window);
        return kExecOk;
      }
      if (c.size() > 1) {
        const std::string space = SpaceFolderAt(c);
        if (space.empty()) return kExecHostHandles;
        ShowSpaceProperties(space, SpaceSdk(space, "main"), ServicesFor(window));
        return kExecOk;
      }
      bool is_entry = false;
      {
        StateLock guard(g_state.lock);
        is_entry = FindEntryByName(c[0]) != nullptr;
      }
      if (is_entry) {
        EditEntrySettings(window, c[0]);
      } else if (ShowSettingsDialog(window)) {
        SaveFavorites();
      }
      return GoToRoot(remote_name);
    }
    if (RunSettingsCommand(window, verb)) return kExecOk;
  } catch (...) {
  }
  return kExecHostHandles;
}

HostBool TARN_CALL FsDeleteFileW(HostChar* remote_name) {
  StopDateWorker();
  try {
    if (const auto deleted = DeleteInRepository(SplitPath(FromHost(remote_name)), false)) return *deleted ? 1 : 0;
  } catch (...) {
    return 0;
  }
  return DeleteEntryFolder(remote_name);
}

HostBool TARN_CALL FsRemoveDirW(HostChar* remote_name) {
  StopDateWorker();
  try {
    if (const auto deleted = DeleteInRepository(SplitPath(FromHost(remote_name)), true)) return *deleted ? 1 : 0;
  } catch (...) {
    return 0;
  }
  return DeleteEntryFolder(remote_name);
}

int32_t TARN_CALL FsRenMovFileW(HostChar* old_name, HostChar* new_name, HostBool move, HostBool overwrite,
                                HostRemoteInfo*) {
  StopDateWorker();
  try {
    const VirtualPath from = SplitPath(FromHost(old_name));
    const VirtualPath to = SplitPath(FromHost(new_name));
    if (const auto renamed = RenameInRepository(from, to, move != 0, overwrite != 0)) return *renamed;
    if (from.size() != 1 || to.size() != 1) return kFileNotSupported;
    if (IsSpecialName(from[0])) return kFileNotSupported;
    if (IsSpecialName(to[0]) || !IsHostSafeName(to[0])) return kFileWriteError;
    {
      StateLock guard(g_state.lock);
      if (FindEntryByName(to[0])) return kFileWriteError;
      Entry* entry = FindEntryByName(from[0]);
      if (!entry) return kFileNotFound;
      entry->display_name = to[0];
      g_state.delete_suppressed.erase(from[0]);
      g_state.delete_suppressed.erase(to[0]);
    }
    SaveFavorites();
    return kFileOk;
  } catch (...) {
    return kFileWriteError;
  }
}

HostBool TARN_CALL FsMkDirW(HostChar* path) {
  StopDateWorker();
  try {
    const VirtualPath c = SplitPath(FromHost(path));
    if (const auto made = MakeFolderInRepository(c)) return *made ? 1 : 0;
    if (c.size() <= 1) {
      ShowAddEntryDialog(CurrentForegroundWindow());  // the typed folder name is not used
      SaveFavorites();
    } else {
      EditEntrySettings(CurrentForegroundWindow(), c[0]);
    }
  } catch (...) {
  }
  return 1;
}

int32_t TARN_CALL FsExtractCustomIconW(HostChar* remote_name, int32_t extract_flags, HostIcon* the_icon) {
  if (!remote_name || !the_icon) return kIconUseDefault;
  try {
    const VirtualPath components = SplitPath(FromHost(remote_name));
    if (components.size() != 1) return kIconUseDefault;
    int resource_id = 0;
    if (components[0] == kAddNewEntryName) resource_id = IDI_ADD_ENTRY;
    if (components[0] == kSettingsName) resource_id = IDI_SETTINGS;
    if (resource_id == 0) return kIconUseDefault;
    HostIcon icon = LoadItemIcon(resource_id, (extract_flags & kIconSmall) != 0);
    if (!icon) return kIconUseDefault;
    *the_icon = icon;
    return kIconExtracted;
  } catch (...) {
    return kIconUseDefault;
  }
}

}  // extern "C"
