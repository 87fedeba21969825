// Settings export and import.
#include "config/settings_file.h"

#include <ctime>
#include <filesystem>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/entries_from_url.h"
#include "config/entry.h"
#include "core/files.h"
#include "core/json.h"
#include "core/state.h"
#include "core/text.h"
#include "platform/platform.h"

namespace {

using nlohmann::json;

const char16_t kCannotOpen[] = u"Could not open the file.";
const char16_t kNotJson[] = u"The file is not valid JSON.";
const char16_t kNoEntries[] = u"This is not a Tarnfs settings file (no \"entries\" list).";
const char16_t kNewerVersion[] = u"This file was written by a newer plugin version.";
constexpr size_t kMaxSettingsBytes = 64u << 20;

bool SameRepository(const Entry& a, const Entry& b) {
  return a.type == b.type && a.is_dataset == b.is_dataset && a.org == b.org && a.repo_id == b.repo_id;
}

// What the file holds, read whole before the lock is taken so that nothing changes on a bad file.
struct SettingsFile {
  int32_t cache_ttl_hours = 24;
  bool use_local_hf_cache = true;
  std::string cache_path;
  std::string api_key;
  std::vector<std::pair<Entry, std::string>> entries;  // each with the file's "id"
};

std::u16string ReadSettingsFile(const std::u16string& source, SettingsFile* out) {
  std::string text;
  if (!ReadFileBytes(source, &text, kMaxSettingsBytes)) return kCannotOpen;
  const json document = json::parse(text, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/false);
  if (document.is_discarded()) return kNotJson;
  if (!document.is_object()) return kNoEntries;
  const auto entries = document.find("entries");
  if (entries == document.end() || !entries->is_array()) return kNoEntries;

  const auto format = document.find("format");
  if (format != document.end()) {
    if (!format->is_number()) return kNotJson;
    if (format->get<double>() > 1) return kNewerVersion;
  }
  // Like every reader here, a member of the wrong type gives its default.
  out->cache_ttl_hours = JsonInt32(document, "cache_ttl_hours", 24);
  out->use_local_hf_cache = JsonBool(document, "use_local_hf_cache", true);
  out->cache_path = JsonString(document, "cache_path");
  out->api_key = JsonString(document, "api_key");
  for (const json& element : *entries) {
    Entry entry;
    // Nameless elements, and elements that are no object, are skipped and counted nowhere.
    if (!element.is_object() || !EntryFromJson(element, &entry)) continue;
    std::string id = entry.id;
    out->entries.emplace_back(std::move(entry), std::move(id));
  }
  return u"";
}

}  // namespace

bool ExportSettings(const std::u16string& target, bool include_key) {
  try {
    StateLock guard(g_state.lock);
    json entries = json::array();
    for (const Entry& entry : g_state.entries) entries.push_back(EntryToJson(entry));
    json document = json::object();
    document["format"] = 1;
    document["exported_at"] = static_cast<int64_t>(std::time(nullptr));
    document["cache_ttl_hours"] = g_state.cache_ttl_hours;
    document["use_local_hf_cache"] = g_state.use_local_hf_cache;
    document["entries"] = std::move(entries);
    if (include_key && !g_state.api_key.empty()) document["api_key"] = WideToUtf8(g_state.api_key);
    return WriteJsonFileAtomic(target, document, false);
  } catch (...) {
    return false;
  }
}

ImportResult ImportSettings(const std::u16string& source, bool replace) {
  ImportResult result;
  SettingsFile file;
  try {
    result.error = ReadSettingsFile(source, &file);
  } catch (...) {
    result.error = kNotJson;
  }
  if (!result.error.empty()) return result;

  StateLock guard(g_state.lock);
  if (replace) {
    g_state.entries.clear();
    g_state.delete_suppressed.clear();
    g_state.cache_ttl_hours = file.cache_ttl_hours < 1 ? 1 : file.cache_ttl_hours;
    g_state.use_local_hf_cache = file.use_local_hf_cache;
    const std::u16string cache_path = Utf8ToWide(file.cache_path);
    std::error_code ec;
    g_state.cache_folder = !cache_path.empty() && std::filesystem::is_directory(FsPath(cache_path), ec)
                               ? cache_path
                               : JoinFsPath(g_state.config_folder, u"cache");
    PlatformCreateFolders(g_state.cache_folder);
  }
  if (!file.api_key.empty() && (replace || g_state.api_key.empty())) {
    g_state.api_key = Utf8ToWide(file.api_key);
    result.api_key_set = true;
  }
  for (auto& [entry, file_id] : file.entries) {
    bool present = false;
    for (const Entry& existing : g_state.entries) present = present || SameRepository(existing, entry);
    if (present) {
      ++result.already_present;
      continue;
    }
    bool renamed = false;
    entry.display_name = MakeUniqueDisplayName(entry.display_name, &renamed);
    if (renamed) ++result.renamed;
    entry.id = MakeUniqueId(file_id.empty() ? SanitizeFileName(entry.org) : file_id);
    g_state.delete_suppressed.erase(entry.display_name);
    g_state.entries.push_back(std::move(entry));
    ++result.imported;
  }
  return result;
}
