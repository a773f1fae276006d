// Internal: building the extension's cipher records ("sm4-cbc", "zuc") on the
// library's EVP_CIPHER_meth interface.
#pragma once

#include <stddef.h>

#include <openssl/evp.h>

#include "smext/sm_objects.h"

// What tells one cipher record from another.
struct SmCipherRecordSpec {
  int object;  // an SM_OBJ_* number
  int blockSize;
  int keyLength;
  int ivLength;
  unsigned long flags;  // mode and EVP_CIPH_* flags
  int (*init)(EVP_CIPHER_CTX* ctx, const unsigned char* key, const unsigned char* iv, int enc);
  int (*doCipher)(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, size_t len);
  int contextSize;  // cipher data per context
};

// A new record for spec, or null (the object unknown or a set-up failure).
// Without ASN.1 parameter functions: callers set EVP_CIPH_FLAG_CUSTOM_ASN1 so
// that the library answers -1 for them instead of its default IV handling.
inline EVP_CIPHER* sm_new_cipher_record(const SmCipherRecordSpec& spec) {
  const int nid = sm_obj_nid(spec.object);
  if (nid == NID_undef) {
    return nullptr;
  }
  EVP_CIPHER* cipher = EVP_CIPHER_meth_new(nid, spec.blockSize, spec.keyLength);
  if (cipher == nullptr) {
    return nullptr;
  }
  if (!EVP_CIPHER_meth_set_iv_length(cipher, spec.ivLength) ||
      !EVP_CIPHER_meth_set_flags(cipher, spec.flags) ||
      !EVP_CIPHER_meth_set_init(cipher, spec.init) ||
      !EVP_CIPHER_meth_set_do_cipher(cipher, spec.doCipher) ||
      !EVP_CIPHER_meth_set_impl_ctx_size(cipher, spec.contextSize)) {
    EVP_CIPHER_meth_free(cipher);
    return nullptr;
  }
  return cipher;
}
