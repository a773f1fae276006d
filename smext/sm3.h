// SM3 hash (GB/T 32905): the core used directly by the SM2 code, and the
// digest record through which the crypto library offers it as "sm3".
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <openssl/evp.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SM3_DIGEST_LENGTH 32
#define SM3_CBLOCK 64

// 108 bytes and no pointers: a byte-wise copy is a complete copy.
typedef struct SM3state_st {
  uint32_t state[8];              // chaining value V, words A..H
  uint32_t blocks_lo;             // 64-byte blocks compressed so far, bits 0..31
  uint32_t blocks_hi;             // bits 32..63
  unsigned char buf[SM3_CBLOCK];  // input that does not yet fill a block
  uint32_t num;                   // bytes held in buf, 0..63
} SM3_CTX;

// Each returns 1, or 0 when ctx is null.
int sm3_init(SM3_CTX* ctx);
int sm3_update(SM3_CTX* ctx, const unsigned char* data, size_t len);
// Writes the 32-byte digest; the context needs sm3_init before further use.
int sm3_final(unsigned char out[SM3_DIGEST_LENGTH], SM3_CTX* ctx);

// The digest record of "sm3" (static, never freed; built on first use).
const EVP_MD* sm3_digest_method(void);

#ifdef __cplusplus
}
#endif
