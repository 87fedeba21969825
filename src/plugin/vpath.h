// Host paths split into components, and what the first component names.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/entry.h"
#include "core/state.h"

using VirtualPath = std::vector<std::u16string>;

// The special root names, IsSpecialName and IsNameTaken are in core/state.h (the configuration's
// naming rules use them too).

// Cuts at "\" and at the platform's separator; empty pieces are dropped.
VirtualPath SplitPath(const std::u16string& path);
// "\" + the first n components joined by "\"; "\" for n = 0.
std::u16string PathPrefix(const VirtualPath& components, size_t n);
// PathPrefix with the platform's separator: what the module writes back into the host's buffers.
std::u16string HostPathPrefix(const VirtualPath& components, size_t n);
// Components from 0-based index k to the end, each in UTF-8, joined by "/"; empty when k >= size.
std::string JoinRepoPath(const VirtualPath& components, size_t k);
