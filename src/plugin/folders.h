// Folders below an entry as the host names them: the dispatch by entry kind and depth, the guard
// against the host's recursive walks, and the paging item.
#pragma once

#include <optional>
#include <string>

#include "browse/browse.h"
#include "core/entry.h"
#include "plugin/vpath.h"

// No value means "no handle" (an entry kind without folders).
std::optional<Listing> EnumFolder(const Entry& entry, const VirtualPath& components, const std::u16string& host_path);
// The temporary folder at any depth: asks for an address while no temporary entry is present, then
// lists that entry like any other until the root is listed again. No value: nothing to list.
std::optional<Listing> EnumTemporary(const VirtualPath& components, const std::u16string& host_path);
// True for "\<organisation entry>\[Load next N models]" (or datasets, spaces; also below the temporary
// entry).
bool IsLoadNextItem(const std::u16string& path);
// Loads the next page for such a path; false when the path names no paging entry.
bool LoadNextPageAt(const std::u16string& path);
