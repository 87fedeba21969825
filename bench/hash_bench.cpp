// Hashing speed of a download's content check: SHA-256 on the platform's hashes (libcurl's side:
// libsodium; Windows: BCrypt) and on the processor's SHA extensions, over 256 MiB in 256 KiB pieces
// (the read buffer's size). Prints MB/s (10^6 bytes) for each.
#include <chrono>
#include <cstdio>
#include <string>

#include "hub/content_hash.h"

namespace {

template <typename Hash>
double MegabytesPerSecond(const std::string& piece, int pieces, Hash hash) {
  const auto start = std::chrono::steady_clock::now();
  hash(piece, pieces);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return static_cast<double>(piece.size()) * pieces / seconds / 1e6;
}

}  // namespace

int main() {
  const std::string piece(256 * 1024, 'x');
  const int pieces = 1024;
  const double platform = MegabytesPerSecond(piece, pieces, [](const std::string& p, int n) {
    PlatformHashState* state = PlatformHashBegin(HashAlgorithm::Sha256);
    for (int i = 0; i < n; ++i) PlatformHashUpdate(state, p.data(), p.size());
    PlatformHashEnd(state);
  });
  std::printf("platform SHA-256: %.1f MB/s\n", platform);
  if (!CpuHasSha256()) {
    std::printf("processor SHA-256: no SHA extensions\n");
    return 0;
  }
  const double cpu = MegabytesPerSecond(piece, pieces, [](const std::string& p, int n) {
    Sha256Cpu hash;
    Sha256CpuBegin(&hash);
    for (int i = 0; i < n; ++i) Sha256CpuUpdate(&hash, p.data(), p.size());
    Sha256CpuEnd(&hash);
  });
  std::printf("processor SHA-256: %.1f MB/s\n", cpu);
  return 0;
}
