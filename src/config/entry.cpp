// The entry record's JSON form, shared by favorites.json and the settings export.
#include "config/entry.h"

#include <nlohmann/json.hpp>

#include "core/json.h"
#include "core/text.h"

namespace {

using nlohmann::json;

const char* TypeText(uint32_t type) {
  switch (type) {
    case OrgModels: return "org-models";
    case OrgCollections: return "org-collections";
    case SingleModel: return "single-model";
    default: return "unknown";
  }
}

}  // namespace

bool EntryFromJson(const json& object, Entry* entry) {
  if (!object.is_object()) return false;
  const Entry defaults;
  Entry e;
  e.id = JsonString(object, "id");
  const std::string type = JsonString(object, "type", "org-models");
  if (type == "org-collections") {
    e.type = OrgCollections;
  } else if (type == "single-model") {
    e.type = SingleModel;
  } else {
    e.type = OrgModels;
  }
  e.repo_type = RepoTypeFromName(JsonString(object, "kind", "model"));  // an unknown kind reads as a model
  e.org = JsonString(object, "org");
  e.repo_id = JsonString(object, "repo_id");
  // Only a single repository is listed at a revision; an empty one is main, as an absent one.
  if (e.type == SingleModel) e.revision = JsonString(object, "revision", defaults.revision);
  if (e.revision.empty()) e.revision = defaults.revision;
  e.display_name = Utf8ToWide(JsonString(object, "display_name"));
  e.cache_enabled = JsonBool(object, "cache_enabled", defaults.cache_enabled);
  e.cached_at = JsonInt64(object, "cached_at", defaults.cached_at);
  e.created_at = JsonInt64(object, "created_at", defaults.created_at);
  e.limit_enabled = JsonBool(object, "limit_enabled", defaults.limit_enabled);
  e.limit_count = JsonInt32(object, "limit_count", defaults.limit_count);
  if (e.limit_count < 10) e.limit_count = 10;
  e.allow_changes = JsonBool(object, "allow_changes", defaults.allow_changes);
  e.changes_as_pull_request = JsonBool(object, "changes_as_pull_request", defaults.changes_as_pull_request);
  *entry = std::move(e);
  return !entry->display_name.empty();
}

json EntryToJson(const Entry& entry) {
  json object = json::object();
  object["id"] = entry.id;
  object["type"] = TypeText(entry.type);
  object["kind"] = RepoTypeName(entry.repo_type);
  object["org"] = entry.org;
  object["repo_id"] = entry.repo_id;
  // Main is not written, so that a file of entries on main stays as older versions wrote it.
  if (entry.type == SingleModel && entry.revision != "main") object["revision"] = entry.revision;
  object["display_name"] = WideToUtf8(entry.display_name);
  object["cache_enabled"] = entry.cache_enabled;
  object["cached_at"] = entry.cached_at;
  object["created_at"] = entry.created_at;
  object["limit_enabled"] = entry.limit_enabled;
  object["limit_count"] = entry.limit_count;
  // Written only when on, so that files of read-only entries keep the bytes older versions wrote.
  if (entry.allow_changes) object["allow_changes"] = true;
  if (entry.changes_as_pull_request) object["changes_as_pull_request"] = true;
  return object;
}
