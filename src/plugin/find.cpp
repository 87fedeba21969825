// Directory enumeration: the root listing, handing records to the host, open listings, times.
#include "plugin/find.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "browse/browse.h"
#include "platform/platform.h"
#include "plugin/host_text.h"
#include "plugin/state.h"
#include "plugin/text.h"
#include "plugin/vpath.h"

namespace {

constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;

void SetTime(HostFileTime* out, int64_t unix_time) {
  if (unix_time == 0) return;
  const uint64_t ft = UnixToFileTime(unix_time);
  out->low = static_cast<uint32_t>(ft & 0xFFFFFFFFu);
  out->high = static_cast<uint32_t>(ft >> 32);
}

HostFindData BlankRecord(const std::u16string& name, uint32_t attributes) {
  HostFindData record;
  std::memset(&record, 0, sizeof(record));
  record.attributes = attributes;
  CopyToHost(record.file_name, 260, name);  // longer names keep their first 259 units
  return record;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

std::unique_ptr<FindHandle> RootListing() {
  auto handle = std::make_unique<FindHandle>();
  StateLock guard(g_state.lock);
  g_state.temporary_present = false;  // leaving for the root ends a temporary browse
  handle->records.reserve(3 + g_state.entries.size());
  handle->records.push_back(MakeDirRecord(kTemporaryName, 0));
  handle->records.push_back(MakeFileRecord(kAddNewEntryName, 0, 0));
  handle->records.push_back(MakeFileRecord(kSettingsName, 0, 0));
  for (const Entry& entry : g_state.entries) {
    handle->records.push_back(MakeDirRecord(entry.display_name, entry.cached_at > 0 ? entry.cached_at : entry.created_at));
  }
  return handle;
}

std::unique_ptr<FindHandle> EntryListing(const VirtualPath& components, const std::u16string& host_path) {
  Entry copy;
  {
    StateLock guard(g_state.lock);
    const std::u16string& first = components[0];
    if (g_state.delete_suppression_active && first != kAddNewEntryName && first != kSettingsName &&
        FindEntryByName(first) != nullptr) {
      LogMessage(u"Delete suppression: " + host_path);
      return nullptr;
    }
    if (g_state.delete_suppressed.count(first)) return nullptr;
    const Entry* entry = FindEntryByName(first);
    if (!entry) return nullptr;
    copy = *entry;
  }
  return EnumFolder(copy, components, host_path);
}

}  // namespace

HostFindData MakeDirRecord(const std::u16string& name, int64_t unix_time) {
  HostFindData record = BlankRecord(name, kAttrFolder);
  SetTime(&record.last_write_time, unix_time);
  return record;
}

HostFindData MakeFileRecord(const std::u16string& name, int64_t size, int64_t unix_time) {
  HostFindData record = BlankRecord(name, kAttrFile);
  const uint64_t usize = static_cast<uint64_t>(size);
  record.size_high = static_cast<uint32_t>(usize >> 32);
  record.size_low = static_cast<uint32_t>(usize & 0xFFFFFFFFu);
  SetTime(&record.last_write_time, unix_time);
  return record;
}

uint64_t UnixToFileTime(int64_t unix_seconds) {
  return static_cast<uint64_t>(unix_seconds) * 10000000ULL + kUnixEpochAsFileTime;
}

int64_t ParseIsoTime(const std::string& text) {
  if (text.size() < 19) return 0;
  short year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (std::sscanf(text.c_str(), "%4hd-%2hd-%2hdT%2hd:%2hd:%2hd", &year, &month, &day, &hour, &minute,
                  &second) < 6) {
    return 0;
  }
  // The same range checks as the system's calendar-to-FILETIME conversion.
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second < 0 || second > 59) {
    return 0;
  }
  const int max_day = kDays[month - 1] + (month == 2 && IsLeap(year) ? 1 : 0);
  if (day > max_day) return 0;
  return DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

bool IsListingOpen(const std::u16string& normalized_path) {
  StateLock guard(g_state.lock);
  return g_state.open_listings.count(normalized_path) != 0;
}

extern "C" {

HostHandle TARN_CALL FsFindFirstW(HostChar* path, HostFindData* find_data) {
  try {
    const std::u16string host_path = FromHost(path);
    const VirtualPath components = SplitPath(host_path);
    std::unique_ptr<FindHandle> handle;
    if (components.empty()) {
      handle = RootListing();
    } else if (components[0] == kTemporaryName) {
      handle = EnumTemporary(components, host_path);
    } else {
      handle = EntryListing(components, host_path);
    }
    if (handle && !handle->records.empty() && find_data) {
      *find_data = handle->records[0];
      handle->cursor = 1;
      handle->normalized_path = PathPrefix(components, components.size());
      {
        StateLock guard(g_state.lock);
        g_state.open_listings.insert(handle->normalized_path);
      }
      return handle.release();
    }
    handle.reset();
    PlatformSetNoMoreFilesError();
    LogMessage(u"FindFirst empty: " + host_path);
  } catch (...) {
    PlatformSetNoMoreFilesError();
  }
  return TARN_INVALID_HANDLE;
}

HostBool TARN_CALL FsFindNextW(HostHandle handle, HostFindData* find_data) {
  if (!handle || handle == TARN_INVALID_HANDLE || !find_data) return 0;
  FindHandle* h = static_cast<FindHandle*>(handle);
  if (h->cursor >= h->records.size()) return 0;
  *find_data = h->records[h->cursor++];
  return 1;
}

int32_t TARN_CALL FsFindClose(HostHandle handle) {
  if (!handle || handle == TARN_INVALID_HANDLE) return 0;
  FindHandle* h = static_cast<FindHandle*>(handle);
  try {
    if (!h->normalized_path.empty()) {
      StateLock guard(g_state.lock);
      g_state.open_listings.erase(h->normalized_path);
    }
  } catch (...) {
  }
  delete h;
  return 0;
}

}  // extern "C"
