// Collections of an organisation: folder names made from titles and model ids, and the way back from
// a folder name to the collection's slug and the model's repository id.
#include "browse/browse.h"
#include "browse/internal.h"
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
  return collection.title.empty() ? collection.slug : collection.title;
}

std::string ModelFolderName(const std::string& model_id) {
  const size_t slash = model_id.find('/');
  return slash == std::string::npos ? model_id : model_id.substr(slash + 1);
}

Listing EnumOrgCollections(const std::string& org) {
  const std::vector<CollectionInfo> collections = LoadOrgCollections(org);
  Listing listing;
  listing.reserve(collections.size());
  for (const CollectionInfo& c : collections) {
    std::u16string name = Utf8ToWide(CollectionFolderName(c));
    if (IsHostSafeName(name)) listing.push_back({std::move(name), true, 0, c.last_updated});
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
  listing.reserve(ids.size());
  for (const std::string& id : ids) {
    std::u16string name = Utf8ToWide(ModelFolderName(id));
    if (IsHostSafeName(name)) listing.push_back({std::move(name), true, 0, 0});
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
  std::vector<CollectionInfo> collections = ListOwnerCollections(org, ApiKeyUtf8());
  if (collections.empty()) return collections;  // no answer or none: ask again next time
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
  std::vector<std::string> ids = ListCollectionModels(slug, ApiKeyUtf8());
  if (ids.empty()) return fallback;
  CollectionItemsCache record;
  record.slug = slug;
  record.fetched_at = UnixNow();
  record.model_ids = ids;
  SaveCollectionItemsCache(record);
  return ids;
}

std::string FindModelIdByName(const std::string& model_folder, const std::vector<std::string>& ids) {
  for (const std::string& id : ids) {
    if (ModelFolderName(id) == model_folder) return id;
  }
  return std::string();
}
