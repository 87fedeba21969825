// Local files every subsystem shares: joining and converting paths, whole-file reads and quiet removal.
#pragma once

#include <filesystem>
#include <string>

// Folder + separator + name, with the platform's separator.
std::u16string JoinFsPath(const std::u16string& folder, const std::u16string& name);
// A std::filesystem path for a UTF-16 path.
std::filesystem::path FsPath(const std::u16string& path);
// The whole file in byte mode; false when it is not a regular file, cannot be read or is larger than
// `max_bytes`.
bool ReadFileBytes(const std::u16string& path, std::string* bytes, size_t max_bytes);
// Removes a file; a file that is already gone, or cannot be removed, is not reported.
void RemoveFileQuietly(const std::u16string& path);
