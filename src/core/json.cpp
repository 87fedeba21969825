// Reading members with defaults, parsing without exceptions, and the crash-safe JSON file writer.
#include "core/json.h"

#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <mutex>
#include <set>
#include <system_error>

#include "core/files.h"
#include "core/text.h"
#include "platform/platform.h"

using nlohmann::json;

namespace {

constexpr std::filesystem::perms kPrivateFile =
    std::filesystem::perms::owner_read | std::filesystem::perms::owner_write;

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

// Counts values without building anything; stops the scan once the budget is spent.
struct ValueCounter {
  size_t left;
  bool Take() { return left-- > 0; }
  bool null() { return Take(); }
  bool boolean(bool) { return Take(); }
  bool number_integer(json::number_integer_t) { return Take(); }
  bool number_unsigned(json::number_unsigned_t) { return Take(); }
  bool number_float(json::number_float_t, const json::string_t&) { return Take(); }
  bool string(json::string_t&) { return Take(); }
  bool binary(json::binary_t&) { return Take(); }
  bool start_object(size_t) { return Take(); }
  bool key(json::string_t&) { return true; }
  bool end_object() { return true; }
  bool start_array(size_t) { return Take(); }
  bool end_array() { return true; }
  bool parse_error(size_t, const std::string&, const nlohmann::detail::exception&) { return false; }
};

std::u16string TemporaryFor(const std::u16string& target) {
  return target + u"." + WideDecimal(PlatformThreadId()) + u".tmp";
}

// The temporaries this process is writing now. Never freed: a thread of the module's own may still be
// saving while the process exits and its static objects go.
struct WritingNow {
  std::mutex lock;
  std::set<std::filesystem::path> paths;
};

WritingNow& Writing() {
  static WritingNow* const writing = new WritingNow;
  return *writing;
}

// Marks a temporary as being written for as long as it lives.
class WritingTemporary {
 public:
  explicit WritingTemporary(const std::u16string& temporary) : path_(FsPath(temporary)) {
    std::lock_guard<std::mutex> guard(Writing().lock);
    Writing().paths.insert(path_);
  }
  ~WritingTemporary() {
    std::lock_guard<std::mutex> guard(Writing().lock);
    Writing().paths.erase(path_);
  }
  WritingTemporary(const WritingTemporary&) = delete;
  WritingTemporary& operator=(const WritingTemporary&) = delete;

 private:
  std::filesystem::path path_;
};

bool BeingWritten(const std::filesystem::path& path) {
  std::lock_guard<std::mutex> guard(Writing().lock);
  return Writing().paths.count(path) != 0;
}

// The replaces of one target in this process go one at a time: Windows refuses a replace while
// another one of the same file is under way. Striped by the target's name; never freed, as above.
std::mutex& ReplaceLockFor(const std::u16string& target) {
  constexpr size_t kStripes = 16;
  static std::mutex* const locks = new std::mutex[kStripes];
  return locks[std::hash<std::u16string>{}(target) % kStripes];
}

bool ReplaceFile(const std::u16string& temporary, const std::u16string& target) {
  std::lock_guard<std::mutex> guard(ReplaceLockFor(target));
  return PlatformReplaceFile(temporary, target);
}

// A save killed between writing its temporary file and the replace leaves that file behind, under a
// thread id no later save reuses. The next save of the same target removes them, so they cannot pile
// up. One that another thread of this process is still writing stays: removing it failed that save,
// and its retry could then write what it had read before this save. Another process's temporary in
// flight may still go: that save then fails and the target keeps the last complete file.
void RemoveStaleTemporaries(const std::u16string& target) {
  std::error_code ec;
  const std::filesystem::path path = FsPath(target);
  const std::string prefix = path.filename().u8string() + ".";
  const std::filesystem::path own = FsPath(TemporaryFor(target));
  for (std::filesystem::directory_iterator it(path.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().u8string();
    if (name.size() <= prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - 4, 4, ".tmp") != 0) {
      continue;
    }
    const std::string middle = name.substr(prefix.size(), name.size() - prefix.size() - 4);
    if (middle.find_first_not_of("0123456789") != std::string::npos || it->path() == own) continue;
    if (BeingWritten(it->path())) continue;
    std::error_code ignored;
    std::filesystem::remove(it->path(), ignored);
  }
}

}  // namespace

json ParseJson(const std::string& text, size_t max_values) {
  if (text.empty()) return json();
  try {
    // A DOM costs many times its text for tiny values; count them first so that it is never built.
    ValueCounter counter{max_values};
    if (!json::sax_parse(text, &counter, json::input_format_t::json, /*strict=*/true, /*ignore_comments=*/false)) {
      return json();
    }
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
  const std::u16string temporary = TemporaryFor(target);
  try {
    const WritingTemporary writing(temporary);
    RemoveStaleTemporaries(target);
    // Invalid UTF-8 in a text becomes U+FFFD instead of an exception half-way through the file.
    const std::string text = document.dump(2, ' ', false, json::error_handler_t::replace);
    {
      // Text mode: line breaks on disk are the platform's own.
      std::ofstream out(FsPath(temporary), std::ios::out | std::ios::trunc);
      if (!out) return false;
      // Keys and private repositories' names are the user's alone (owner read and write on POSIX).
      std::error_code private_ec;
      std::filesystem::permissions(FsPath(temporary), kPrivateFile, std::filesystem::perm_options::replace,
                                   private_ec);
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
      // The backup is replaced atomically too, so a copy cut short never takes the previous one's
      // place. mingw's copy_file refuses to overwrite any file, so the copy goes to a fresh name first.
      // A failed backup must not stop the save.
      const std::u16string backup = target + u".bak";
      const std::u16string backup_temporary = TemporaryFor(backup);
      const WritingTemporary writing_backup(backup_temporary);
      RemoveStaleTemporaries(backup);
      RemoveFileQuietly(backup_temporary);
      if (std::filesystem::copy_file(FsPath(target), FsPath(backup_temporary), ec)) {
        std::filesystem::permissions(FsPath(backup_temporary), kPrivateFile, std::filesystem::perm_options::replace,
                                     ec);  // a file saved before it was private is copied with its old mode
        if (!ReplaceFile(backup_temporary, backup)) RemoveFileQuietly(backup_temporary);
      }
    }
    if (!ReplaceFile(temporary, target)) {
      RemoveFileQuietly(temporary);
      return false;
    }
    return true;
  } catch (...) {
    RemoveFileQuietly(temporary);
    return false;
  }
}
