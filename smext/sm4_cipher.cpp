// The "sm4-cbc" cipher record: the SM4 core behind the library's EVP_CIPHER interface.
#include "smext/sm4.h"

#include "smext/sm4_local.h"
#include "smext/sm_bits.h"
#include "smext/sm_cipher_record.h"

namespace {

SM4_KEY* Sm4Data(EVP_CIPHER_CTX* ctx) {
  return static_cast<SM4_KEY*>(EVP_CIPHER_CTX_get_cipher_data(ctx));
}

// The library has stored the IV and the direction in the context already.
int sm4_cbc_cipher_init(EVP_CIPHER_CTX* ctx, const unsigned char* key, const unsigned char*, int) {
  SM4_KEY* sm4 = Sm4Data(ctx);
  for (unsigned i = 0; i < 4; ++i) {
    sm4->mk[i] = LoadBe32(key + 4 * i);
  }
  sm4_set_key(sm4->mk, sm4->rk);
  if (!EVP_CIPHER_CTX_is_encrypting(ctx)) {
    sm4_reverse_round_keys(sm4->rk);
  }
  return 1;
}

// Whole blocks only; a tail under 16 bytes is neither read nor written.
int sm4_cbc_cipher_do(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in,
                      size_t len) {
  const SM4_KEY* sm4 = Sm4Data(ctx);
  unsigned char* iv = EVP_CIPHER_CTX_iv_noconst(ctx);
  if (EVP_CIPHER_CTX_is_encrypting(ctx)) {
    sm4_cbc_encrypt_blocks(sm4->rk, iv, out, in, len / SM4_BLOCK_SIZE);
  } else {
    sm4_cbc_decrypt_blocks(sm4->rk, iv, out, in, len / SM4_BLOCK_SIZE);
  }
  return 1;
}

EVP_CIPHER* NewSm4CbcRecord() {
  return sm_new_cipher_record({SM_OBJ_SM4_CBC, SM4_BLOCK_SIZE, SM4_KEY_LENGTH, SM4_BLOCK_SIZE,
                               EVP_CIPH_CBC_MODE, sm4_cbc_cipher_init, sm4_cbc_cipher_do,
                               sizeof(SM4_KEY)});
}

}  // namespace

const EVP_CIPHER* sm4_cbc_cipher_method(void) {
  static const EVP_CIPHER* const record = NewSm4CbcRecord();  // built once, kept for the process
  return record;
}
