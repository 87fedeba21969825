// Windows side of the content hashes: BCrypt's SHA-1 and SHA-256.
#include <windows.h>
#include <bcrypt.h>

#include "platform/platform.h"

struct PlatformHashState {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ULONG digest_size = 0;
  bool failed = false;
};

namespace {
void Free(PlatformHashState* state) {
  if (state->hash) BCryptDestroyHash(state->hash);
  if (state->algorithm) BCryptCloseAlgorithmProvider(state->algorithm, 0);
  delete state;
}
}  // namespace

PlatformHashState* PlatformHashBegin(HashAlgorithm algorithm) {
  auto* state = new PlatformHashState;
  ULONG got = 0;
  const wchar_t* id = algorithm == HashAlgorithm::Sha1 ? BCRYPT_SHA1_ALGORITHM : BCRYPT_SHA256_ALGORITHM;
  if (BCryptOpenAlgorithmProvider(&state->algorithm, id, nullptr, 0) != 0 ||
      BCryptGetProperty(state->algorithm, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&state->digest_size),
                        sizeof(state->digest_size), &got, 0) != 0 ||
      BCryptCreateHash(state->algorithm, &state->hash, nullptr, 0, nullptr, 0, 0) != 0) {
    Free(state);
    return nullptr;
  }
  return state;
}

void PlatformHashUpdate(PlatformHashState* state, const void* data, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (state && size > 0 && !state->failed) {
    const ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
    if (BCryptHashData(state->hash, const_cast<PUCHAR>(bytes), piece, 0) != 0) state->failed = true;
    bytes += piece;
    size -= piece;
  }
}

std::string PlatformHashEnd(PlatformHashState* state) {
  if (!state) return std::string();
  std::string out(state->digest_size, '\0');
  if (state->failed || out.empty() ||
      BCryptFinishHash(state->hash, reinterpret_cast<PUCHAR>(&out[0]), state->digest_size, 0) != 0) {
    out.clear();
  }
  Free(state);
  return out;
}

// BCrypt under Wine hashes at a fraction of the download's speed (bench/README.md).
bool PlatformSha256UsesCpu() { return false; }
