// The SM4-CBC and ZUC ciphers. An SM4-CBC context drives the extension's own
// cipher record, whose EVP code does the block buffering and the padding. A
// ZUC context runs the ZUC core as one byte stream across calls, so that the
// result does not depend on how the caller cuts its data (the "zuc" record
// starts a fresh keystream word at every call).
#include <string.h>

#include <new>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include "smext/prov/smprov_local.h"
#include "smext/sm4.h"
#include "smext/sm_bits.h"
#include "smext/zuc.h"
#include "smext/zuc_impl.h"

namespace {

constexpr size_t kKeyLen = 16;
constexpr size_t kIvLen = 16;
// Largest chunk handed to the record at once (its counts are int); a whole
// number of blocks.
constexpr size_t kMaxUpdate = size_t{1} << 30;

struct CipherKind {
  const EVP_CIPHER* (*record)(void);
  unsigned mode;
  size_t blockSize;
};

constexpr CipherKind kSm4Cbc{sm4_cbc_cipher_method, EVP_CIPH_CBC_MODE, SM4_BLOCK_SIZE};
constexpr CipherKind kZuc{nullptr, EVP_CIPH_STREAM_CIPHER, 1};  // the core, no record

struct CipherCtx {
  const CipherKind* kind;
  EVP_CIPHER_CTX* inner = nullptr;
  unsigned char key[kKeyLen] = {};
  unsigned char iv[kIvLen] = {};
  bool haveKey = false;
  bool haveIv = false;
  int padding = 1;
  // ZUC: the state, and the bytes of the latest keystream word not used yet.
  ZUC_STATE zuc{};
  unsigned char word[4] = {};
  unsigned wordUsed = 4;
  bool zucKeyed = false;
  ~CipherCtx() {
    EVP_CIPHER_CTX_free(inner);
    OPENSSL_cleanse(key, sizeof(key));
    OPENSSL_cleanse(&zuc, sizeof(zuc));
    OPENSSL_cleanse(word, sizeof(word));
  }
  bool Stream() const { return kind->mode == EVP_CIPH_STREAM_CIPHER; }
};

// XORs len bytes of the continuing keystream into out.
void ZucStream(CipherCtx* ctx, unsigned char* out, const unsigned char* in, size_t len) {
  size_t i = 0;
  for (; i < len && ctx->wordUsed < 4; ++i) {
    out[i] = in[i] ^ ctx->word[ctx->wordUsed++];
  }
  // Whole words through the core's own loop (blocks included).
  const size_t whole = (len - i) & ~size_t{3};
  zuc_xor_stream(&ctx->zuc, out + i, in + i, whole);
  i += whole;
  if (i < len) {
    StoreBe32(ctx->word, zuc_keystream_word(&ctx->zuc));
    ctx->wordUsed = 0;
    for (; i < len; ++i) out[i] = in[i] ^ ctx->word[ctx->wordUsed++];
  }
}

CipherCtx* NewCtx(const CipherKind* kind) {
  auto* ctx = new (std::nothrow) CipherCtx{kind};
  if (ctx == nullptr || ctx->Stream()) {
    return ctx;
  }
  const EVP_CIPHER* record = kind->record();
  ctx->inner = EVP_CIPHER_CTX_new();
  if (record == nullptr || ctx->inner == nullptr ||
      !EVP_CipherInit_ex(ctx->inner, record, nullptr, nullptr, nullptr, 1)) {
    delete ctx;
    return nullptr;
  }
  return ctx;
}

OSSL_FUNC_cipher_newctx_fn sm4cbc_newctx;
OSSL_FUNC_cipher_newctx_fn zuc_newctx;
OSSL_FUNC_cipher_freectx_fn cipher_freectx;
OSSL_FUNC_cipher_dupctx_fn cipher_dupctx;
OSSL_FUNC_cipher_encrypt_init_fn cipher_encrypt_init;
OSSL_FUNC_cipher_decrypt_init_fn cipher_decrypt_init;
OSSL_FUNC_cipher_update_fn cipher_update;
OSSL_FUNC_cipher_final_fn cipher_final;
OSSL_FUNC_cipher_cipher_fn cipher_oneshot;
OSSL_FUNC_cipher_get_params_fn sm4cbc_get_params;
OSSL_FUNC_cipher_get_params_fn zuc_get_params;
OSSL_FUNC_cipher_gettable_params_fn cipher_gettable_params;
OSSL_FUNC_cipher_get_ctx_params_fn cipher_get_ctx_params;
OSSL_FUNC_cipher_gettable_ctx_params_fn cipher_gettable_ctx_params;
OSSL_FUNC_cipher_set_ctx_params_fn cipher_set_ctx_params;
OSSL_FUNC_cipher_settable_ctx_params_fn cipher_settable_ctx_params;

void* sm4cbc_newctx(void*) { return NewCtx(&kSm4Cbc); }
void* zuc_newctx(void*) { return NewCtx(&kZuc); }

void cipher_freectx(void* vctx) { delete static_cast<CipherCtx*>(vctx); }

void* cipher_dupctx(void* vctx) {
  const auto* src = static_cast<const CipherCtx*>(vctx);
  CipherCtx* dst = NewCtx(src->kind);
  if (dst == nullptr) {
    return nullptr;
  }
  memcpy(dst->key, src->key, sizeof(dst->key));
  memcpy(dst->iv, src->iv, sizeof(dst->iv));
  dst->haveKey = src->haveKey;
  dst->haveIv = src->haveIv;
  dst->padding = src->padding;
  dst->zuc = src->zuc;
  memcpy(dst->word, src->word, sizeof(dst->word));
  dst->wordUsed = src->wordUsed;
  dst->zucKeyed = src->zucKeyed;
  if (!dst->Stream() && !EVP_CIPHER_CTX_copy(dst->inner, src->inner)) {
    delete dst;
    return nullptr;
  }
  return dst;
}

// Key and IV may come in separate calls; the record is keyed once it has the
// key, the ZUC core once it has both.
int CipherInit(CipherCtx* ctx, const unsigned char* key, size_t keylen, const unsigned char* iv,
               size_t ivlen, const OSSL_PARAM params[], int enc) {
  if (ctx == nullptr || (key != nullptr && keylen != kKeyLen)) {
    ERR_raise(ERR_LIB_EVP, EVP_R_INVALID_KEY_LENGTH);
    return 0;
  }
  if (iv != nullptr && ivlen != kIvLen) {
    ERR_raise(ERR_LIB_EVP, EVP_R_INVALID_IV_LENGTH);
    return 0;
  }
  if (key != nullptr) {
    memcpy(ctx->key, key, kKeyLen);
    ctx->haveKey = true;
  }
  if (iv != nullptr) {
    memcpy(ctx->iv, iv, kIvLen);
    ctx->haveIv = true;
  }
  if (!cipher_set_ctx_params(ctx, params)) {
    return 0;
  }
  if (ctx->Stream()) {
    // A new keystream once both key and IV are known.
    if (ctx->haveKey && ctx->haveIv && (key != nullptr || iv != nullptr)) {
      zuc_init(ctx->key, ctx->iv, &ctx->zuc);
      ctx->wordUsed = 4;
      ctx->zucKeyed = true;
      smprov_observe(SMEXT_OP_CIPHER_INIT);
    }
    return 1;
  }
  const bool keyNow = ctx->haveKey;
  if (!EVP_CipherInit_ex(ctx->inner, nullptr, nullptr, keyNow ? ctx->key : nullptr,
                         ctx->haveIv ? ctx->iv : nullptr, enc) ||
      !EVP_CIPHER_CTX_set_padding(ctx->inner, ctx->padding)) {
    return 0;
  }
  if (keyNow) {
    smprov_observe(SMEXT_OP_CIPHER_INIT);
  }
  return 1;
}

int cipher_encrypt_init(void* vctx, const unsigned char* key, size_t keylen,
                        const unsigned char* iv, size_t ivlen, const OSSL_PARAM params[]) {
  return CipherInit(static_cast<CipherCtx*>(vctx), key, keylen, iv, ivlen, params, 1);
}

int cipher_decrypt_init(void* vctx, const unsigned char* key, size_t keylen,
                        const unsigned char* iv, size_t ivlen, const OSSL_PARAM params[]) {
  return CipherInit(static_cast<CipherCtx*>(vctx), key, keylen, iv, ivlen, params, 0);
}

int cipher_update(void* vctx, unsigned char* out, size_t* outl, size_t outsize,
                  const unsigned char* in, size_t inl) {
  auto* ctx = static_cast<CipherCtx*>(vctx);
  // A block cipher may hand out one held-back block more than it is given.
  const size_t most = inl + (ctx->kind->blockSize > 1 ? ctx->kind->blockSize : 0);
  if (outsize < most) {
    ERR_raise(ERR_LIB_EVP, EVP_R_OUTPUT_WOULD_OVERFLOW);
    return 0;
  }
  if (ctx->Stream()) {
    if (!ctx->zucKeyed) {
      ERR_raise(ERR_LIB_EVP, EVP_R_NO_KEY_SET);
      return 0;
    }
    ZucStream(ctx, out, in, inl);
    *outl = inl;
    return 1;
  }
  size_t total = 0;
  do {
    const size_t chunk = inl < kMaxUpdate ? inl : kMaxUpdate;
    int written = 0;
    if (!EVP_CipherUpdate(ctx->inner, out + total, &written, in, static_cast<int>(chunk))) {
      return 0;
    }
    total += static_cast<size_t>(written);
    in += chunk;
    inl -= chunk;
  } while (inl > 0);
  *outl = total;
  return 1;
}

int cipher_final(void* vctx, unsigned char* out, size_t* outl, size_t outsize) {
  auto* ctx = static_cast<CipherCtx*>(vctx);
  // A stream cipher has nothing left to hand out (the library offers no room).
  if (ctx->kind->blockSize > 1 && outsize < ctx->kind->blockSize) {
    ERR_raise(ERR_LIB_EVP, EVP_R_OUTPUT_WOULD_OVERFLOW);
    return 0;
  }
  if (ctx->Stream()) {
    *outl = 0;
    return 1;
  }
  int written = 0;
  if (!EVP_CipherFinal_ex(ctx->inner, out, &written)) {
    return 0;
  }
  *outl = static_cast<size_t>(written);
  return 1;
}

// Raw whole blocks (or stream bytes), no padding.
int cipher_oneshot(void* vctx, unsigned char* out, size_t* outl, size_t outsize,
                   const unsigned char* in, size_t inl) {
  auto* ctx = static_cast<CipherCtx*>(vctx);
  if (outsize < inl || inl > kMaxUpdate || (inl % ctx->kind->blockSize) != 0) {
    ERR_raise(ERR_LIB_EVP, EVP_R_OUTPUT_WOULD_OVERFLOW);
    return 0;
  }
  if (ctx->Stream()) {
    return cipher_update(ctx, out, outl, outsize, in, inl);
  }
  if (EVP_Cipher(ctx->inner, out, in, static_cast<unsigned int>(inl)) <= 0) {
    return 0;
  }
  *outl = inl;
  return 1;
}

int GetParams(const CipherKind& kind, OSSL_PARAM params[]) {
  struct {
    const char* name;
    size_t value;
  } const values[] = {
      {OSSL_CIPHER_PARAM_MODE, kind.mode}, {OSSL_CIPHER_PARAM_KEYLEN, kKeyLen},
      {OSSL_CIPHER_PARAM_IVLEN, kIvLen},   {OSSL_CIPHER_PARAM_BLOCK_SIZE, kind.blockSize},
      {OSSL_CIPHER_PARAM_AEAD, 0},         {OSSL_CIPHER_PARAM_CUSTOM_IV, 0},
      {OSSL_CIPHER_PARAM_CTS, 0},          {OSSL_CIPHER_PARAM_TLS1_MULTIBLOCK, 0},
      {OSSL_CIPHER_PARAM_HAS_RAND_KEY, 0},
  };
  for (const auto& v : values) {
    OSSL_PARAM* p = OSSL_PARAM_locate(params, v.name);
    if (p != nullptr && !OSSL_PARAM_set_size_t(p, v.value)) {
      return 0;
    }
  }
  return 1;
}

int sm4cbc_get_params(OSSL_PARAM params[]) { return GetParams(kSm4Cbc, params); }
int zuc_get_params(OSSL_PARAM params[]) { return GetParams(kZuc, params); }

const OSSL_PARAM* cipher_gettable_params(void*) {
  static const OSSL_PARAM params[] = {
      OSSL_PARAM_uint(OSSL_CIPHER_PARAM_MODE, nullptr),
      OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_KEYLEN, nullptr),
      OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_IVLEN, nullptr),
      OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_BLOCK_SIZE, nullptr),
      OSSL_PARAM_int(OSSL_CIPHER_PARAM_AEAD, nullptr),
      OSSL_PARAM_int(OSSL_CIPHER_PARAM_CUSTOM_IV, nullptr),
      OSSL_PARAM_int(OSSL_CIPHER_PARAM_CTS, nullptr),
      OSSL_PARAM_int(OSSL_CIPHER_PARAM_TLS1_MULTIBLOCK, nullptr),
      OSSL_PARAM_int(OSSL_CIPHER_PARAM_HAS_RAND_KEY, nullptr),
      OSSL_PARAM_END,
  };
  return params;
}

