// The three kinds of hub repository and the names each is known by in addresses, API paths, JSON and
// cache file names.
#pragma once

#include <cstdint>
#include <string>

enum RepoType : uint32_t {
  ModelRepo = 0,
  DatasetRepo = 1,
  SpaceRepo = 2,
};

// Any value outside the three reads as a model, as the hub's own clients default to one.
// "model", "dataset", "space": the entry's "kind" and the identity in cache records.
const char* RepoTypeName(RepoType type);
// "models", "datasets", "spaces": the API's path segment and the local HuggingFace cache's prefix.
const char* RepoTypePlural(RepoType type);
// "", "datasets/", "spaces/": before owner/name in the hub's page and file addresses.
const char* RepoSitePrefix(RepoType type);
// The singular name back; anything else (also another case) is a model.
RepoType RepoTypeFromName(const std::string& name);
