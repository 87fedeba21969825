// The entry record's JSON form, shared by favorites.json and the settings export.
#include "config/entry.h"

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "plugin/text.h"

namespace {

using nlohmann::json;

// Member reads for the entry's own types; the shared ones (declared in entry.h) follow the namespace.

bool ReadBool(const json& object, const char* key, bool* out) {
  const auto it = object.find(key);
  if (it == object.end()) return true;
  if (!it->is_boolean()) return false;
  *out = it->get<bool>();
  return true;
}

bool ReadInt64(const json& object, const char* key, int64_t* out) {
  const auto it = object.find(key);
  if (it == object.end()) return true;
  if (it->is_number_integer() && !it->is_number_unsigned()) {
    *out = it->get<int64_t>();
    return true;
  }
  if (it->is_number_unsigned()) {
    const uint64_t value = it->get<uint64_t>();
    if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
    *out = static_cast<int64_t>(value);
    return true;
  }
  if (it->is_number_float()) {
    // 300.0 is still a whole number; a fraction or anything beyond the range is not one.
    const double value = it->get<double>();
    if (!std::isfinite(value) || std::floor(value) != value || value < -9.2e18 || value > 9.2e18) return false;
    *out = static_cast<int64_t>(value);
    return true;
  }
  return false;
}

const char* TypeText(uint32_t type) {
  switch (type) {
    case OrgModels: return "org-models";
    case OrgCollections: return "org-collections";
    case SingleModel: return "single-model";
    default: return "unknown";
  }
}

}  // namespace

bool ReadJsonString(const json& object, const char* key, std::string* out) {
  const auto it = object.find(key);
  if (it == object.end()) return true;
  if (!it->is_string()) return false;
  *out = it->get_ref<const std::string&>();
  return true;
}

bool ReadJsonInt32(const json& object, const char* key, int32_t* out) {
  int64_t wide = *out;
  if (!ReadInt64(object, key, &wide)) return false;
  if (wide < std::numeric_limits<int32_t>::min() || wide > std::numeric_limits<int32_t>::max()) return false;
  *out = static_cast<int32_t>(wide);
  return true;
}

bool EntryFromJson(const json& object, Entry* entry) {
  if (!object.is_object()) return false;
  Entry e;  // the defaults for missing keys
  std::string type = "org-models";
  std::string kind = "model";
  std::string display_name;
  if (!ReadJsonString(object, "id", &e.id) || !ReadJsonString(object, "type", &type) ||
      !ReadJsonString(object, "kind", &kind) || !ReadJsonString(object, "org", &e.org) ||
      !ReadJsonString(object, "repo_id", &e.repo_id) || !ReadJsonString(object, "display_name", &display_name) ||
      !ReadBool(object, "cache_enabled", &e.cache_enabled) || !ReadInt64(object, "cached_at", &e.cached_at) ||
      !ReadInt64(object, "created_at", &e.created_at) || !ReadBool(object, "limit_enabled", &e.limit_enabled) ||
      !ReadJsonInt32(object, "limit_count", &e.limit_count)) {
    return false;
  }
  if (type == "org-collections") {
    e.type = OrgCollections;
  } else if (type == "single-model") {
    e.type = SingleModel;
  } else {
    e.type = OrgModels;
  }
  e.is_dataset = kind == "dataset" ? 1 : 0;
  e.display_name = Utf8ToWide(display_name);
  if (e.limit_count < 10) e.limit_count = 10;
  *entry = std::move(e);
  return !entry->display_name.empty();
}

json EntryToJson(const Entry& entry) {
  json object = json::object();
  object["id"] = entry.id;
  object["type"] = TypeText(entry.type);
  object["kind"] = entry.is_dataset == 1 ? "dataset" : "model";
  object["org"] = entry.org;
  object["repo_id"] = entry.repo_id;
  object["display_name"] = WideToUtf8(entry.display_name);
  object["cache_enabled"] = entry.cache_enabled;
  object["cached_at"] = entry.cached_at;
  object["created_at"] = entry.created_at;
  object["limit_enabled"] = entry.limit_enabled;
  object["limit_count"] = entry.limit_count;
  return object;
}