int cipher_get_ctx_params(void* vctx, OSSL_PARAM params[]) {
  auto* ctx = static_cast<CipherCtx*>(vctx);
  OSSL_PARAM* p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_KEYLEN);
  if (p != nullptr && !OSSL_PARAM_set_size_t(p, kKeyLen)) {
    return 0;
  }
  p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_IVLEN);
  if (p != nullptr && !OSSL_PARAM_set_size_t(p, kIvLen)) {
    return 0;
  }
  p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_PADDING);
  if (p != nullptr && !OSSL_PARAM_set_uint(p, static_cast<unsigned>(ctx->padding))) {
    return 0;
  }
  p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_NUM);
  if (p != nullptr && !OSSL_PARAM_set_uint(p, 0)) {
    return 0;
  }
  p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_IV);
  if (p != nullptr && !OSSL_PARAM_set_octet_string(p, ctx->iv, kIvLen)) {
    return 0;
  }
  // The chaining value as the record has moved it on.
  p = OSSL_PARAM_locate(params, OSSL_CIPHER_PARAM_UPDATED_IV);
  if (p != nullptr && !OSSL_PARAM_set_octet_string(
                          p, ctx->Stream() ? ctx->iv : EVP_CIPHER_CTX_iv(ctx->inner), kIvLen)) {
    return 0;
  }
  return 1;
}

