// Local files every subsystem shares: joining and converting paths, whole-file reads, sizes and quiet
// removal, and the byte spans a partly written file holds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Folder + separator + name, with the platform's separator.
std::u16string JoinFsPath(const std::u16string& folder, const std::u16string& name);
// A std::filesystem path for a UTF-16 path.
std::filesystem::path FsPath(const std::u16string& path);
// The whole file in byte mode; false when it is not a regular file, cannot be read or is larger than
// `max_bytes`.
bool ReadFileBytes(const std::u16string& path, std::string* bytes, size_t max_bytes);
// Removes a file; a file that is already gone, or cannot be removed, is not reported.
void RemoveFileQuietly(const std::u16string& path);
// A regular file's size in bytes; -1 when there is none of that name or it cannot be read.
int64_t FileSize(const std::u16string& path);

// Bytes [begin, end) of a file.
struct ByteSpan {
  int64_t begin = 0;
  int64_t end = 0;  // exclusive
};
// How many bytes the spans cover (they do not overlap).
int64_t HeldBytes(const std::vector<ByteSpan>& spans);
