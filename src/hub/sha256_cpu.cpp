#include "hub/sha256_cpu.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define TARN_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))
#endif

namespace {

alignas(16) const uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

#if defined(TARN_SHA_TARGET)

// Hashes whole 64-byte blocks. The state lives as ABEF and CDGH in two registers, as sha256rnds2
// wants it; each step does four rounds and extends the message schedule by four words.
TARN_SHA_TARGET void HashBlocks(uint32_t state[8], const unsigned char* data, size_t blocks) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  __m128i cdab = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0])), 0xB1);
  __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4])), 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abef_before = abef, cdgh_before = cdgh;
    __m128i w[4];  // the schedule's last sixteen words, four to a register
    for (int step = 0; step < 16; ++step) {
      __m128i& words = w[step & 3];
      if (step < 4) {
        words = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * step)), byte_swap);
      } else {
        // W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16], four at a time.
        const __m128i older = _mm_sha256msg1_epu32(words, w[(step + 1) & 3]);
        const __m128i seventh = _mm_alignr_epi8(w[(step + 3) & 3], w[(step + 2) & 3], 4);
        words = _mm_sha256msg2_epu32(_mm_add_epi32(older, seventh), w[(step + 3) & 3]);
      }
      __m128i message = _mm_add_epi32(words, _mm_load_si128(reinterpret_cast<const __m128i*>(&kRound[4 * step])));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
      message = _mm_shuffle_epi32(message, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
    }
    abef = _mm_add_epi32(abef, abef_before);
    cdgh = _mm_add_epi32(cdgh, cdgh_before);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), _mm_alignr_epi8(dchg, feba, 8));
}

#else

void HashBlocks(uint32_t*, const unsigned char*, size_t) {}

#endif

}  // namespace

bool CpuHasSha256() {
#if defined(TARN_SHA_TARGET)
  static const bool has = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool sse = (c & bit_SSSE3) && (c & bit_SSE4_1);
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid_count(7, 0, a, b, c, d);
    return sse && (b & bit_SHA);
  }();
  return has;
#else
  return false;
#endif
}

void Sha256CpuBegin(Sha256Cpu* hash) {
  static const uint32_t kStart[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::memcpy(hash->state, kStart, sizeof kStart);
  hash->pending_size = 0;
  hash->total = 0;
}

void Sha256CpuUpdate(Sha256Cpu* hash, const void* data, size_t size) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  hash->total += size;
  if (hash->pending_size > 0) {
    const size_t take = std::min(size, sizeof hash->pending - hash->pending_size);
    std::memcpy(hash->pending + hash->pending_size, bytes, take);
    hash->pending_size += take;
    bytes += take;
    size -= take;
    if (hash->pending_size < sizeof hash->pending) return;
    HashBlocks(hash->state, hash->pending, 1);
    hash->pending_size = 0;
  }
  HashBlocks(hash->state, bytes, size / 64);
  std::memcpy(hash->pending, bytes + size / 64 * 64, size % 64);
  hash->pending_size = size % 64;
}

std::string Sha256CpuEnd(Sha256Cpu* hash) {
  // The padding: 0x80, zeros up to 56 bytes into a block, then the length in bits, big-endian.
  const uint64_t bits = hash->total * 8;
  unsigned char tail[72] = {0x80};
  const size_t pad = (hash->pending_size < 56 ? 56 : 120) - hash->pending_size;
  for (int i = 0; i < 8; ++i) tail[pad + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  Sha256CpuUpdate(hash, tail, pad + 8);
  std::string digest(32, '\0');
  for (int i = 0; i < 32; ++i) digest[i] = static_cast<char>(hash->state[i / 4] >> (24 - 8 * (i % 4)));
  return digest;
}
