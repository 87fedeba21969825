// Directory enumeration: find-data records, the enumeration handle, open listings, time conversion.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plugin/host_abi.h"

struct FindHandle {
  std::vector<HostFindData> records;   // the whole listing, in the order the host receives it
  size_t cursor = 0;                   // next record to hand out
  std::u16string normalized_path;      // PathPrefix of all components once handed to the host
};

HostFindData MakeDirRecord(const std::u16string& name, int64_t unix_time);
HostFindData MakeFileRecord(const std::u16string& name, int64_t size, int64_t unix_time);
int64_t ParseIsoTime(const std::string& text);
uint64_t UnixToFileTime(int64_t unix_seconds);
bool IsListingOpen(const std::u16string& normalized_path);
