// korvel-secret: sets or shows a protected configuration value of the installation this
// program belongs to. A value is read from standard input, never from the command line,
// so that it appears in no process list or shell history.
#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/secret.h"

namespace {

constexpr size_t kMaxValue = 64 * 1024;

int usage() {
  std::fprintf(stderr,
               "usage: korvel-secret set SECTION KEY   (value read from standard input)\n"
               "       korvel-secret get SECTION KEY\n");
  return 2;
}

const char* reason(int rc) {
  switch (rc) {
    case SECRET_BAD_ARGUMENT:
      return "bad section, key or value";
    case SECRET_KEY_MISSING:
      return "no key file (config/korvel.key)";
    case SECRET_KEY_INSECURE:
      return "key file config/korvel.key is not a 32-byte regular file readable by its owner only";
    case SECRET_VALUE_MISSING:
      return "no such value";
    case SECRET_VALUE_CORRUPT:
      return "stored value is damaged or was not sealed with this key";
    case SECRET_VALUE_TOO_LONG:
      return "value is too long";
    case SECRET_STORE_FAILED:
      return "cannot write the key file or config/korvel_protected.ini";
    case SECRET_CRYPTO_FAILED:
      return "crypto library failed to start";
    default:
      return "unknown failure";
  }
}

int set_value(const char* section, const char* key) {
  std::string value;
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof(chunk), stdin)) > 0) {
    value.append(chunk, n);
    if (value.size() > kMaxValue) {
      std::fprintf(stderr, "korvel-secret: value longer than %zu bytes\n", kMaxValue);
      return 1;
    }
  }
  sodium_memzero(chunk, sizeof(chunk));
  if (std::ferror(stdin)) {
    std::fprintf(stderr, "korvel-secret: cannot read the value from standard input\n");
    return 1;
  }
  if (!value.empty() && value.back() == '\n') value.pop_back();
  if (value.empty()) {
    std::fprintf(stderr, "korvel-secret: empty value on standard input\n");
    return 1;
  }
  int rc = set_business_value(section, key, value.data(), value.size());
  sodium_memzero(value.data(), value.size());
  if (rc != 0) {
    std::fprintf(stderr, "korvel-secret: cannot store %s/%s: %s\n", section, key, reason(rc));
    return 1;
  }
  return 0;
}

int get_value(const char* section, const char* key) {
  static char buffer[kMaxValue + 1];
  int rc = get_business_value(section, key, 0, 1, buffer, sizeof(buffer));
  if (rc != 0) {
    std::fprintf(stderr, "korvel-secret: cannot read %s/%s: %s\n", section, key, reason(rc));
    return 1;
  }
  std::printf("%s\n", buffer);
  sodium_memzero(buffer, sizeof(buffer));
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || argv[2][0] == '\0' || argv[3][0] == '\0') return usage();
  if (std::strcmp(argv[1], "set") == 0) return set_value(argv[2], argv[3]);
  if (std::strcmp(argv[1], "get") == 0) return get_value(argv[2], argv[3]);
  return usage();
}
