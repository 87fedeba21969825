// Settings export and import.
#include "config/settings_file.h"

#include <algorithm>
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

// One repository at two revisions is two entries: each lists other files.
bool SameRepository(const Entry& a, const Entry& b) {
  return a.type == b.type && a.repo_type == b.repo_type && a.org == b.org && a.repo_id == b.repo_id &&
         a.revision == b.revision;
}

// The document an export writes: the options given, or the current ones.
json ExportDocument(bool include_key, const ExportedOptions* options) {
  StateLock guard(g_state.lock);
  json entries = json::array();
  for (const Entry& entry : g_state.entries) entries.push_back(EntryToJson(entry));
  const std::u16string& key = options ? options->api_key : g_state.api_key;
  json document = json::object();
  document["format"] = 1;
  document["exported_at"] = static_cast<int64_t>(std::time(nullptr));
  document["cache_ttl_hours"] = options ? options->cache_ttl_hours : g_state.cache_ttl_hours;
  document["use_local_hf_cache"] = g_state.use_local_hf_cache;
  document["check_changes_seconds"] = g_state.check_changes_seconds;
  document["entries"] = std::move(entries);
  if (include_key && !key.empty()) document["api_key"] = WideToUtf8(key);
  return document;
}

bool WriteExport(const std::u16string& target, bool include_key, const ExportedOptions* options) {
  try {
    // The file is the user's choice, maybe on a share that stalls: written without the lock.
    return WriteJsonFileAtomic(target, ExportDocument(include_key, options), false);
  } catch (...) {
    return false;
  }
}

std::u16string ReadChecked(const std::u16string& source, SettingsFile* out) {
  std::string text;
  if (!ReadFileBytes(source, &text, kMaxSettingsBytes)) return kCannotOpen;
  // The value budget of every reader here: a favorites.json the module reads is also importable, and a
  // file of tiny values cannot build a document many times its size.
  const json document = ParseJson(text);
  if (document.is_null()) return kNotJson;
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
  out->check_changes_seconds = JsonInt32(document, "check_changes_seconds", 60);
  out->cache_path = JsonString(document, "cache_path");
  out->api_key = JsonString(document, "api_key");
  for (const json& element : *entries) {
    Entry entry;
    // Nameless elements, and elements that are no object, are skipped and counted nowhere.
    if (!element.is_object() || !EntryFromJson(element, &entry)) continue;
    std::string id = entry.id;
    out->entries.push_back({std::move(entry), std::move(id)});
  }
  return u"";
}

}  // namespace

std::u16string ReadSettingsFile(const std::u16string& source, SettingsFile* out) {
  try {
    return ReadChecked(source, out);
  } catch (...) {
    *out = SettingsFile();  // out of memory on a huge file: as unusable as a damaged one
    return kNotJson;
  }
}

bool ExportSettings(const std::u16string& target, bool include_key) {
  return WriteExport(target, include_key, nullptr);
}

bool ExportSettings(const std::u16string& target, bool include_key, const ExportedOptions& options) {
  return WriteExport(target, include_key, &options);
}

ImportResult ImportSettings(const std::u16string& source, bool replace) {
  SettingsFile file;
  const std::u16string error = ReadSettingsFile(source, &file);
  if (!error.empty()) {
    ImportResult refused;
    refused.error = error;
    return refused;
  }
  return ApplySettingsFile(std::move(file), replace);
}

ImportResult ApplySettingsFile(SettingsFile file, bool replace) {
  ImportResult result;
  std::u16string cache_folder;
  if (replace) {
    // The file's folder may be on a share that stalls: looked at before the lock is taken.
    cache_folder = Utf8ToWide(file.cache_path);
    std::error_code ec;
    if (cache_folder.empty() || !std::filesystem::is_directory(FsPath(cache_folder), ec)) {
      StateLock guard(g_state.lock);
      cache_folder = JoinFsPath(g_state.config_folder, u"cache");
    }
    PlatformCreateFolders(cache_folder);
  }
  StateLock guard(g_state.lock);
  if (replace) {
    g_state.entries.clear();
    g_state.delete_suppressed.clear();
    g_state.cache_ttl_hours = file.cache_ttl_hours < 1 ? 1 : file.cache_ttl_hours;
    g_state.use_local_hf_cache = file.use_local_hf_cache;
    g_state.check_changes_seconds = std::max(file.check_changes_seconds, 0);
    g_state.cache_folder = cache_folder;
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
    // A name from a file may be anything; the folder must be one the host can open, rename and delete.
    bool renamed = !IsHostSafeName(entry.display_name);
    if (renamed) entry.display_name = SafeFolderName(entry.display_name);
    bool taken = false;
    entry.display_name = MakeUniqueDisplayName(entry.display_name, &taken);
    if (renamed || taken) ++result.renamed;
    entry.id = MakeUniqueId(file_id.empty() ? SanitizeFileName(entry.org) : file_id);
    g_state.delete_suppressed.erase(entry.display_name);
    g_state.entries.push_back(std::move(entry));
    ++result.imported;
  }
  return result;
}
