// Protected configuration values: XChaCha20-Poly1305 under a 32-byte key file that only its
// owner may read. The section and key are authenticated with each value, so a stored value
// cannot be moved to another key without the read failing.
#include "platform/secret.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/ini.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace {

constexpr size_t kKeyBytes = crypto_aead_xchacha20poly1305_ietf_KEYBYTES;
constexpr size_t kNonceBytes = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr size_t kTagBytes = crypto_aead_xchacha20poly1305_ietf_ABYTES;
constexpr int kBase64 = sodium_base64_VARIANT_ORIGINAL;

bool crypto_ready() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

bool expand(const char* pattern, std::string* out) {
  char path[4096];
  if (dirutils_path_transform(pattern, path, sizeof(path)) != 0) return false;
  *out = path;
  return true;
}

// Section and key as iniparser files them (lower case), joined by a NUL: the associated data.
std::string associated_data(const char* section, const char* key) {
  std::string ad;
  for (const char* c = section; *c != '\0'; ++c) {
    ad += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
  }
  ad += '\0';
  for (const char* c = key; *c != '\0'; ++c) {
    ad += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
  }
  return ad;
}

bool read_all(int fd, unsigned char* out, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = read(fd, out + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool write_all(int fd, const unsigned char* data, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = write(fd, data + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads the key file, refusing one that anybody but its owner could read or replace.
int read_key(const std::string& path, unsigned char key[kKeyBytes]) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? SECRET_KEY_MISSING : SECRET_KEY_INSECURE;
  struct stat st {};
  int rc = 0;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 077) != 0 ||
      st.st_size != static_cast<off_t>(kKeyBytes)) {
    rc = SECRET_KEY_INSECURE;
  } else if (!read_all(fd, key, kKeyBytes)) {
    rc = SECRET_KEY_INSECURE;
  }
  close(fd);
  if (rc != 0) sodium_memzero(key, kKeyBytes);
  return rc;
}

int create_key(const std::string& path, unsigned char key[kKeyBytes]) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return SECRET_STORE_FAILED;
  randombytes_buf(key, kKeyBytes);
  bool ok = fchmod(fd, 0600) == 0 && write_all(fd, key, kKeyBytes) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok) {
    unlink(path.c_str());
    sodium_memzero(key, kKeyBytes);
    return SECRET_STORE_FAILED;
  }
  return 0;
}

}  // namespace

int get_business_value(const char* section, const char* key, int /*reserved*/, int /*decrypt*/,
                       char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return SECRET_BAD_ARGUMENT;
  std::memset(buffer, 0, size);
  if (section == nullptr || key == nullptr) return SECRET_BAD_ARGUMENT;
  if (!crypto_ready()) return SECRET_CRYPTO_FAILED;

  std::string key_path, store_path;
  if (!expand("@/../config/korvel.key", &key_path) ||
      !expand("@/../config/korvel_protected.ini", &store_path)) {
    return SECRET_BAD_ARGUMENT;
  }

  // The stored text: base64(nonce || ciphertext || tag).
  std::string sealed;
  {
    ini_file* store = ini_file_load(store_path.c_str());
    if (store == nullptr) return SECRET_VALUE_MISSING;
    const char* text = ini_file_get(store, section, key);
    bool found = text != nullptr && *text != '\0';
    if (found) {
      sealed.resize(std::strlen(text) / 4 * 3 + 3);
      size_t decoded = 0;
      if (sodium_base642bin(reinterpret_cast<unsigned char*>(sealed.data()), sealed.size(), text,
                            std::strlen(text), nullptr, &decoded, nullptr, kBase64) != 0) {
        decoded = 0;
      }
      sealed.resize(decoded);
    }
    ini_file_free(store);
    if (!found) return SECRET_VALUE_MISSING;
  }
  if (sealed.size() < kNonceBytes + kTagBytes) return SECRET_VALUE_CORRUPT;
  size_t plain_length = sealed.size() - kNonceBytes - kTagBytes;
  if (plain_length > size - 1) return SECRET_VALUE_TOO_LONG;

  unsigned char secret_key[kKeyBytes];
  int rc = read_key(key_path, secret_key);
  if (rc != 0) return rc;

  std::string ad = associated_data(section, key);
  const auto* nonce = reinterpret_cast<const unsigned char*>(sealed.data());
  unsigned long long written = 0;
  rc = crypto_aead_xchacha20poly1305_ietf_decrypt(
      reinterpret_cast<unsigned char*>(buffer), &written, nullptr, nonce + kNonceBytes,
      sealed.size() - kNonceBytes, reinterpret_cast<const unsigned char*>(ad.data()), ad.size(),
      nonce, secret_key);
  sodium_memzero(secret_key, sizeof(secret_key));
  if (rc != 0 || written != plain_length) {
    std::memset(buffer, 0, size);
    return SECRET_VALUE_CORRUPT;
  }
  buffer[written] = '\0';
  return 0;
}

int set_business_value(const char* section, const char* key, const char* value, size_t length) {
  if (section == nullptr || key == nullptr || value == nullptr || *section == '\0' ||
      *key == '\0' || std::memchr(value, '\0', length) != nullptr) {
    return SECRET_BAD_ARGUMENT;  // an embedded NUL could never be read back whole
  }
  if (!crypto_ready()) return SECRET_CRYPTO_FAILED;

  std::string key_path, store_path;
  if (!expand("@/../config/korvel.key", &key_path) ||
      !expand("@/../config/korvel_protected.ini", &store_path)) {
    return SECRET_BAD_ARGUMENT;
  }

  unsigned char secret_key[kKeyBytes];
  int rc = read_key(key_path, secret_key);
  if (rc == SECRET_KEY_MISSING) rc = create_key(key_path, secret_key);
  if (rc != 0) return rc;

  std::string sealed(kNonceBytes + length + kTagBytes, '\0');
  auto* nonce = reinterpret_cast<unsigned char*>(sealed.data());
  randombytes_buf(nonce, kNonceBytes);
  std::string ad = associated_data(section, key);
  unsigned long long sealed_length = 0;
  crypto_aead_xchacha20poly1305_ietf_encrypt(
      nonce + kNonceBytes, &sealed_length, reinterpret_cast<const unsigned char*>(value), length,
      reinterpret_cast<const unsigned char*>(ad.data()), ad.size(), nullptr, nonce, secret_key);
  sodium_memzero(secret_key, sizeof(secret_key));

  std::string text(sodium_base64_ENCODED_LEN(sealed.size(), kBase64), '\0');
  sodium_bin2base64(text.data(), text.size(), nonce, kNonceBytes + sealed_length, kBase64);

  ini_file* store = nullptr;
  if (access(store_path.c_str(), F_OK) == 0) {
    store = ini_file_load(store_path.c_str());
    if (store == nullptr) return SECRET_STORE_FAILED;  // never overwrite a file it cannot read
  } else {
    // A new store starts owner-only; the save keeps the mode of the file it replaces.
    int fd = open(store_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) close(fd);
    store = ini_file_new();
    if (store == nullptr) return SECRET_STORE_FAILED;
  }
  rc = ini_file_set(store, section, key, text.c_str()) == 0 &&
               ini_file_save(store, store_path.c_str(), 0) == 0
           ? 0
           : SECRET_STORE_FAILED;
  ini_file_free(store);
  if (rc != 0) KLOG(2, "protected value %s/%s could not be stored", section, key);
  return rc;
}
