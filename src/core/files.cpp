// Paths and whole files, portable above the seam.
#include "core/files.h"

#include <fstream>
#include <system_error>

#include "platform/platform.h"

std::u16string JoinFsPath(const std::u16string& folder, const std::u16string& name) {
  if (folder.empty()) return name;
  std::u16string out = folder;
  const char16_t sep = PlatformPathSeparator();
  if (out.back() != sep) out.push_back(sep);
  out += name;
  return out;
}

std::filesystem::path FsPath(const std::u16string& path) { return PlatformFsPath(path); }

bool ReadFileBytes(const std::u16string& path, std::string* bytes, size_t max_bytes) {
  try {
    const std::filesystem::path fs_path = FsPath(path);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(fs_path, ec)) return false;
    std::ifstream in(fs_path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    const std::streamoff size = in.tellg();
    if (size < 0 || static_cast<uint64_t>(size) > max_bytes) return false;
    bytes->assign(static_cast<size_t>(size), '\0');
    in.seekg(0);
    in.read(bytes->data(), size);
    bytes->resize(static_cast<size_t>(in.gcount()));  // the file may have shrunk since tellg
    return !in.bad();
  } catch (...) {
    return false;  // out of memory, or a path the conversion rejects
  }
}

void RemoveFileQuietly(const std::u16string& path) {
  try {
    std::error_code ec;
    std::filesystem::remove(FsPath(path), ec);
  } catch (...) {
  }
}

int64_t FileSize(const std::u16string& path) {
  try {
    std::error_code ec;
    const std::filesystem::path fs_path = FsPath(path);
    if (!std::filesystem::is_regular_file(fs_path, ec)) return -1;
    const auto size = std::filesystem::file_size(fs_path, ec);
    return ec ? -1 : static_cast<int64_t>(size);
  } catch (...) {
    return -1;  // a path the conversion rejects
  }
}

int64_t HeldBytes(const std::vector<ByteSpan>& spans) {
  int64_t held = 0;
  for (const ByteSpan& span : spans) held += span.end - span.begin;
  return held;
}
