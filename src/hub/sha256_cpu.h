// SHA-256 on the processor's SHA extensions. Downloads hash every byte while it arrives; where the
// platform's own SHA-256 is slow (Wine's BCrypt runs at about 180 MB/s) that would cost the transfer
// a core, and these instructions hash over 1 GB/s. Used only where the processor has them and the
// platform's hash does not use them itself (PlatformSha256UsesCpu).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct Sha256Cpu {
  uint32_t state[8];
  unsigned char pending[64];
  size_t pending_size = 0;
  uint64_t total = 0;  // bytes hashed so far
};

// True when this processor runs the SHA extensions (x86 and x64 only).
bool CpuHasSha256();
// The functions below need CpuHasSha256().
void Sha256CpuBegin(Sha256Cpu* hash);
void Sha256CpuUpdate(Sha256Cpu* hash, const void* data, size_t size);
// The 32 digest bytes.
std::string Sha256CpuEnd(Sha256Cpu* hash);
