// Entries made from hub addresses: the address splitter, adding entries, the temporary entry, and the
// naming rules that keep ids and display names apart.
#pragma once

#include <cstdint>
#include <string>

#include "core/entry.h"

struct HubAddress {
  std::string owner;        // UTF-8
  std::string name;         // repository name; empty for an owner
  RepoType repo_type = ModelRepo;  // the address was under "datasets/" or "spaces/"
  std::string revision = "main";  // a repository page's "/tree/<rev>", "/blob/<rev>/..." or "/resolve/<rev>/..."
};

// Accepts the configured hub root, http(s) huggingface.co, www.huggingface.co or hf.co, a bare
// "owner[/name]" path, surrounding blanks, and a query or fragment (cut). Any other scheme or host is
// refused. A repository address keeps owner/name and the revision its page names: "/tree/<rev>",
// "/blob/<rev>/..." or "/resolve/<rev>/...", the revision percent-decoded (the hub's pages write
// refs/pr/1 as refs%2Fpr%2F1), and "refs/<kind>/<name>" also written out. Anything after it (a folder,
// a file) and any other page ("/discussions", ...) is dropped. A revision that is no ref name is refused.
bool ParseHubUrl(const std::u16string& address, HubAddress* out);

// Appends the entries for the address, each under a display name no other entry has (" (2)" and so on
// added); returns how many (0 to 4). An owner's address, also under "datasets/" or "spaces/", adds the
// kinds ticked; a repository's adds that one repository of its kind. A repository at another revision
// than main is named "<name> @ <revision>", made host-safe. The caller saves afterwards.
// Asks the hub for the owner's collections (when they are wanted) first, then appends under the
// plugin-wide lock.
int AddEntriesFromUrl(const std::u16string& address, bool cache_enabled, bool limit_enabled, int32_t limit_count,
                      bool add_models, bool add_collections, bool add_datasets, bool add_spaces);
// The unsaved entry of a temporary browse; false (entry untouched) when the address is unusable. An
// owner's address lists the owner's repositories of the kind it names: models, or under "datasets/" or
// "spaces/" those.
bool MakeTemporaryEntry(const std::u16string& address, Entry* entry);
// The caller holds the plugin-wide lock for both.
std::string MakeUniqueId(const std::string& base);
std::u16string MakeUniqueDisplayName(const std::u16string& name, bool* renamed);
