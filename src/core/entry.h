// One root folder of the tree (an entry). Its JSON form is the configuration's (config/entry.h).
#pragma once

#include <cstdint>
#include <string>

#include "core/repo_type.h"

enum EntryKind : uint32_t {
  OrgModels = 0,
  OrgCollections = 1,
  SingleModel = 2,
};

struct Entry {
  std::string id;                  // stable identity; dialogs find the entry again by it
  uint32_t type = OrgModels;       // EntryKind; other values are kept and written as "unknown"
  RepoType repo_type = ModelRepo;  // the kind of repository listed: models, datasets or Spaces
  std::string org;                 // owner on the hub
  std::string repo_id;             // owner/name of a single repository
  std::u16string display_name;     // folder name at the root
  bool cache_enabled = false;      // the user's offline-cache choice
  int64_t cached_at = 0;           // Unix seconds of the last cached listing; 0 never
  int64_t created_at = 0;          // Unix seconds when added; 0 unknown
  bool limit_enabled = true;       // organisation listings are paged
  int32_t limit_count = 300;       // page size request; never below 10 when read
  std::string revision = "main";   // a single repository's branch, tag, commit or ref; others stay on main
  bool allow_changes = false;      // copies in, deletes and renames inside become commits on the hub
  bool changes_as_pull_request = false;  // those commits open a pull request instead of going to the branch
};
