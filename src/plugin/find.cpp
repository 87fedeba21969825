// Directory enumeration: the root listing, records handed to the host, and the open listings.
#include "plugin/find.h"

#include <cstring>
#include <memory>

#include "core/state.h"
#include "core/time.h"
#include "hub/ratelimit.h"
#include "platform/platform.h"
#include "plugin/folders.h"
#include "plugin/host_text.h"
#include "plugin/vpath.h"
#include "plugin/writes.h"

namespace {

// A rate limit this listing (or a copy on another thread) ran into is told once the listing is done,
// whichever way it returns.
struct TellLimitsAfter {
  ~TellLimitsAfter() {
    TellRateLimitsOnMainThread();
    TellQueuedWriteMessages();
  }
};

void SetTime(HostFileTime* out, int64_t unix_time) {
  if (unix_time == 0) return;
  const uint64_t ft = UnixToFileTime(unix_time);
  out->low = static_cast<uint32_t>(ft & 0xFFFFFFFFu);
  out->high = static_cast<uint32_t>(ft >> 32);
}

void FillRecord(const std::u16string& name, uint32_t attributes, int64_t size, int64_t unix_time,
                HostFindData* record) {
  std::memset(record, 0, sizeof(*record));
  record->attributes = attributes;
  CopyToHost(record->file_name, 260, name);  // longer names keep their first 259 units
  const uint64_t usize = static_cast<uint64_t>(size);
  record->size_high = static_cast<uint32_t>(usize >> 32);
  record->size_low = static_cast<uint32_t>(usize & 0xFFFFFFFFu);
  SetTime(&record->last_write_time, unix_time);
}

std::unique_ptr<FindHandle> RootListing() {
  auto handle = std::make_unique<FindHandle>();
  StateLock guard(g_state.lock);
  g_state.temporary_present = false;  // leaving for the root ends a temporary browse
  handle->items.reserve(3 + g_state.entries.size());
  handle->items.push_back({kTemporaryName, true, 0, 0});
  handle->items.push_back({kAddNewEntryName, false, 0, 0});
  handle->items.push_back({kSettingsName, false, 0, 0});
  for (const Entry& entry : g_state.entries) {
    handle->items.push_back({entry.display_name, true, 0, entry.cached_at > 0 ? entry.cached_at : entry.created_at});
  }
  return handle;
}

std::unique_ptr<FindHandle> HandleOf(std::optional<Listing> listing) {
  if (!listing) return nullptr;
  auto handle = std::make_unique<FindHandle>();
  handle->items = std::move(*listing);
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
  if (copy.allow_changes) {
    if (std::optional<Listing> made = MadeFolderListing(components)) return HandleOf(std::move(made));
    std::optional<Listing> listing = EnumFolder(copy, components, host_path);
    if (listing) AddMadeFolders(components, &*listing);
    return HandleOf(std::move(listing));
  }
  return HandleOf(EnumFolder(copy, components, host_path));
}

}  // namespace

HostFindData MakeDirRecord(const std::u16string& name, int64_t unix_time) {
  HostFindData record;
  FillRecord(name, kAttrFolder, 0, unix_time, &record);
  return record;
}

HostFindData MakeFileRecord(const std::u16string& name, int64_t size, int64_t unix_time) {
  HostFindData record;
  FillRecord(name, kAttrFile, size, unix_time, &record);
  return record;
}

void WriteRecord(const ListItem& item, HostFindData* out) {
  FillRecord(item.name, item.folder ? kAttrFolder : kAttrFile, item.folder ? 0 : item.size, item.time, out);
}

extern "C" {

HostHandle TARN_CALL FsFindFirstW(HostChar* path, HostFindData* find_data) {
  try {
    const TellLimitsAfter tell_limits;
    const std::u16string host_path = FromHost(path);
    const VirtualPath components = SplitPath(host_path);
    // The date worker goes on only while the host stays in its folder.
    StopDateWorkerUnlessFor(PathPrefix(components, components.size()));
    std::unique_ptr<FindHandle> handle;
    if (components.empty()) {
      handle = RootListing();
    } else if (components[0] == kTemporaryName) {
      handle = HandleOf(EnumTemporary(components, host_path));
    } else {
      handle = EntryListing(components, host_path);
    }
    if (handle && !handle->items.empty() && find_data) {
      WriteRecord(handle->items[0], find_data);
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
  if (h->cursor >= h->items.size()) return 0;
  WriteRecord(h->items[h->cursor++], find_data);
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
