// All settings as one JSON file, to carry them to another account or machine, and back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/entry.h"

struct ImportResult {
  uint32_t imported = 0;         // entries appended
  uint32_t already_present = 0;  // entries skipped because an equal one exists
  uint32_t renamed = 0;          // appended entries whose display name had to change
  bool api_key_set = false;      // the file's key became the API key
  std::u16string error;          // empty on success; the counts are then 0
};

// What an export writes instead of the current options: the settings dialog's fields, which only its
// OK applies.
struct ExportedOptions {
  std::u16string api_key;
  int32_t cache_ttl_hours = 24;
};

// A settings file read and checked whole: what an import would change, before anything changes.
struct SettingsFile {
  struct Item {
    Entry entry;
    std::string file_id;  // the file's "id"
  };
  int32_t cache_ttl_hours = 24;
  bool use_local_hf_cache = true;
  int32_t check_changes_seconds = 60;
  std::string cache_path;
  std::string api_key;
  std::vector<Item> entries;
};

// Writes the entries, the time-to-live and, with include_key, the plain key; true when written. The
// plugin-wide lock is held while the document is built, never while the chosen file is written.
bool ExportSettings(const std::u16string& target, bool include_key);
bool ExportSettings(const std::u16string& target, bool include_key, const ExportedOptions& options);
// Reads and checks the file without the lock; empty on success, else the error to show.
std::u16string ReadSettingsFile(const std::u16string& source, SettingsFile* out);
// Replaces or merges the entries and options with what was read. Does not save favorites.json.
ImportResult ApplySettingsFile(SettingsFile file, bool replace);
// Both steps above.
ImportResult ImportSettings(const std::u16string& source, bool replace);
