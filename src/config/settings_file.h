// All settings as one JSON file, to carry them to another account or machine, and back.
#pragma once

#include <cstdint>
#include <string>

struct ImportResult {
  uint32_t imported = 0;         // entries appended
  uint32_t already_present = 0;  // entries skipped because an equal one exists
  uint32_t renamed = 0;          // appended entries whose display name had to change
  bool api_key_set = false;      // the file's key became the API key
  std::u16string error;          // empty on success; the counts are then 0
};

// Writes the entries, the time-to-live and, with include_key, the plain key; true when written.
bool ExportSettings(const std::u16string& target, bool include_key);
// Replaces or merges the entries and options from the file. Does not save favorites.json.
ImportResult ImportSettings(const std::u16string& source, bool replace);
