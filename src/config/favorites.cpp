// favorites.json: loading and saving the entries and options, and the API key's protection and base64
// form.
#include "config/favorites.h"

#include <ctime>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/entries_from_url.h"
#include "config/entry.h"
#include "core/files.h"
#include "core/json.h"
#include "platform/platform.h"
#include "core/state.h"
#include "core/text.h"

namespace {

using nlohmann::json;

// Far above any list of entries a user keeps; a bigger file is kept aside rather than read into memory.
constexpr size_t kMaxConfigurationBytes = 64u << 20;

// What a readable favorites.json holds, collected before any of it reaches the state.
struct StoredConfiguration {
  std::string api_key_enc;
  std::string api_key;
  int32_t cache_ttl_hours = 24;
  int32_t download_connections = PluginState::kDefaultDownloadConnections;
  bool use_local_hf_cache = true;
  int32_t check_changes_seconds = PluginState::kDefaultCheckChangesSeconds;
  std::string cache_path;
  std::string hub_url;
  std::vector<Entry> entries;
  bool dropped_unreadable_entry = false;  // an entry object of the wrong shape, not just a nameless one
};

// False when the document is not a configuration: not an object, or "entries" that is not an array.
// Other members are read with their defaults. An entry element that is not an object, or whose name is
// not text, is dropped alone and noted; one without a name is dropped quietly.
bool ReadConfiguration(const json& document, StoredConfiguration* out) {
  if (!document.is_object()) return false;
  out->api_key_enc = JsonString(document, "api_key_enc");
  out->api_key = JsonString(document, "api_key");
  out->cache_ttl_hours = JsonInt32(document, "cache_ttl_hours", 24);
  out->download_connections =
      JsonInt32(document, "download_connections", PluginState::kDefaultDownloadConnections);
  out->use_local_hf_cache = JsonBool(document, "use_local_hf_cache", true);
  out->check_changes_seconds =
      JsonInt32(document, "check_changes_seconds", PluginState::kDefaultCheckChangesSeconds);
  out->cache_path = JsonString(document, "cache_path");
  out->hub_url = JsonString(document, "hub_url");  // only an override of the default hub

  const auto entries = document.find("entries");
  if (entries == document.end()) return true;
  if (!entries->is_array()) return false;  // read as empty, the next save would drop every entry
  for (const json& element : *entries) {
    Entry entry;
    if (EntryFromJson(element, &entry)) {
      out->entries.push_back(std::move(entry));
      continue;
    }
    const auto name = element.is_object() ? element.find("display_name") : element.end();
    const bool nameless = element.is_object() && (name == element.end() || *name == "");
    if (!nameless) out->dropped_unreadable_entry = true;
  }
  return true;
}

// Keeps the file the load could not (fully) use under a name of its own, so the saves that follow,
// and the ".bak" they rotate, cannot lose what the user had in it.
void KeepUnreadableFile(const std::u16string& path, const std::u16string& log_prefix) {
  const std::u16string base = path + u".unreadable-" + WideDecimal(static_cast<int64_t>(std::time(nullptr)));
  for (int attempt = 1; attempt <= 100; ++attempt) {
    const std::u16string name = attempt == 1 ? base : base + u"-" + WideDecimal(attempt);
    std::error_code ec;
    // Without overwrite the copy fails on an existing name, so two loads never share one.
    if (std::filesystem::copy_file(FsPath(path), FsPath(name), std::filesystem::copy_options::none, ec)) {
      LogMessage(log_prefix + name);
      return;
    }
    if (ec != std::errc::file_exists) return;
  }
}

bool IsBase64Letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  return c == '+' ? 62 : 63;
}

// The one text Base64Encode makes for some bytes: padded, no white space, unused bits zero. Checked
// here so that both platforms' decoders, one lenient and one strict, accept exactly the same texts.
bool IsCanonicalBase64(const std::string& text) {
  if (text.empty() || text.size() % 4 != 0) return false;
  size_t padding = 0;
  if (text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  const size_t letters = text.size() - padding;
  for (size_t i = 0; i < letters; ++i) {
    if (!IsBase64Letter(text[i])) return false;
  }
  const int last = Base64Value(text[letters - 1]);
  if (padding == 1 && (last & 0x3) != 0) return false;
  if (padding == 2 && (last & 0xF) != 0) return false;
  return true;
}

}  // namespace

