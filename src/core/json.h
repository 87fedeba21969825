// The one way JSON is read and written here (hub bodies, cache files, favorites.json). Readers look
// every key up by name with a default: a missing member, a member of another JSON type, or a number the
// target type cannot hold exactly gives the default. Nothing here throws.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

// Values a document may hold before it is refused unparsed: above any file this module writes (a
// listing is capped at 100,000 items), and it bounds the memory a hostile document can take.
constexpr size_t kMaxJsonValues = 1000000;

// The document, or null when the text is empty, does not parse (comments are not allowed) or holds
// more than `max_values` values (objects, arrays, members' values and elements all count).
nlohmann::json ParseJson(const std::string& text, size_t max_values = kMaxJsonValues);

std::string JsonString(const nlohmann::json& object, const char* key, const std::string& fallback = std::string());
int64_t JsonInt64(const nlohmann::json& object, const char* key, int64_t fallback = 0);
int32_t JsonInt32(const nlohmann::json& object, const char* key, int32_t fallback = 0);
bool JsonBool(const nlohmann::json& object, const char* key, bool fallback);
// The member when it is an array / an object; null when it is missing or of another type.
const nlohmann::json* JsonArray(const nlohmann::json& object, const char* key);
const nlohmann::json* JsonObject(const nlohmann::json& object, const char* key);

// Writes `document` pretty-printed to a temporary file named after the target and the thread id, keeps
// the previous target as ".bak" when asked, and replaces the target atomically with write-through. Two
// saves of one target in one process both succeed, the later replace last.
bool WriteJsonFileAtomic(const std::u16string& target, const nlohmann::json& document, bool make_backup);
