// POSIX side of the content hashes: OpenSSL's libcrypto (its SHA routines use the CPU's SHA
// instructions where there are any, which keeps hashing well ahead of a download).
#include <openssl/evp.h>

#include "platform/platform.h"

struct PlatformHashState {
  EVP_MD_CTX* context = nullptr;
};

PlatformHashState* PlatformHashBegin(HashAlgorithm algorithm) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (!context) return nullptr;
  const EVP_MD* md = algorithm == HashAlgorithm::Sha1 ? EVP_sha1() : EVP_sha256();
  if (EVP_DigestInit_ex(context, md, nullptr) != 1) {
    EVP_MD_CTX_free(context);
    return nullptr;
  }
  return new PlatformHashState{context};
}

void PlatformHashUpdate(PlatformHashState* state, const void* data, size_t size) {
  if (state && size > 0) EVP_DigestUpdate(state->context, data, size);
}

// libcrypto picks the SHA instructions where the processor has them, and its code outran the module's
// own by about a tenth (tarn_hash_bench, bench/README.md).
bool PlatformSha256UsesCpu() { return true; }

std::string PlatformHashEnd(PlatformHashState* state) {
  if (!state) return std::string();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  std::string out;
  if (EVP_DigestFinal_ex(state->context, digest, &size) == 1) out.assign(reinterpret_cast<char*>(digest), size);
  EVP_MD_CTX_free(state->context);
  delete state;
  return out;
}
