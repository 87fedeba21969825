// The index of kept parts: "partial_downloads.json" in the configuration folder, read and written
// whole under one lock (downloads run on several host threads), saved like every other JSON file.
#include "hub/partial.h"

#include <ctime>
#include <filesystem>
#include <mutex>
#include <set>
#include <system_error>

#include <nlohmann/json.hpp>

#include "core/files.h"
#include "core/json.h"
#include "core/state.h"
#include "core/text.h"

namespace {

using nlohmann::json;

constexpr size_t kMaxNameUnits = 255;
const std::u16string kPartSuffix = u".tarnfs-part";

std::mutex g_parts_lock;            // the index file and the claimed set
std::set<std::u16string> g_claimed;

std::u16string IndexPath() {
  StateLock guard(g_state.lock);
  return g_state.config_folder.empty() ? std::u16string()
                                       : JoinFsPath(g_state.config_folder, u"partial_downloads.json");
}

constexpr size_t kMaxIndexBytes = 16u << 20;  // thousands of records; a larger file is not read

json ReadIndex(const std::u16string& path) {
  std::string text;
  json doc = ReadFileBytes(path, &text, kMaxIndexBytes) ? ParseJson(text) : json();
  if (!doc.is_object()) doc = json::object();
  if (!JsonObject(doc, "parts")) doc["parts"] = json::object();
  return doc;
}

// Reads the index under the lock and hands its "parts" object to `edit`, which returns whether it
// changed it; a changed index is written back before the lock is released.
template <typename Edit>
void EditIndex(Edit edit) {
  const std::u16string path = IndexPath();
  if (path.empty()) return;
  std::lock_guard<std::mutex> guard(g_parts_lock);
  try {
    json index = ReadIndex(path);
    if (edit(index["parts"])) WriteJsonFileAtomic(path, index, false);
  } catch (...) {
  }
}

bool RecordFromJson(const json& item, PartRecord* out) {
  PartRecord record;
  record.source = JsonString(item, "source");
  record.etag = JsonString(item, "etag");
  record.total = JsonInt64(item, "size", -1);
  record.saved_at = JsonInt64(item, "saved_at");
  record.digest = JsonString(item, "digest");
  const json* have = JsonArray(item, "have");
  if (!have) return false;
  int64_t at = 0;
  for (const json& span : *have) {
    if (!span.is_array() || span.size() != 2 || !span[0].is_number_integer() || !span[1].is_number_integer()) {
      return false;
    }
    const ByteSpan s{span[0].get<int64_t>(), span[1].get<int64_t>()};
    if (s.begin < at || s.end <= s.begin || s.end > record.total) return false;
    record.have.push_back(s);
    at = s.end;
  }
  *out = std::move(record);
  return true;
}

}  // namespace

std::u16string PartPathFor(const std::u16string& target) {
  const size_t cut = target.find_last_of(u"/\\");
  const size_t name_units = cut == std::u16string::npos ? target.size() : target.size() - cut - 1;
  if (name_units + kPartSuffix.size() <= kMaxNameUnits) return target + kPartSuffix;
  // FNV-1a of the name: the same target always finds the same part.
  uint64_t hash = 1469598103934665603ull;
  for (char16_t c : target) hash = (hash ^ c) * 1099511628211ull;
  static const char kHex[] = "0123456789abcdef";
  std::u16string name = u"~tarnfs-";
  for (int shift = 60; shift >= 0; shift -= 4) name.push_back(static_cast<char16_t>(kHex[(hash >> shift) & 15]));
  return target.substr(0, cut + 1) + name + kPartSuffix;
}

bool ClaimPart(const std::u16string& target) {
  std::lock_guard<std::mutex> guard(g_parts_lock);
  return g_claimed.insert(target).second;
}

void ReleasePart(const std::u16string& target) {
  std::lock_guard<std::mutex> guard(g_parts_lock);
  g_claimed.erase(target);
}

bool TakePartRecord(const std::u16string& target, const std::string& source, PartRecord* out) {
  bool usable = false;
  EditIndex([&](json& parts) {
    const auto found = parts.find(WideToUtf8(target));
    if (found == parts.end()) return false;
    PartRecord record;
    usable = RecordFromJson(*found, &record) && record.source == source && !record.have.empty() &&
             FileSize(PartPathFor(target)) >= record.have.back().end;
    parts.erase(found);
    if (usable) *out = std::move(record);
    return true;
  });
  return usable;
}

void SavePartRecord(const std::u16string& target, const PartRecord& record) {
  EditIndex([&](json& parts) {
    json have = json::array();
    for (const ByteSpan& s : record.have) have.push_back({s.begin, s.end});
    json item = {{"source", record.source}, {"etag", record.etag},         {"size", record.total},
                 {"have", std::move(have)}, {"saved_at", record.saved_at}};
    if (!record.digest.empty()) item["digest"] = record.digest;
    parts[WideToUtf8(target)] = std::move(item);
    return true;
  });
}

void DropPartRecord(const std::u16string& target) {
  EditIndex([&](json& parts) { return parts.erase(WideToUtf8(target)) > 0; });
}

void RemoveStaleParts() {
  EditIndex([](json& parts) {
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    bool removed = false;
    for (auto it = parts.begin(); it != parts.end();) {
      const std::u16string target = Utf8ToWide(it.key());
      PartRecord record;
      const bool readable = RecordFromJson(it.value(), &record);
      const bool claimed = g_claimed.count(target) != 0;
      if (!claimed && (!readable || now - record.saved_at > kKeepPartSeconds || FileSize(PartPathFor(target)) < 0)) {
        RemoveFileQuietly(PartPathFor(target));
        it = parts.erase(it);
        removed = true;
      } else {
        ++it;
      }
    }
    return removed;
  });
}
