// Internal: building the extension's cipher records ("sm4-cbc", "zuc") on the
// library's EVP_CIPHER_meth interface.
#pragma once

#include <stddef.h>

#include <openssl/evp.h>

#include "smext/sm_objects.h"

// What tells one cipher record from another.
struct SmCipherRecordFields {
  int object;  // an SM_OBJ_* number
  int blockSize;
  int keyLength;
  int ivLength;
  unsigned long flags;  // mode and EVP_CIPH_* flags
  int (*init)(EVP_CIPHER_CTX* ctx, const unsigned char* key, const unsigned char* iv, int enc);
  int (*doCipher)(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, size_t len);
  int contextSize;  // cipher data per context
};

// A new record with these fields, or null (the object unknown or a set-up failure).
// The record claims ASN.1 parameter handling of its own and has none, so that
// the library answers -1 for the parameters instead of its default IV handling.
inline EVP_CIPHER* sm_new_cipher_record(const SmCipherRecordFields& fields) {
  const int nid = sm_obj_nid(fields.object);
  if (nid == NID_undef) {
    return nullptr;
  }
  EVP_CIPHER* cipher = EVP_CIPHER_meth_new(nid, fields.blockSize, fields.keyLength);
  if (cipher == nullptr) {
    return nullptr;
  }
  if (!EVP_CIPHER_meth_set_iv_length(cipher, fields.ivLength) ||
      !EVP_CIPHER_meth_set_flags(cipher, fields.flags | EVP_CIPH_FLAG_CUSTOM_ASN1) ||
      !EVP_CIPHER_meth_set_init(cipher, fields.init) ||
      !EVP_CIPHER_meth_set_do_cipher(cipher, fields.doCipher) ||
      !EVP_CIPHER_meth_set_impl_ctx_size(cipher, fields.contextSize)) {
    EVP_CIPHER_meth_free(cipher);
    return nullptr;
  }
  return cipher;
}
