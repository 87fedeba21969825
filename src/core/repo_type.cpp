// Names of the repository kinds.
#include "core/repo_type.h"

const char* RepoTypeName(RepoType type) {
  switch (type) {
    case DatasetRepo: return "dataset";
    case SpaceRepo: return "space";
    default: return "model";
  }
}

const char* RepoTypePlural(RepoType type) {
  switch (type) {
    case DatasetRepo: return "datasets";
    case SpaceRepo: return "spaces";
    default: return "models";
  }
}

const char* RepoSitePrefix(RepoType type) {
  switch (type) {
    case DatasetRepo: return "datasets/";
    case SpaceRepo: return "spaces/";
    default: return "";
  }
}

RepoType RepoTypeFromName(const std::string& name) {
  if (name == "dataset") return DatasetRepo;
  if (name == "space") return SpaceRepo;
  return ModelRepo;
}
