// Collections of an organisation: folder names made from titles and model ids (always names the host
// can open, and distinct for two owners' models of one name), and the way back from a folder name to
// the collection's slug and the model's repository id by building the names again.
#include <unordered_map>
#include <unordered_set>

#include "browse/browse.h"
#include "core/state.h"
#include "core/text.h"
#include "core/time.h"

namespace {

const CollectionInfo* FindCollection(const std::vector<CollectionInfo>& collections, const std::string& folder) {
  for (const CollectionInfo& c : collections) {
    if (CollectionFolderName(c) == folder) return &c;  // the first of equal names wins
  }
  return nullptr;
}

}  // namespace

std::string CollectionFolderName(const CollectionInfo& collection) {
  // An untitled collection carries its slug ("owner/untitled-65f0..."), which names no single folder.
  const bool titled = !collection.title.empty() && collection.title != collection.slug;
  return SafeFolderName(titled ? collection.title : ModelFolderName(collection.slug));
}

std::string ModelFolderName(const std::string& model_id) {
  const size_t slash = model_id.find('/');
  return slash == std::string::npos ? model_id : model_id.substr(slash + 1);
}

std::vector<std::string> ModelFolderNames(const std::vector<std::string>& model_ids) {
  std::vector<std::string> names;
  names.reserve(model_ids.size());
  std::unordered_map<std::string, std::unordered_set<std::string>> owners_of;  // name -> distinct ids
  for (const std::string& id : model_ids) {
    names.push_back(SafeFolderName(ModelFolderName(id)));
    owners_of[names.back()].insert(id);
  }
  // Two owners' models of one name would share a folder that always opens the first of them.
  for (size_t i = 0; i < names.size(); ++i) {
    const size_t slash = model_ids[i].find('/');
    if (owners_of[names[i]].size() > 1 && slash != std::string::npos) {
      names[i] = SafeFolderName(names[i] + " (" + model_ids[i].substr(0, slash) + ")");
    }
  }
  return names;
}

Listing EnumOrgCollections(const std::string& org) {
  const std::vector<CollectionInfo> collections = LoadOrgCollections(org);
  Listing listing;
  listing.reserve(collections.size());
  for (const CollectionInfo& c : collections) {
    listing.push_back({Utf8ToWide(CollectionFolderName(c)), true, 0, c.last_updated});
  }
  return listing;
}

Listing EnumCollectionModels(const std::string& org, const std::string& collection_folder) {
  Listing listing;
  const std::vector<CollectionInfo> collections = LoadOrgCollections(org);
  const CollectionInfo* collection = FindCollection(collections, collection_folder);
  if (!collection || collection->slug.empty()) {
    LogMessage(u"EnumCollectionModels: slug not found for " + Utf8ToWide(collection_folder));
    return listing;
  }
  const std::vector<std::string> ids = LoadCollectionItems(collection->slug, collection->model_ids);
  LogMessage(u"EnumCollectionModels: slug=" + Utf8ToWide(collection->slug) + u" got " +
             WideDecimal(static_cast<int64_t>(ids.size())) + u" models");
  std::unordered_set<std::string> listed;  // an id named twice is one folder
  for (const std::string& name : ModelFolderNames(ids)) {
    if (listed.insert(name).second) listing.push_back({Utf8ToWide(name), true, 0, 0});
  }
  return listing;
}

std::string ResolveCollectionRepoId(const std::string& org, const std::string& collection_folder,
                                    const std::string& model_folder) {
  const std::vector<CollectionInfo> collections = LoadOrgCollections(org);
  const CollectionInfo* collection = FindCollection(collections, collection_folder);
  if (!collection || collection->slug.empty()) {
    LogMessage(u"ResolveCollectionRepoId: no slug for " + Utf8ToWide(collection_folder));
    return std::string();
  }
  // The ids listed with the collection usually hold the model; only a miss costs the full list.
  std::string id = FindModelIdByName(model_folder, collection->model_ids);
  if (!id.empty()) return id;
  const std::vector<std::string> full = LoadCollectionItems(collection->slug, collection->model_ids);
  id = FindModelIdByName(model_folder, full);
  if (id.empty()) {
    LogMessage(u"ResolveCollectionRepoId: model '" + Utf8ToWide(model_folder) + u"' not found in collection '" +
               Utf8ToWide(collection_folder) + u"' (listing=" +
               WideDecimal(static_cast<int64_t>(collection->model_ids.size())) + u" full=" +
               WideDecimal(static_cast<int64_t>(full.size())) + u")");
  }
  return id;
}

std::vector<CollectionInfo> LoadOrgCollections(const std::string& org) {
  OrgCollectionsCache cached;
  if (LoadFreshOrgCollectionsCache(org, &cached)) return std::move(cached.collections);
  FetchOutcome outcome;
  std::vector<CollectionInfo> collections = ListOwnerCollections(org, ApiKeyUtf8(), &outcome);
  if (!outcome.complete) {
    LogMessage(u"Collections fetch failed: " + Utf8ToWide(org) + u" status=" + WideDecimal(outcome.status));
    return collections;  // shown as far as it got, asked again next time
  }
  if (collections.empty()) return collections;  // none: ask again next time
  OrgCollectionsCache record;
  record.org = org;
  record.fetched_at = UnixNow();
  record.collections = collections;
  SaveOrgCollectionsCache(record);
  return collections;
}

std::vector<std::string> LoadCollectionItems(const std::string& slug, const std::vector<std::string>& fallback) {
  CollectionItemsCache cached;
  if (LoadFreshCollectionItemsCache(slug, &cached) && !cached.model_ids.empty()) return std::move(cached.model_ids);
  FetchOutcome outcome;
  std::vector<std::string> ids = ListCollectionModels(slug, ApiKeyUtf8(), &outcome);
  if (!outcome.complete) {
    LogMessage(u"Collection items fetch failed: " + Utf8ToWide(slug) + u" status=" + WideDecimal(outcome.status));
  }
  if (!outcome.complete || ids.empty()) return fallback;
  CollectionItemsCache record;
  record.slug = slug;
  record.fetched_at = UnixNow();
  record.model_ids = ids;
  SaveCollectionItemsCache(record);
  return ids;
}

std::string FindModelIdByName(const std::string& model_folder, const std::vector<std::string>& ids) {
  const std::vector<std::string> names = ModelFolderNames(ids);
  for (size_t i = 0; i < ids.size(); ++i) {
    if (names[i] == model_folder) return ids[i];
  }
  return std::string();
}
