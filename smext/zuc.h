// ZUC-128 stream cipher (GM/T 0001) and its cipher record "zuc".
#pragma once

#include <stdint.h>

#include <openssl/evp.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZUC_KEY_LENGTH 16
#define ZUC_IV_LENGTH 16

// The cipher data of a context: 22 words, no pointers.
typedef struct zuc_state_st {
  uint32_t s[16];   // LFSR cells s0..s15, 31 bits each
  uint32_t r1, r2;  // memory cells of F
  uint32_t x[4];    // output of the last bit reorganisation, X0..X3
} ZUC_STATE;

void zuc_lfsr_append(ZUC_STATE* state, uint32_t cell);
void zuc_lfsr_init_mode(ZUC_STATE* state, uint32_t u);
void zuc_lfsr_work_mode(ZUC_STATE* state);
void zuc_bit_reorganization(ZUC_STATE* state);
uint32_t zuc_f(ZUC_STATE* state);
// Loads key and IV (16 bytes each) and runs the 32 initialisation rounds.
void zuc_key_load(const unsigned char key[16], const unsigned char iv[16], ZUC_STATE* state);
// zuc_key_load, then one reorganisation and one F whose output is dropped;
// the next zuc_keystream_word is z1 of the standard.
void zuc_init(const unsigned char key[16], const unsigned char iv[16], ZUC_STATE* state);
uint32_t zuc_keystream_word(ZUC_STATE* state);

// The "zuc" record (static, never freed; built on first use).
const EVP_CIPHER* zuc_cipher_method(void);

#ifdef __cplusplus
}
#endif
