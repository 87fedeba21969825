#include "hub/content_hash.h"

#include <string>

namespace {

// Lower-case hex of exactly `digits` digits, or empty.
std::string NormalizedHex(const std::string& text, size_t digits) {
  if (text.size() != digits) return std::string();
  std::string out = text;
  for (char& c : out) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::string();
  }
  return out;
}

}  // namespace

ContentCheck ContentCheckFor(const ListedContent& listed) {
  ContentCheck check;
  // A large file's git blob id names its pointer file, not its bytes: only the SHA-256 says anything.
  if (!listed.lfs_oid.empty()) {
    check.hex = NormalizedHex(listed.lfs_oid, 64);
    return check;
  }
  check.algorithm = HashAlgorithm::Sha1;
  check.git_blob = true;
  check.hex = NormalizedHex(listed.oid, 40);
  return check;
}

bool ContentHasher::Begin(const ContentCheck& check, int64_t size) {
  on_cpu = check.algorithm == HashAlgorithm::Sha256 && !PlatformSha256UsesCpu() && CpuHasSha256();
  if (on_cpu) {
    Sha256CpuBegin(&cpu);
    return true;
  }
  state = PlatformHashBegin(check.algorithm);
  if (!state) return false;
  if (check.git_blob) {
    const std::string header = "blob " + std::to_string(size);
    Update(header.c_str(), header.size() + 1);  // with its NUL
  }
  return true;
}

std::string ContentHasher::EndHex() {
  const std::string digest = on_cpu ? Sha256CpuEnd(&cpu) : PlatformHashEnd(state);
  state = nullptr;
  on_cpu = false;
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char b : digest) {
    hex.push_back(kHex[b >> 4]);
    hex.push_back(kHex[b & 15]);
  }
  return hex;
}

ContentHasher::~ContentHasher() {
  if (state) PlatformHashEnd(state);
}
