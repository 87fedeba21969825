// One root folder of the tree (an entry) and its JSON form.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

enum EntryKind : uint32_t {
  OrgModels = 0,
  OrgCollections = 1,
  SingleModel = 2,
};

struct Entry {
  std::string id;                  // stable identity; dialogs find the entry again by it
  uint32_t type = OrgModels;       // EntryKind; other values are kept and written as "unknown"
  uint32_t is_dataset = 0;         // 1: datasets instead of models
  std::string org;                 // owner on the hub
  std::string repo_id;             // owner/name of a single repository
  std::u16string display_name;     // folder name at the root
  bool cache_enabled = false;      // the user's offline-cache choice
  int64_t cached_at = 0;           // Unix seconds of the last cached listing; 0 never
  int64_t created_at = 0;          // Unix seconds when added; 0 unknown
  bool limit_enabled = true;       // organisation listings are paged
  int32_t limit_count = 300;       // page size request; never below 10 when read
};

// Fills `entry` from an entry object with the defaults for missing keys; true when the display name
// is not empty. Throws nothing: a member of the wrong type makes the object unreadable (false).
bool EntryFromJson(const nlohmann::json& object, Entry* entry);
nlohmann::json EntryToJson(const Entry& entry);

// Typed member reads for every reader of these files: a missing member leaves `out` as it is (the
// default); a member of another JSON type, or a number outside the range, answers false.
bool ReadJsonString(const nlohmann::json& object, const char* key, std::string* out);
bool ReadJsonInt32(const nlohmann::json& object, const char* key, int32_t* out);
