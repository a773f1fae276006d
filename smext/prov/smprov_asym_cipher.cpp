// Asymmetric cipher for "SM2": encryption to and decryption from the DER
// SM2Cipher form.
#include <memory>
#include <new>

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/params.h>

#include "platform/UniquePtr.h"
#include "smext/prov/smprov_local.h"
#include "smext/sm2_pkey.h"

namespace {

struct CipherCtx {
  tovel::UniquePtr<EC_KEY> key;  // one reference held
  SM2_PKEY_CTX pkey{};
};

OSSL_FUNC_asym_cipher_newctx_fn sm2enc_newctx;
OSSL_FUNC_asym_cipher_freectx_fn sm2enc_freectx;
OSSL_FUNC_asym_cipher_dupctx_fn sm2enc_dupctx;
OSSL_FUNC_asym_cipher_encrypt_init_fn sm2enc_init;
OSSL_FUNC_asym_cipher_encrypt_fn sm2enc_encrypt;
OSSL_FUNC_asym_cipher_decrypt_fn sm2enc_decrypt;
OSSL_FUNC_asym_cipher_get_ctx_params_fn sm2enc_get_ctx_params;
OSSL_FUNC_asym_cipher_gettable_ctx_params_fn sm2enc_gettable_ctx_params;
OSSL_FUNC_asym_cipher_set_ctx_params_fn sm2enc_set_ctx_params;
OSSL_FUNC_asym_cipher_settable_ctx_params_fn sm2enc_settable_ctx_params;

void* sm2enc_newctx(void*) { return new (std::nothrow) CipherCtx; }

void sm2enc_freectx(void* vctx) { delete static_cast<CipherCtx*>(vctx); }

void* sm2enc_dupctx(void* vctx) {
  const auto* src = static_cast<const CipherCtx*>(vctx);
  std::unique_ptr<CipherCtx> dst(new (std::nothrow) CipherCtx);
  if (dst == nullptr) {
    return nullptr;
  }
  if (src->key != nullptr && !EC_KEY_up_ref(src->key.get())) {
    return nullptr;
  }
  dst->key.reset(src->key.get());
  dst->pkey.key = dst->key.get();
  return dst.release();
}

// One initialisation for both directions.
int sm2enc_init(void* vctx, void* provkey, const OSSL_PARAM params[]) {
  auto* ctx = static_cast<CipherCtx*>(vctx);
  auto* key = static_cast<EC_KEY*>(provkey);
  if (ctx == nullptr || key == nullptr || !EC_KEY_up_ref(key)) {
    return 0;
  }
  ctx->key.reset(key);
  ctx->pkey.key = key;
  return sm2enc_set_ctx_params(ctx, params);
}

int sm2enc_encrypt(void* vctx, unsigned char* out, size_t* outlen, size_t outsize,
                   const unsigned char* in, size_t inlen) {
  auto* ctx = static_cast<CipherCtx*>(vctx);
  size_t len = outsize;
  if (out != nullptr) {
    smprov_observe(SMEXT_OP_ENCRYPT);
  }
  const int ret = sm2_pkey_encrypt(&ctx->pkey, out, &len, in, inlen);
  if (ret > 0) {
    *outlen = len;
  }
  return ret;
}

int sm2enc_decrypt(void* vctx, unsigned char* out, size_t* outlen, size_t outsize,
                   const unsigned char* in, size_t inlen) {
  auto* ctx = static_cast<CipherCtx*>(vctx);
  size_t len = outsize;
  if (out != nullptr) {
    smprov_observe(SMEXT_OP_DECRYPT);
  }
  const int ret = sm2_pkey_decrypt(&ctx->pkey, out, &len, in, inlen);
  if (ret > 0) {
    *outlen = len;
  }
  return ret;
}

// The hash inside SM2 encryption is always SM3; a caller naming SM3 is
// accepted, any other digest refused.
int sm2enc_set_ctx_params(void*, const OSSL_PARAM params[]) {
  const OSSL_PARAM* p = OSSL_PARAM_locate_const(params, OSSL_ASYM_CIPHER_PARAM_DIGEST);
  const char* name = nullptr;
  if (p == nullptr) {
    return 1;
  }
  return OSSL_PARAM_get_utf8_string_ptr(p, &name) && OPENSSL_strcasecmp(name, "SM3") == 0;
}

const OSSL_PARAM* sm2enc_settable_ctx_params(void*, void*) {
  static const OSSL_PARAM params[] = {
      OSSL_PARAM_utf8_string(OSSL_ASYM_CIPHER_PARAM_DIGEST, nullptr, 0),
      OSSL_PARAM_END,
  };
  return params;
}

int sm2enc_get_ctx_params(void*, OSSL_PARAM params[]) {
  OSSL_PARAM* p = OSSL_PARAM_locate(params, OSSL_ASYM_CIPHER_PARAM_DIGEST);
  return p == nullptr || OSSL_PARAM_set_utf8_string(p, "SM3");
}

const OSSL_PARAM* sm2enc_gettable_ctx_params(void*, void*) {
  static const OSSL_PARAM params[] = {
      OSSL_PARAM_utf8_string(OSSL_ASYM_CIPHER_PARAM_DIGEST, nullptr, 0),
      OSSL_PARAM_END,
  };
  return params;
}

}  // namespace

extern const OSSL_DISPATCH smprov_sm2_asym_cipher_functions[] = {
    {OSSL_FUNC_ASYM_CIPHER_NEWCTX, smprov_entry(sm2enc_newctx)},
    {OSSL_FUNC_ASYM_CIPHER_FREECTX, smprov_entry(sm2enc_freectx)},
    {OSSL_FUNC_ASYM_CIPHER_DUPCTX, smprov_entry(sm2enc_dupctx)},
    {OSSL_FUNC_ASYM_CIPHER_ENCRYPT_INIT, smprov_entry(sm2enc_init)},
    {OSSL_FUNC_ASYM_CIPHER_ENCRYPT, smprov_entry(sm2enc_encrypt)},
    {OSSL_FUNC_ASYM_CIPHER_DECRYPT_INIT, smprov_entry(sm2enc_init)},
    {OSSL_FUNC_ASYM_CIPHER_DECRYPT, smprov_entry(sm2enc_decrypt)},
    {OSSL_FUNC_ASYM_CIPHER_GET_CTX_PARAMS, smprov_entry(sm2enc_get_ctx_params)},
    {OSSL_FUNC_ASYM_CIPHER_GETTABLE_CTX_PARAMS, smprov_entry(sm2enc_gettable_ctx_params)},
    {OSSL_FUNC_ASYM_CIPHER_SET_CTX_PARAMS, smprov_entry(sm2enc_set_ctx_params)},
    {OSSL_FUNC_ASYM_CIPHER_SETTABLE_CTX_PARAMS, smprov_entry(sm2enc_settable_ctx_params)},
    {0, nullptr},
};
