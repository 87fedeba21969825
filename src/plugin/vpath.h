// Host paths split into components, and what the first component names.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/entry.h"

using VirtualPath = std::vector<std::u16string>;

extern const std::u16string kAddNewEntryName;  // "[Add New Entry]"
extern const std::u16string kSettingsName;     // "[Settings]"
extern const std::u16string kTemporaryName;    // "***_TEMPORARY_***"

VirtualPath SplitPath(const std::u16string& path);
// "\" + the first n components joined by "\"; "\" for n = 0.
std::u16string PathPrefix(const VirtualPath& components, size_t n);
// Components from 0-based index k to the end, each in UTF-8, joined by "/"; empty when k >= size.
std::string JoinRepoPath(const VirtualPath& components, size_t k);
bool IsSpecialName(const std::u16string& component);
bool IsNameTaken(const std::u16string& name);
