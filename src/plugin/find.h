// Directory enumeration: find-data records and the enumeration handle.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "browse/browse.h"
#include "plugin/host_abi.h"

// The whole listing is made at FsFindFirstW; each 592-byte record is written into the host's buffer as
// it is handed out (a folder of 10,000 would otherwise hold and copy 6 MB of records).
struct FindHandle {
  Listing items;                       // the whole listing, in the order the host receives it
  size_t cursor = 0;                   // next item to hand out
  std::u16string normalized_path;      // PathPrefix of all components once handed to the host
};

HostFindData MakeDirRecord(const std::u16string& name, int64_t unix_time);
HostFindData MakeFileRecord(const std::u16string& name, int64_t size, int64_t unix_time);
// The record of one listed item, written over `out`.
void WriteRecord(const ListItem& item, HostFindData* out);
