// Windows side of the key protection: the user's data protection (DPAPI) and Crypt32's base64.
#include <windows.h>
#include <wincrypt.h>

#include <string>

#include "platform/platform.h"

namespace {

constexpr DWORD kNoUserInterface = CRYPTPROTECT_UI_FORBIDDEN;

// A buffer that DPAPI allocated: wiped and given back with LocalFree on every path.
struct LocalBlob {
  DATA_BLOB blob = {0, nullptr};
  LocalBlob() = default;
  LocalBlob(const LocalBlob&) = delete;
  LocalBlob& operator=(const LocalBlob&) = delete;
  ~LocalBlob() {
    if (blob.pbData) {
      SecureZeroMemory(blob.pbData, blob.cbData);
      LocalFree(blob.pbData);
    }
  }
};

DATA_BLOB InputBlob(const std::string& bytes) {
  DATA_BLOB in;
  in.cbData = static_cast<DWORD>(bytes.size());
  in.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()));  // read only, despite the type
  return in;
}

}  // namespace

bool PlatformProtectData(const std::string& plain, std::string* sealed) {
  DATA_BLOB in = InputBlob(plain);
  LocalBlob out;
  if (!CryptProtectData(&in, L"tarnfs api key", nullptr, nullptr, nullptr, kNoUserInterface, &out.blob)) {
    return false;
  }
  sealed->assign(reinterpret_cast<const char*>(out.blob.pbData), out.blob.cbData);
  return true;
}

bool PlatformUnprotectData(const std::string& sealed, std::string* plain) {
  DATA_BLOB in = InputBlob(sealed);
  LocalBlob out;
  if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, kNoUserInterface, &out.blob)) return false;
  plain->assign(reinterpret_cast<const char*>(out.blob.pbData), out.blob.cbData);
  return true;
}

std::string PlatformBase64Encode(const std::string& bytes) {
  const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  const BYTE* data = reinterpret_cast<const BYTE*>(bytes.data());
  const DWORD size = static_cast<DWORD>(bytes.size());
  DWORD chars = 0;
  if (!CryptBinaryToStringA(data, size, flags, nullptr, &chars) || chars == 0) return std::string();
  std::string text(chars, '\0');
  if (!CryptBinaryToStringA(data, size, flags, &text[0], &chars)) return std::string();
  text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
  return text;
}

bool PlatformBase64Decode(const std::string& text, std::string* bytes) {
  const DWORD length = static_cast<DWORD>(text.size());
  DWORD size = 0;
  if (!CryptStringToBinaryA(text.data(), length, CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr)) return false;
  std::string out(size, '\0');
  if (size > 0 && !CryptStringToBinaryA(text.data(), length, CRYPT_STRING_BASE64, reinterpret_cast<BYTE*>(&out[0]),
                                        &size, nullptr, nullptr)) {
    return false;
  }
  out.resize(size);
  *bytes = std::move(out);
  return true;
}
