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
  return AskHost(kRequestYesNo, title, text, nullptr);
}

bool AskHost(int32_t request_type, const std::u16string& title, const std::u16string& text, std::u16string* answer) {
  if (!g_state.request) return false;
  constexpr size_t kCapacity = 1024;
  std::u16string t = title, q = text;  // the callback takes mutable buffers
  std::u16string buffer(kCapacity, u'\0');
  if (answer) buffer.replace(0, std::min(answer->size(), kCapacity - 1), *answer, 0, kCapacity - 1);
  const bool ok = g_state.request(g_state.plugin_number, request_type, reinterpret_cast<HostChar*>(t.data()),
                                  reinterpret_cast<HostChar*>(q.data()), reinterpret_cast<HostChar*>(buffer.data()),
                                  static_cast<int32_t>(kCapacity)) != 0;
  buffer.back() = u'\0';  // a host that fills the whole buffer still leaves a terminated text
  if (ok && answer) *answer = buffer.substr(0, buffer.find(u'\0'));
  return ok;
}

bool IsMainThread() {
  return g_state.main_thread_id == 0 || g_state.main_thread_id == PlatformThreadId();
}

const std::u16string kAddNewEntryName = u"[Add New Entry]";
const std::u16string kSettingsName = u"[Settings]";
const std::u16string kTemporaryName = u"***_TEMPORARY_***";

bool IsSpecialName(const std::u16string& component) {
  return component == kAddNewEntryName || component == kSettingsName || component == kTemporaryName;
}

bool IsNameTaken(const std::u16string& name) {
  StateLock guard(g_state.lock);
  return IsSpecialName(name) || FindEntryByName(name) != nullptr;
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

bool UseLocalHfCache() {
  StateLock guard(g_state.lock);
  return g_state.use_local_hf_cache;
}

int32_t CheckChangesSeconds() {
  StateLock guard(g_state.lock);
  return std::max(g_state.check_changes_seconds, 0);
}

std::string HubSiteUrl() {
  StateLock guard(g_state.lock);
  return g_state.hub_site_url;
}

std::string HubApiUrl() { return HubSiteUrl() + "api"; }