void LoadFavorites() {
  try {
    StateLock guard(g_state.lock);
    g_state.entries.clear();
    g_state.delete_suppressed.clear();
    g_state.hub_site_url = PluginState::kDefaultHubSiteUrl;
    const std::u16string path = g_state.favorites_path;
    if (path.empty()) return;

    std::error_code ec;
    if (!std::filesystem::exists(FsPath(path), ec)) return;  // first run: no file yet
    std::string text;
    const bool read = ReadFileBytes(path, &text, kMaxConfigurationBytes);
    const json document = read ? ParseJson(text) : json();
    StoredConfiguration stored;
    if (!ReadConfiguration(document, &stored)) {
      KeepUnreadableFile(path, u"Unreadable favorites.json kept as ");
      return;
    }
    if (stored.dropped_unreadable_entry) KeepUnreadableFile(path, u"Unreadable entry in favorites.json, file kept as ");

    const std::string key = stored.api_key_enc.empty() ? stored.api_key : UnprotectApiKey(stored.api_key_enc);
    g_state.api_key = Utf8ToWide(key);
    g_state.cache_ttl_hours = stored.cache_ttl_hours;
    g_state.download_connections = stored.download_connections;
    g_state.use_local_hf_cache = stored.use_local_hf_cache;
    g_state.check_changes_seconds = stored.check_changes_seconds;
    if (!stored.cache_path.empty()) {
      g_state.cache_folder = Utf8ToWide(stored.cache_path);
      PlatformCreateFolders(g_state.cache_folder);
    }
    if (!stored.hub_url.empty()) {
      if (stored.hub_url.back() != '/') stored.hub_url.push_back('/');
      g_state.hub_site_url = stored.hub_url;
    }
    g_state.entries = std::move(stored.entries);
    // A name with a separator, a control character or of dots (edited by hand, or saved by an older
    // version) is a folder the host could neither open nor rename nor delete: it gets a safe one.
    for (Entry& entry : g_state.entries) {
      if (IsHostSafeName(entry.display_name)) continue;
      bool taken = false;
      entry.display_name = MakeUniqueDisplayName(SafeFolderName(entry.display_name), &taken);
      LogMessage(u"Entry folder renamed to a name the host can use: " + entry.display_name);
    }
  } catch (...) {
    // Out of memory while loading: start like a first run rather than fail the host's start-up.
    StateLock guard(g_state.lock);
    g_state.entries.clear();
  }
}

void SaveFavorites() {
  try {
    StateLock guard(g_state.lock);
    json entries = json::array();
    for (const Entry& entry : g_state.entries) entries.push_back(EntryToJson(entry));
    json document = json::object();
    document["cache_ttl_hours"] = g_state.cache_ttl_hours;
    document["download_connections"] = g_state.download_connections;
    document["use_local_hf_cache"] = g_state.use_local_hf_cache;
    document["check_changes_seconds"] = g_state.check_changes_seconds;
    document["cache_path"] = WideToUtf8(g_state.cache_folder);
    document["entries"] = std::move(entries);
    if (g_state.hub_site_url != PluginState::kDefaultHubSiteUrl) document["hub_url"] = g_state.hub_site_url;
    const std::string key = WideToUtf8(g_state.api_key);
    if (!key.empty()) {
      const std::string sealed = ProtectApiKey(key);
      if (!sealed.empty()) {
        document["api_key_enc"] = sealed;
      } else {
        document["api_key"] = key;  // no protection available: plain text rather than a lost key
      }
    }
    WriteJsonFileAtomic(g_state.favorites_path, document, true);
  } catch (...) {
    // A failed save leaves the previous file; the next change saves again.
  }
}

std::string ProtectApiKey(const std::string& key) {
  try {
    std::string sealed;
    if (!PlatformProtectData(key, &sealed)) return std::string();
    return Base64Encode(sealed);
  } catch (...) {
    return std::string();
  }
}

std::string UnprotectApiKey(const std::string& base64) {
  try {
    const std::string sealed = Base64Decode(base64);
    if (sealed.empty()) return std::string();  // not base64 at all: nothing to report
    std::string key;
    if (!PlatformUnprotectData(sealed, &key)) {
      LogMessage(u"Stored API key could not be decrypted on this account \u2014 re-enter it in Settings, "
                 u"or import a settings backup.");
      return std::string();
    }
    return key;
  } catch (...) {
    return std::string();
  }
}

std::string Base64Encode(const std::string& bytes) {
  if (bytes.empty()) return std::string();
  try {
    return PlatformBase64Encode(bytes);
  } catch (...) {
    return std::string();
  }
}

std::string Base64Decode(const std::string& text) {
  if (!IsCanonicalBase64(text)) return std::string();
  try {
    std::string bytes;
    if (!PlatformBase64Decode(text, &bytes)) return std::string();
    return bytes;
  } catch (...) {
    return std::string();
  }
}
