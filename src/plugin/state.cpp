// The module's one PluginState and the small operations every subsystem uses on it.
#include "plugin/state.h"

#include <algorithm>

#include "platform/platform.h"
#include "plugin/text.h"

PluginState g_state;

void LogMessage(const std::u16string& text) {
  if (!g_state.log) return;
  std::u16string copy = text;  // the host's callback takes a mutable pointer
  g_state.log(g_state.plugin_number, kLogDetail, reinterpret_cast<HostChar*>(copy.data()));
}

bool IsMainThread() {
  return g_state.main_thread_id == 0 || g_state.main_thread_id == PlatformThreadId();
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
