// The content hashes a tree listing gives for a file, and the running hash that checks them.
#pragma once

#include <cstdint>
#include <string>

#include "hub/sha256_cpu.h"
#include "platform/platform.h"

// What the listing knows of one file (size -1 and empty hashes when it knows nothing).
struct ListedContent {
  int64_t size = -1;
  int64_t mtime = 0;     // Unix seconds; 0 when unknown
  std::string oid;       // git blob id, 40 hex digits
  std::string lfs_oid;   // SHA-256, 64 hex digits; "*"s in a masked listing
  std::string commit;    // the commit the listing shows; empty when it was listed at the revision's name
  bool complete = false;  // the listing arrived whole (a cached one always did): only such may vouch for bytes
};

// The one hash worth checking: SHA-256 when the listing has the large-file id, the git blob id
// otherwise. `hex` is empty when there is nothing to check (no hash, a masked one, a malformed one).
struct ContentCheck {
  HashAlgorithm algorithm = HashAlgorithm::Sha256;
  bool git_blob = false;  // SHA-1 over "blob <size>", a NUL byte, then the bytes
  std::string hex;        // lower case
};

ContentCheck ContentCheckFor(const ListedContent& listed);

// A running hash of a file's bytes, begun with the check's prefix (the git blob header). SHA-256 runs
// on the module's own code for the processor's SHA extensions where it has them and the platform's
// hash does not use them itself; anything else on the platform's hashes.
struct ContentHasher {
  PlatformHashState* state = nullptr;
  bool on_cpu = false;
  Sha256Cpu cpu;

  bool Begin(const ContentCheck& check, int64_t size);
  void Update(const char* data, size_t size) {
    if (on_cpu) Sha256CpuUpdate(&cpu, data, size);
    else PlatformHashUpdate(state, data, size);
  }
  std::string EndHex();  // lower-case hex; empty when hashing failed
  ~ContentHasher();
};
