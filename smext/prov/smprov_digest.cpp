// The SM3 digest, run by the extension's SM3 core.
#include <initializer_list>
#include <new>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/params.h>

#include "smext/prov/smprov_local.h"
#include "smext/sm3.h"

namespace {

OSSL_FUNC_digest_newctx_fn sm3prov_newctx;
OSSL_FUNC_digest_freectx_fn sm3prov_freectx;
OSSL_FUNC_digest_dupctx_fn sm3prov_dupctx;
OSSL_FUNC_digest_init_fn sm3prov_init;
OSSL_FUNC_digest_update_fn sm3prov_update;
OSSL_FUNC_digest_final_fn sm3prov_final;
OSSL_FUNC_digest_get_params_fn sm3prov_get_params;
OSSL_FUNC_digest_gettable_params_fn sm3prov_gettable_params;

void* sm3prov_newctx(void*) { return new (std::nothrow) SM3_CTX{}; }

void sm3prov_freectx(void* vctx) {
  auto* ctx = static_cast<SM3_CTX*>(vctx);
  if (ctx != nullptr) {
    OPENSSL_cleanse(ctx, sizeof(*ctx));
    delete ctx;
  }
}

// The state holds no pointers: a copy is complete.
void* sm3prov_dupctx(void* vctx) {
  return new (std::nothrow) SM3_CTX(*static_cast<const SM3_CTX*>(vctx));
}

int sm3prov_init(void* vctx, const OSSL_PARAM[]) { return sm3_init(static_cast<SM3_CTX*>(vctx)); }

int sm3prov_update(void* vctx, const unsigned char* in, size_t inl) {
  return sm3_update(static_cast<SM3_CTX*>(vctx), in, inl);
}

int sm3prov_final(void* vctx, unsigned char* out, size_t* outl, size_t outsz) {
  if (outsz < SM3_DIGEST_LENGTH || !sm3_final(out, static_cast<SM3_CTX*>(vctx))) {
    return 0;
  }
  *outl = SM3_DIGEST_LENGTH;
  smprov_observe(SMEXT_OP_DIGEST);
  return 1;
}

int sm3prov_get_params(OSSL_PARAM params[]) {
  OSSL_PARAM* p = OSSL_PARAM_locate(params, OSSL_DIGEST_PARAM_BLOCK_SIZE);
  if (p != nullptr && !OSSL_PARAM_set_size_t(p, SM3_CBLOCK)) {
    return 0;
  }
  p = OSSL_PARAM_locate(params, OSSL_DIGEST_PARAM_SIZE);
  if (p != nullptr && !OSSL_PARAM_set_size_t(p, SM3_DIGEST_LENGTH)) {
    return 0;
  }
  for (const char* flag : {OSSL_DIGEST_PARAM_XOF, OSSL_DIGEST_PARAM_ALGID_ABSENT}) {
    p = OSSL_PARAM_locate(params, flag);
    if (p != nullptr && !OSSL_PARAM_set_int(p, 0)) {
      return 0;
    }
  }
  return 1;
}

const OSSL_PARAM* sm3prov_gettable_params(void*) {
  static const OSSL_PARAM params[] = {
      OSSL_PARAM_size_t(OSSL_DIGEST_PARAM_BLOCK_SIZE, nullptr),
      OSSL_PARAM_size_t(OSSL_DIGEST_PARAM_SIZE, nullptr),
      OSSL_PARAM_int(OSSL_DIGEST_PARAM_XOF, nullptr),
      OSSL_PARAM_int(OSSL_DIGEST_PARAM_ALGID_ABSENT, nullptr),
      OSSL_PARAM_END,
  };
  return params;
}

}  // namespace

extern const OSSL_DISPATCH smprov_sm3_functions[] = {
    {OSSL_FUNC_DIGEST_NEWCTX, smprov_entry(sm3prov_newctx)},
    {OSSL_FUNC_DIGEST_FREECTX, smprov_entry(sm3prov_freectx)},
    {OSSL_FUNC_DIGEST_DUPCTX, smprov_entry(sm3prov_dupctx)},
    {OSSL_FUNC_DIGEST_INIT, smprov_entry(sm3prov_init)},
    {OSSL_FUNC_DIGEST_UPDATE, smprov_entry(sm3prov_update)},
    {OSSL_FUNC_DIGEST_FINAL, smprov_entry(sm3prov_final)},
    {OSSL_FUNC_DIGEST_GET_PARAMS, smprov_entry(sm3prov_get_params)},
    {OSSL_FUNC_DIGEST_GETTABLE_PARAMS, smprov_entry(sm3prov_gettable_params)},
    {0, nullptr},
};
