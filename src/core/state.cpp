// The module's one PluginState and the small operations every subsystem uses on it.
#include "core/state.h"

#include <algorithm>

#include "core/text.h"
#include "platform/platform.h"

PluginState g_state;

void LogMessage(const std::u16string& text) {
  if (!g_state.log) return;
  std::u16string copy = text;  // the host's callback takes a mutable pointer
  g_state.log(g_state.plugin_number, kLogDetail, reinterpret_cast<HostChar*>(copy.data()));
}

bool AskHostYesNo(const std::u16string& title, const std::u16string& text) {
  if (!g_state.request) return false;
  std::u16string t = title, q = text;  // the callback takes mutable buffers
  HostChar answer[1] = {0};
  return g_state.request(g_state.plugin_number, kRequestYesNo, reinterpret_cast<HostChar*>(t.data()),
                         reinterpret_cast<HostChar*>(q.data()), answer, 1) != 0;
}

bool IsMainThread() {
  return g_state.main_thread_id == 0 || g_state.main_thread_id == PlatformThreadId();
}

Entry* FindEntryByName(const std::u16string& name) {
  for (Entry& entry : g_state.entries) {
    if (entry.display_name == name) return &entry;
  }
  return nullptr;
}

bool IsListingOpen(const std::u16string& normalized_path) {
  StateLock guard(g_state.lock);
  return g_state.open_listings.count(normalized_path) != 0;
}

std::string ApiKeyUtf8() {
  StateLock guard(g_state.lock);
  return WideToUtf8(g_state.api_key);
}

void OnModuleAttach(void* module_handle) { g_state.module_handle = module_handle; }

std::u16string CacheFolder() {
  StateLock guard(g_state.lock);
  return g_state.cache_folder;
}

int32_t CacheTtlHours() {
  StateLock guard(g_state.lock);
  return g_state.cache_ttl_hours;
}

int32_t DownloadConnections() {
  StateLock guard(g_state.lock);
  return std::clamp(g_state.download_connections, 1, PluginState::kMaxDownloadConnections);
}

std::string HubSiteUrl() {
  StateLock guard(g_state.lock);
  return g_state.hub_site_url;
}

std::string HubApiUrl() { return HubSiteUrl() + "api"; }
