// Protected configuration values: stored encrypted in "@/../config/korvel_protected.ini"
// under a key file "@/../config/korvel.key" that only its owner may read.
#pragma once

#include <cstddef>

// Results of the functions below; every failure is negative.
constexpr int SECRET_BAD_ARGUMENT = -1;    // null or empty name, no buffer, NUL in a value
constexpr int SECRET_KEY_MISSING = -2;     // no key file (get only: set creates one)
constexpr int SECRET_KEY_INSECURE = -3;    // key file not regular, not owner-only, or not 32 bytes
constexpr int SECRET_VALUE_MISSING = -4;   // no such section/key
constexpr int SECRET_VALUE_CORRUPT = -5;   // not decodable, or fails authentication
constexpr int SECRET_VALUE_TOO_LONG = -6;  // does not fit in size - 1 bytes
constexpr int SECRET_STORE_FAILED = -7;    // key file or value store could not be written
constexpr int SECRET_CRYPTO_FAILED = -8;   // the crypto library could not start

// Copies the decrypted value of section/key into `buffer` (NUL-terminated).
// 0 on success. A negative result (missing, unreadable key file, key file readable by
// group or others, tampered value, value that does not fit in size - 1 bytes) leaves
// the buffer empty. `reserved` and `decrypt` are accepted for compatibility.
int get_business_value(const char* section, const char* key, int reserved, int decrypt,
                       char* buffer, size_t size);

// Encrypts and stores a value, creating the key file (mode 0600) when missing. 0 on success.
int set_business_value(const char* section, const char* key, const char* value, size_t length);
