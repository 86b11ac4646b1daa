// SHA-1 (OpenSSL EVP) and hexadecimal text.
#pragma once

#include <cstddef>

struct sha1_context {
  void* md;  // EVP_MD_CTX*, owned between sha1_starts and sha1_finish
};

void sha1_starts(sha1_context* context);
void sha1_update(sha1_context* context, const unsigned char* data, size_t length);
// Writes the 20-byte digest and releases the context.
void sha1_finish(sha1_context* context, unsigned char digest[20]);

// Writes 2 * length lower-case hexadecimal characters and a NUL into `out`.
// 0 on success, -1 when out_size < 2 * length + 1.
int Hex_Encode(const unsigned char* data, int length, char* out, int out_size);