const OSSL_PARAM* cipher_gettable_ctx_params(void*, void*) {
  static const OSSL_PARAM params[] = {
      OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_KEYLEN, nullptr),
      OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_IVLEN, nullptr),
      OSSL_PARAM_uint(OSSL_CIPHER_PARAM_PADDING, nullptr),
      OSSL_PARAM_uint(OSSL_CIPHER_PARAM_NUM, nullptr),
      OSSL_PARAM_octet_string(OSSL_CIPHER_PARAM_IV, nullptr, 0),
      OSSL_PARAM_octet_string(OSSL_CIPHER_PARAM_UPDATED_IV, nullptr, 0),
      OSSL_PARAM_END,
  };
  return params;
}

int cipher_set_ctx_params(void* vctx, const OSSL_PARAM params[]) {
  auto* ctx = static_cast<CipherCtx*>(vctx);
  if (params == nullptr) {
    return 1;
  }
  const OSSL_PARAM* p = OSSL_PARAM_locate_const(params, OSSL_CIPHER_PARAM_PADDING);
  if (p != nullptr) {
    unsigned padding = 0;
    if (!OSSL_PARAM_get_uint(p, &padding) ||
        (!ctx->Stream() && !EVP_CIPHER_CTX_set_padding(ctx->inner, padding != 0))) {
      return 0;
    }
    ctx->padding = padding != 0;
  }
  p = OSSL_PARAM_locate_const(params, OSSL_CIPHER_PARAM_KEYLEN);
  if (p != nullptr) {
    size_t keylen = 0;
    if (!OSSL_PARAM_get_size_t(p, &keylen) || keylen != kKeyLen) {
      ERR_raise(ERR_LIB_EVP, EVP_R_INVALID_KEY_LENGTH);
      return 0;
    }
  }
  return 1;
}

