// Reading members with defaults, parsing without exceptions, and the crash-safe JSON file writer.
#include "core/json.h"

#include <cmath>
#include <fstream>
#include <limits>
#include <system_error>

#include "core/files.h"
#include "core/text.h"
#include "platform/platform.h"

using nlohmann::json;

namespace {

const json* Member(const json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

// A JSON number as int64_t when it is a whole number in range; 300.0 counts, 1.5 and 1e30 do not.
bool AsInt64(const json& value, int64_t* out) {
  if (value.is_number_unsigned()) {
    const uint64_t u = value.get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
    *out = static_cast<int64_t>(u);
    return true;
  }
  if (value.is_number_integer()) {
    *out = value.get<int64_t>();
    return true;
  }
  if (value.is_number_float()) {
    const double d = value.get<double>();
    // 2^63 is exact as a double; the range check comes before the cast that would otherwise be undefined.
    if (!std::isfinite(d) || std::floor(d) != d || d < -9223372036854775808.0 || d >= 9223372036854775808.0) {
      return false;
    }
    *out = static_cast<int64_t>(d);
    return true;
  }
  return false;
}

}  // namespace

json ParseJson(const std::string& text) {
  if (text.empty()) return json();
  try {
    json document = json::parse(text, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/false);
    if (document.is_discarded()) return json();
    return document;
  } catch (...) {
    return json();  // out of memory on a huge document: as unusable as a damaged one
  }
}

std::string JsonString(const json& object, const char* key, const std::string& fallback) {
  const json* value = Member(object, key);
  return value && value->is_string() ? value->get_ref<const std::string&>() : fallback;
}

int64_t JsonInt64(const json& object, const char* key, int64_t fallback) {
  const json* value = Member(object, key);
  int64_t out = 0;
  return value && AsInt64(*value, &out) ? out : fallback;
}

int32_t JsonInt32(const json& object, const char* key, int32_t fallback) {
  const json* value = Member(object, key);
  int64_t out = 0;
  if (!value || !AsInt64(*value, &out)) return fallback;
  if (out < std::numeric_limits<int32_t>::min() || out > std::numeric_limits<int32_t>::max()) return fallback;
  return static_cast<int32_t>(out);
}

bool JsonBool(const json& object, const char* key, bool fallback) {
  const json* value = Member(object, key);
  return value && value->is_boolean() ? value->get<bool>() : fallback;
}

const json* JsonArray(const json& object, const char* key) {
  const json* value = Member(object, key);
  return value && value->is_array() ? value : nullptr;
}

const json* JsonObject(const json& object, const char* key) {
  const json* value = Member(object, key);
  return value && value->is_object() ? value : nullptr;
}

bool WriteJsonFileAtomic(const std::u16string& target, const json& document, bool make_backup) {
  if (target.empty()) return false;
  const std::u16string temporary = target + u"." + WideDecimal(PlatformThreadId()) + u".tmp";
  try {
    // Invalid UTF-8 in a text becomes U+FFFD instead of an exception half-way through the file.
    const std::string text = document.dump(2, ' ', false, json::error_handler_t::replace);
    {
      // Text mode: line breaks on disk are the platform's own.
      std::ofstream out(FsPath(temporary), std::ios::out | std::ios::trunc);
      if (!out) return false;
      out.write(text.data(), static_cast<std::streamsize>(text.size()));
      out.flush();
      const bool written = out.good();
      out.close();
      if (!written || out.fail()) {
        RemoveFileQuietly(temporary);
        return false;
      }
    }
    std::error_code ec;
    if (make_backup && std::filesystem::is_regular_file(FsPath(target), ec)) {
      // Remove, then copy: mingw's copy_file refuses overwrite_existing on any existing file (its
      // stat has no inode, so every pair looks like one file). A failed copy must not stop the save.
      RemoveFileQuietly(target + u".bak");
      std::filesystem::copy_file(FsPath(target), FsPath(target + u".bak"), ec);
    }
    if (!PlatformReplaceFile(temporary, target)) {
      RemoveFileQuietly(temporary);
      return false;
    }
    return true;
  } catch (...) {
    RemoveFileQuietly(temporary);
    return false;
  }
}
