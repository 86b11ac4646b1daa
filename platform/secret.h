// Protected configuration values: stored encrypted in "@/../config/korvel_protected.ini"
// under a key file "@/../config/korvel.key" that only its owner may read.
#pragma once

#include <cstddef>

// Copies the decrypted value of section/key into `buffer` (NUL-terminated).
// 0 on success. A negative result (missing, unreadable key file, key file readable by
// group or others, tampered value, value that does not fit in size - 1 bytes) leaves
// the buffer empty. `reserved` and `decrypt` are accepted for compatibility.
int get_business_value(const char* section, const char* key, int reserved, int decrypt,
                       char* buffer, size_t size);

// Encrypts and stores a value, creating the key file (mode 0600) when missing. 0 on success.
int set_business_value(const char* section, const char* key, const char* value, size_t length);
