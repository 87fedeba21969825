// POSIX side of the key protection: libsodium's secretbox under a random per-user key kept in
// $XDG_DATA_HOME/tarnfs/key (mode 0600), and base64 through libsodium's codec.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sodium.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>

#include "core/state.h"
#include "core/text.h"
#include "platform/platform.h"

namespace {

// Leads every sealed value, so data of another layout (or plain garbage) fails before decryption.
constexpr unsigned char kSealedFormat = 0x01;
constexpr size_t kSealedOverhead = 1 + crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES;

bool SodiumReady() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] { ready = sodium_init() >= 0; });
  return ready;
}

struct SecretKey {
  unsigned char bytes[crypto_secretbox_KEYBYTES] = {};
  SecretKey() = default;
  SecretKey(const SecretKey&) = delete;
  SecretKey& operator=(const SecretKey&) = delete;
  ~SecretKey() { sodium_memzero(bytes, sizeof(bytes)); }
};

struct FileDescriptor {
  int fd = -1;
  explicit FileDescriptor(int value) : fd(value) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

std::string KeyFolder() {
  const char* data_home = std::getenv("XDG_DATA_HOME");
  if (data_home && *data_home) return std::string(data_home) + "/tarnfs";
  const char* home = std::getenv("HOME");
  if (home && *home) return std::string(home) + "/.local/share/tarnfs";
  return std::string();
}

enum class KeyFileState { Read, Missing, WrongSize, Unopenable };

// Read: exactly the key's size was read into `key`.
KeyFileState ReadKeyFile(const std::string& path, SecretKey* key) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.fd < 0) return errno == ENOENT ? KeyFileState::Missing : KeyFileState::Unopenable;
  unsigned char buffer[crypto_secretbox_KEYBYTES + 1];
  size_t total = 0;
  while (total < sizeof(buffer)) {
    const ssize_t n = ::read(file.fd, buffer + total, sizeof(buffer) - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return KeyFileState::Unopenable;
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  const bool ok = total == crypto_secretbox_KEYBYTES;
  if (ok) std::memcpy(key->bytes, buffer, sizeof(key->bytes));
  sodium_memzero(buffer, sizeof(buffer));
  return ok ? KeyFileState::Read : KeyFileState::WrongSize;
}

bool WriteAll(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Writes a fresh key to a private temporary file and links it in under the final name: the link
// fails if another process got there first, and no reader ever sees a half-written key.
bool CreateKeyFile(const std::string& folder, const std::string& path, SecretKey* key) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(folder).parent_path(), ec);
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;

  randombytes_buf(key->bytes, sizeof(key->bytes));
  const std::string temporary = path + "." + std::to_string(::getpid()) + "." +
                                std::to_string(PlatformThreadId()) + ".tmp";
  bool written = false;
  {
    FileDescriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (file.fd < 0) return false;
    written = WriteAll(file.fd, key->bytes, sizeof(key->bytes)) && ::fsync(file.fd) == 0;
  }
  const int linked = written ? ::link(temporary.c_str(), path.c_str()) : -1;
  const int link_error = errno;
  ::unlink(temporary.c_str());
  if (linked == 0) return true;
  if (written && link_error == EEXIST) {
    return ReadKeyFile(path, key) == KeyFileState::Read;  // another process created it first: use theirs
  }
  return false;
}

// The per-user key; `create` makes it on first use. A key file of the wrong size can open nothing
// sealed under any key, and keeping it would leave every later save with the plain key: it is moved
// aside (never deleted) and a new one made.
bool LoadKey(bool create, SecretKey* key) {
  const std::string folder = KeyFolder();
  if (folder.empty()) return false;
  const std::string path = folder + "/key";
  const KeyFileState state = ReadKeyFile(path, key);
  if (state == KeyFileState::Read) return true;
  if (!create) return false;
  if (state == KeyFileState::WrongSize) {
    const std::string aside = path + ".damaged-" + std::to_string(::time(nullptr)) + "-" + std::to_string(::getpid());
    if (::rename(path.c_str(), aside.c_str()) == 0) {
      LogMessage(u"Key file of the wrong size kept as " + Utf8ToWide(aside) + u"; a new key file is made");
    } else if (errno != ENOENT) {  // ENOENT: another process moved it first and makes the new one
      return false;
    }
  } else if (state != KeyFileState::Missing) {
    return false;
  }
  return CreateKeyFile(folder, path, key);
}

}  // namespace

bool PlatformProtectData(const std::string& plain, std::string* sealed) {
  if (!SodiumReady()) return false;
  SecretKey key;
  if (!LoadKey(true, &key)) return false;
  std::string out(kSealedOverhead + plain.size(), '\0');
  auto* bytes = reinterpret_cast<unsigned char*>(&out[0]);
  bytes[0] = kSealedFormat;
  unsigned char* nonce = bytes + 1;
  randombytes_buf(nonce, crypto_secretbox_NONCEBYTES);
  if (crypto_secretbox_easy(nonce + crypto_secretbox_NONCEBYTES, reinterpret_cast<const unsigned char*>(plain.data()),
                            plain.size(), nonce, key.bytes) != 0) {
    return false;
  }
  *sealed = std::move(out);
  return true;
}

bool PlatformUnprotectData(const std::string& sealed, std::string* plain) {
  if (!SodiumReady()) return false;
  if (sealed.size() < kSealedOverhead || static_cast<unsigned char>(sealed[0]) != kSealedFormat) return false;
  SecretKey key;
  if (!LoadKey(false, &key)) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(sealed.data());
  const unsigned char* nonce = bytes + 1;
  const unsigned char* box = nonce + crypto_secretbox_NONCEBYTES;
  const size_t box_size = sealed.size() - 1 - crypto_secretbox_NONCEBYTES;
  std::string out(box_size - crypto_secretbox_MACBYTES, '\0');
  if (crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(&out[0]), box, box_size, nonce, key.bytes) != 0) {
    return false;
  }
  *plain = std::move(out);
  return true;
}

std::string PlatformBase64Encode(const std::string& bytes) {
  if (!SodiumReady()) return std::string();
  const size_t size = sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL);
  std::string out(size, '\0');  // the size counts the terminating zero
  sodium_bin2base64(&out[0], size, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  out.resize(size - 1);
  return out;
}

bool PlatformBase64Decode(const std::string& text, std::string* bytes) {
  if (!SodiumReady()) return false;
  std::string out(text.size() / 4 * 3 + 3, '\0');
  size_t size = 0;
  // No end pointer and nothing to ignore: any character that is not base64 fails the whole text.
  if (sodium_base642bin(reinterpret_cast<unsigned char*>(&out[0]), out.size(), text.data(), text.size(), nullptr,
                        &size, nullptr, sodium_base64_VARIANT_ORIGINAL) != 0) {
    return false;
  }
  out.resize(size);
  *bytes = std::move(out);
  return true;
}