const OSSL_PARAM* cipher_settable_ctx_params(void*, void*) {
  static const OSSL_PARAM params[] = {
      OSSL_PARAM_uint(OSSL_CIPHER_PARAM_PADDING, nullptr),
      OSSL_PARAM_size_t(OSSL_CIPHER_PARAM_KEYLEN, nullptr),
      OSSL_PARAM_END,
  };
  return params;
}

}  // namespace

#define SMPROV_CIPHER_FUNCTIONS(kind)                                                     \
  {OSSL_FUNC_CIPHER_NEWCTX, smprov_entry(kind##_newctx)},                                 \
      {OSSL_FUNC_CIPHER_FREECTX, smprov_entry(cipher_freectx)},                           \
      {OSSL_FUNC_CIPHER_DUPCTX, smprov_entry(cipher_dupctx)},                             \
      {OSSL_FUNC_CIPHER_ENCRYPT_INIT, smprov_entry(cipher_encrypt_init)},                 \
      {OSSL_FUNC_CIPHER_DECRYPT_INIT, smprov_entry(cipher_decrypt_init)},                 \
      {OSSL_FUNC_CIPHER_UPDATE, smprov_entry(cipher_update)},                             \
      {OSSL_FUNC_CIPHER_FINAL, smprov_entry(cipher_final)},                               \
      {OSSL_FUNC_CIPHER_CIPHER, smprov_entry(cipher_oneshot)},                            \
      {OSSL_FUNC_CIPHER_GET_PARAMS, smprov_entry(kind##_get_params)},                     \
      {OSSL_FUNC_CIPHER_GETTABLE_PARAMS, smprov_entry(cipher_gettable_params)},           \
      {OSSL_FUNC_CIPHER_GET_CTX_PARAMS, smprov_entry(cipher_get_ctx_params)},             \
      {OSSL_FUNC_CIPHER_GETTABLE_CTX_PARAMS, smprov_entry(cipher_gettable_ctx_params)},   \
      {OSSL_FUNC_CIPHER_SET_CTX_PARAMS, smprov_entry(cipher_set_ctx_params)},             \
      {OSSL_FUNC_CIPHER_SETTABLE_CTX_PARAMS, smprov_entry(cipher_settable_ctx_params)}, { \
    0, nullptr                                                                            \
  }

extern const OSSL_DISPATCH smprov_sm4_cbc_functions[] = {SMPROV_CIPHER_FUNCTIONS(sm4cbc)};
extern const OSSL_DISPATCH smprov_zuc_functions[] = {SMPROV_CIPHER_FUNCTIONS(zuc)};
