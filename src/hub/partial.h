// Bytes of an unfinished download kept beside its target, so that the next copy of the same file
// continues where the last one stopped. The part file lies beside the target; what it holds (the
// hub's address and validator, the size and the byte spans) is recorded in one index in the
// configuration folder, which also finds parts that no copy came back for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/files.h"

struct PartRecord {
  std::string source;           // the file: ["datasets/"] owner/name/path
  std::string etag;             // the validator the bytes belong to
  int64_t total = -1;
  std::vector<ByteSpan> have;   // ascending, not overlapping
  int64_t saved_at = 0;         // Unix seconds
  std::string digest;           // every byte held: their hex digest (as the listing's check names it); else empty
};

// The part file's name: the target's name with a suffix, or a short name of its own when that
// would exceed the file system's 255 units.
std::u16string PartPathFor(const std::u16string& target);

// Only one download at a time may use a target's part file; a second one writes a temporary file
// of its own and keeps nothing.
bool ClaimPart(const std::u16string& target);
void ReleasePart(const std::u16string& target);

// Takes the target's record out of the index (a run that dies keeps nothing it cannot vouch for).
// False when there is none for `source`, or its part file is missing or shorter than its spans.
bool TakePartRecord(const std::u16string& target, const std::string& source, PartRecord* out);
void SavePartRecord(const std::u16string& target, const PartRecord& record);
// Forgets the target's record (the copy finished, or kept nothing).
void DropPartRecord(const std::u16string& target);
// Removes the parts (and records) saved more than a week ago, and records without a part file.
void RemoveStaleParts();

constexpr int64_t kKeepPartSeconds = 7 * 24 * 3600;
