// The "zuc" cipher record: the ZUC core behind the library's EVP_CIPHER interface.
#include "smext/zuc.h"

#include <openssl/err.h>

#include "smext/sm_cipher_record.h"
#include "smext/zuc_impl.h"

namespace {

ZUC_STATE* ZucData(EVP_CIPHER_CTX* ctx) {
  return static_cast<ZUC_STATE*>(EVP_CIPHER_CTX_get_cipher_data(ctx));
}

// For a stream cipher the library keeps no IV: it comes only from this call.
// The set-up reads 16 key bytes whatever key length the caller recorded on
// the context, so the keystream does not depend on it; only a recorded length
// under 16 is refused, since the key given is then shorter than what is read.
// A key without an IV is refused too.
int zuc_cipher_init(EVP_CIPHER_CTX* ctx, const unsigned char* key, const unsigned char* iv, int) {
  ZUC_STATE* state = ZucData(ctx);
  if (state == nullptr) {
    return 0;
  }
  if (iv == nullptr) {
    ERR_raise(ERR_LIB_EVP, ERR_R_PASSED_NULL_PARAMETER);
    return 0;
  }
  if (EVP_CIPHER_CTX_get_key_length(ctx) < ZUC_KEY_LENGTH) {
    ERR_raise(ERR_LIB_EVP, EVP_R_INVALID_KEY_LENGTH);
    return 0;
  }
  zuc_init(key, iv, state);
  return 1;
}

// Every call starts a fresh keystream word at its first byte; the unused
// bytes of the last word are dropped.
int zuc_cipher_do(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, size_t len) {
  ZUC_STATE* state = ZucData(ctx);
  if (state == nullptr) {
    return 0;
  }
  zuc_xor_stream(state, out, in, len);
  return 1;
}

// A stream cipher (mode bits 0).
EVP_CIPHER* NewZucRecord() {
  return sm_new_cipher_record({SM_OBJ_ZUC, 1, ZUC_KEY_LENGTH, ZUC_IV_LENGTH,
                               EVP_CIPH_VARIABLE_LENGTH, zuc_cipher_init, zuc_cipher_do,
                               sizeof(ZUC_STATE)});
}

}  // namespace

const EVP_CIPHER* zuc_cipher_method(void) {
  static const EVP_CIPHER* const record = NewZucRecord();  // built once, kept for the process
  return record;
}
