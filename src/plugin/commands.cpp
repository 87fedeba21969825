// Commands on the tree that change only the entry list: delete and rename of entry folders, and the
// paging item. Commands that open dialogs answer "the host handles it" until the dialogs exist.
#include <algorithm>

#include "browse/browse.h"
#include "config/favorites.h"
#include "plugin/host_text.h"
#include "core/state.h"
#include "plugin/folders.h"
#include "plugin/vpath.h"

namespace {

HostBool DeleteEntryFolder(HostChar* remote_name) {
  try {
    const VirtualPath components = SplitPath(FromHost(remote_name));
    if (components.size() != 1) return 1;  // files inside entries are never deleted
    const std::u16string& name = components[0];
    if (IsSpecialName(name)) return 0;
    {
      StateLock guard(g_state.lock);
      g_state.delete_suppressed.insert(name);
      auto& entries = g_state.entries;
      entries.erase(std::remove_if(entries.begin(), entries.end(),
                                   [&](const Entry& e) { return e.display_name == name; }),
                    entries.end());
    }
    SaveFavorites();
    return 1;
  } catch (...) {
    return 0;
  }
}

}  // namespace

extern "C" {

int32_t TARN_CALL FsExecuteFileW(HostWindow, HostChar* remote_name, HostChar*) {
  try {
    const std::u16string remote = FromHost(remote_name);
    if (IsLoadNextItem(remote)) {
      const VirtualPath components = SplitPath(remote);
      if (LoadNextPageAt(remote) && !components.empty()) {
        CopyToHost(remote_name, 260, u"\\" + components[0]);
        return kExecSymlink;
      }
      return kExecOk;
    }
  } catch (...) {
  }
  return kExecHostHandles;
}

HostBool TARN_CALL FsDeleteFileW(HostChar* remote_name) { return DeleteEntryFolder(remote_name); }

HostBool TARN_CALL FsRemoveDirW(HostChar* remote_name) { return DeleteEntryFolder(remote_name); }

int32_t TARN_CALL FsRenMovFileW(HostChar* old_name, HostChar* new_name, HostBool, HostBool, HostRemoteInfo*) {
  try {
    const VirtualPath from = SplitPath(FromHost(old_name));
    const VirtualPath to = SplitPath(FromHost(new_name));
    if (from.size() != 1 || to.size() != 1) return kFileNotSupported;
    if (IsSpecialName(from[0])) return kFileNotSupported;
    if (IsSpecialName(to[0])) return kFileWriteError;
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

HostBool TARN_CALL FsMkDirW(HostChar*) { return 1; }

int32_t TARN_CALL FsExtractCustomIconW(HostChar*, int32_t, HostIcon*) { return kIconUseDefault; }

}  // extern "C"
