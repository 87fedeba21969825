// Directory enumeration: find-data records and the enumeration handle.
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
