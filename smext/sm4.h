// SM4 block cipher (GB/T 32907) and its CBC-mode cipher record "sm4-cbc".
#pragma once

#include <stdint.h>

#include <openssl/evp.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SM4_BLOCK_SIZE 16
#define SM4_KEY_LENGTH 16
#define SM4_ROUNDS 32

// The cipher data of a context: the key words and the round keys, in
// schedule order for encryption and reversed for decryption.
typedef struct sm4_key_st {
  uint32_t mk[4];
  uint32_t rk[SM4_ROUNDS];
} SM4_KEY;

// Each returns 1. Words are big-endian readings of the bytes.
int sm4_set_key(const uint32_t mk[4], uint32_t rk[SM4_ROUNDS]);
int sm4_reverse_round_keys(uint32_t rk[SM4_ROUNDS]);
// Encrypts with schedule-order round keys, decrypts with reversed ones.
int sm4_crypt_block(const uint32_t in[4], const uint32_t rk[SM4_ROUNDS], uint32_t out[4]);
// sm4_crypt_block on four independent blocks at once (16 words each way);
// CBC decryption uses it, its blocks not being chained.
int sm4_crypt_blocks4(const uint32_t in[16], const uint32_t rk[SM4_ROUNDS], uint32_t out[16]);
// CBC on one block; chain is updated. in and out may be the same words.
int sm4_cbc_block(const uint32_t in[4], const uint32_t rk[SM4_ROUNDS], uint32_t chain[4],
                  uint32_t out[4], int enc);
// The same on bytes; the new chaining value is written back over iv.
int sm4_cbc_encrypt_block(const unsigned char in[16], const uint32_t rk[SM4_ROUNDS],
                          unsigned char iv[16], unsigned char out[16], int enc);

// The "sm4-cbc" record (static, never freed; built on first use).
const EVP_CIPHER* sm4_cbc_cipher_method(void);

#ifdef __cplusplus
}
#endif
