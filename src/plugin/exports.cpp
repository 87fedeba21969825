// The simple exports: start-up, the root's name, background support and the host's status notices.
#include <cstring>

#include "browse/browse.h"
#include "config/favorites.h"
#include "core/files.h"
#include "hub/ratelimit.h"
#include "platform/platform.h"
#include "plugin/host_text.h"
#include "plugin/writes.h"
#include "core/state.h"
#include "core/text.h"

extern "C" {

int32_t TARN_CALL FsInitW(int32_t plugin_nr, HostProgressProc progress, HostLogProc log, HostRequestProc request) {
  try {
    g_state.plugin_number = plugin_nr;
    g_state.progress = progress;
    g_state.log = log;
    g_state.request = request;
    g_state.main_thread_id = PlatformThreadId();
    ForgetRateLimits();  // a module loaded again may keep its statics (Linux never unmaps this one)
    {
      StateLock guard(g_state.lock);
      const std::u16string roaming = PlatformRoamingFolder();
      g_state.config_folder = JoinFsPath(roaming, u"tarnfs");
      g_state.cache_folder = JoinFsPath(g_state.config_folder, u"cache");
      g_state.favorites_path = JoinFsPath(g_state.config_folder, u"favorites.json");
      PlatformCreateFolders(g_state.config_folder);
      PlatformCreateFolders(g_state.cache_folder);
      g_state.space_sdks.clear();  // maybe another hub's, from before the module was loaded again
      // Folders made and operations under way belong to the session that made them.
      g_state.made_folders.clear();
      g_state.write_batches.clear();
      g_state.queued_messages.clear();
    }
    LoadFavorites();
    if (g_state.log) LogMessage(u"Tarnfs plugin loaded");
  } catch (...) {
    // A failed start-up leaves the defaults; the host still gets a working root listing.
  }
  return 0;
}

void TARN_CALL FsGetDefRootName(char* name, int32_t max_len) {
  if (!name || max_len <= 0) return;
  static const char kName[] = "HuggingFace";
  size_t n = std::strlen(kName);
  if (n > static_cast<size_t>(max_len) - 1) n = static_cast<size_t>(max_len) - 1;
  std::memcpy(name, kName, n);
  name[n] = '\0';
}

void TARN_CALL FsSetDefaultParams(HostDefaultParams*) {}

int32_t TARN_CALL FsGetBackgroundFlags(void) { return kBackgroundDownload | kBackgroundUpload; }

void TARN_CALL FsStatusInfoW(HostChar* remote_dir, int32_t start_end, int32_t operation) {
  StopDateWorker();  // the host starts or ends an operation: the worker waits for the next listing
  try {
    TellQueuedWriteMessages();
    if (IsWriteOperation(operation)) {
      if (start_end == kStatusStart) BeginWriteOperation(operation);
      if (start_end == kStatusEnd) EndWriteOperation(remote_dir ? FromHost(remote_dir) : std::u16string());
    }
  } catch (...) {
  }
  if (operation != kOpDelete && operation != kOpSyncDelete) return;
  try {
    StateLock guard(g_state.lock);
    if (start_end == kStatusStart) {
      g_state.delete_suppression_active = true;
      LogMessage(u"Delete suppression active");
    } else if (start_end == kStatusEnd) {
      g_state.delete_suppression_active = false;
      g_state.delete_suppressed.clear();
      LogMessage(u"Delete suppression ended");
    }
  } catch (...) {
  }
}

}  // extern "C"
