// SHA-1 on OpenSSL's EVP digest, and lower-case hexadecimal text.
#include "platform/sha1.h"

#include <openssl/evp.h>

#include <cstring>

void sha1_starts(sha1_context* context) {
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  if (md != nullptr && EVP_DigestInit_ex(md, EVP_sha1(), nullptr) != 1) {
    EVP_MD_CTX_free(md);
    md = nullptr;
  }
  context->md = md;
}

void sha1_update(sha1_context* context, const unsigned char* data, size_t length) {
  if (context->md == nullptr || length == 0) return;
  EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(context->md), data, length);
}

void sha1_finish(sha1_context* context, unsigned char digest[20]) {
  auto* md = static_cast<EVP_MD_CTX*>(context->md);
  unsigned int length = 0;
  // A context that could not be created yields an all-zero digest rather than garbage.
  if (md == nullptr || EVP_DigestFinal_ex(md, digest, &length) != 1 || length != 20) {
    std::memset(digest, 0, 20);
  }
  EVP_MD_CTX_free(md);
  context->md = nullptr;
}

int Hex_Encode(const unsigned char* data, int length, char* out, int out_size) {
  static const char kDigits[] = "0123456789abcdef";
  if (length < 0 || out == nullptr || out_size < 2 * length + 1) return -1;
  for (int i = 0; i < length; ++i) {
    out[2 * i] = kDigits[data[i] >> 4];
    out[2 * i + 1] = kDigits[data[i] & 0x0f];
  }
  out[2 * length] = '\0';
  return 0;
}
