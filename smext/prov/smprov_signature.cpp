// Signature for "SM2": sign and verify of a 32-byte digest, and digest-sign
// and digest-verify that hash the signer's Z value ahead of the data when the
// digest is SM3 and the key lies on the SM2 curve (a key on the SM2 test curve
// hashes the data alone). Z is taken over the distinguishing identity set by
// the caller ("distid"), else over the default identity "1234567812345678".
// A signature that does not verify gives 0; negative results are failures
// that are not about the signature.
#include <string.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/params.h>
#include <openssl/x509.h>

#include "platform/UniquePtr.h"
#include "smext/prov/smprov_local.h"
#include "smext/sm2.h"
#include "smext/sm2_pkey.h"
#include "smext/sm3.h"
#include "smext/sm_objects.h"

namespace {

struct SigCtx {
  SmProvCtx* prov = nullptr;
  std::string propq;
  tovel::UniquePtr<EC_KEY> key;  // one reference held
  tovel::UniquePtr<EVP_MD> md;   // the digest accepted by the control
  SM2_PKEY_CTX pkey{};
  // Digest-sign and digest-verify.
  bool digesting = false;
  bool sm3 = false;  // hashing with the SM3 core rather than mdctx
  SM3_CTX sm3ctx{};
  tovel::UniquePtr<EVP_MD_CTX> mdctx;
  bool zFed = false;
  bool idSet = false;
  std::vector<unsigned char> id;

  ~SigCtx() {
    sm2_pkey_ctx_cleanup(&pkey);
    OPENSSL_cleanse(&sm3ctx, sizeof(sm3ctx));
  }
};

OSSL_FUNC_signature_newctx_fn sm2sig_newctx;
OSSL_FUNC_signature_freectx_fn sm2sig_freectx;
OSSL_FUNC_signature_dupctx_fn sm2sig_dupctx;
OSSL_FUNC_signature_sign_init_fn sm2sig_sign_init;
OSSL_FUNC_signature_sign_fn sm2sig_sign;
OSSL_FUNC_signature_verify_init_fn sm2sig_verify_init;
OSSL_FUNC_signature_verify_fn sm2sig_verify;
OSSL_FUNC_signature_digest_sign_init_fn sm2sig_digest_sign_init;
OSSL_FUNC_signature_digest_sign_update_fn sm2sig_digest_update;
OSSL_FUNC_signature_digest_sign_final_fn sm2sig_digest_sign_final;
OSSL_FUNC_signature_digest_verify_init_fn sm2sig_digest_verify_init;
OSSL_FUNC_signature_digest_verify_final_fn sm2sig_digest_verify_final;
OSSL_FUNC_signature_get_ctx_params_fn sm2sig_get_ctx_params;
OSSL_FUNC_signature_gettable_ctx_params_fn sm2sig_gettable_ctx_params;
OSSL_FUNC_signature_set_ctx_params_fn sm2sig_set_ctx_params;
OSSL_FUNC_signature_settable_ctx_params_fn sm2sig_settable_ctx_params;

void* sm2sig_newctx(void* provctx, const char* propq) {
  auto* ctx = new (std::nothrow) SigCtx;
  if (ctx == nullptr) {
    return nullptr;
  }
  ctx->prov = static_cast<SmProvCtx*>(provctx);
  if (propq != nullptr) {
    ctx->propq = propq;
  }
  return ctx;
}

void sm2sig_freectx(void* vctx) { delete static_cast<SigCtx*>(vctx); }

void* sm2sig_dupctx(void* vctx) {
  const auto* src = static_cast<const SigCtx*>(vctx);
  std::unique_ptr<SigCtx> dst(new (std::nothrow) SigCtx);
  if (dst == nullptr) {
    return nullptr;
  }
  dst->prov = src->prov;
  dst->propq = src->propq;
  dst->digesting = src->digesting;
  dst->sm3 = src->sm3;
  dst->sm3ctx = src->sm3ctx;
  dst->zFed = src->zFed;
  dst->idSet = src->idSet;
  dst->id = src->id;
  if (src->key != nullptr) {
    if (!EC_KEY_up_ref(src->key.get())) {
      return nullptr;
    }
    dst->key.reset(src->key.get());
  }
  if (src->md != nullptr) {
    if (!EVP_MD_up_ref(src->md.get())) {
      return nullptr;
    }
    dst->md.reset(src->md.get());
  }
  dst->pkey.key = dst->key.get();
  dst->pkey.md = dst->md.get();
  if (src->mdctx != nullptr) {
    dst->mdctx.reset(EVP_MD_CTX_new());
    if (dst->mdctx == nullptr || !EVP_MD_CTX_copy_ex(dst->mdctx.get(), src->mdctx.get())) {
      return nullptr;
    }
  }
  return dst.release();
}

// Fetches the named digest and hands it to the control, which accepts it or
// refuses it with its error entry. SM2 signs 32-byte digests: on a key of
// either SM2 curve a digest that the control accepts but whose size is not
// 32 bytes (sha1, sha224, sha384, sha512) is refused here already.
int SetDigest(SigCtx* ctx, const char* name, const char* props) {
  tovel::UniquePtr<EVP_MD> md(
      EVP_MD_fetch(ctx->prov->libctx, name, props != nullptr ? props : ctx->propq.c_str()));
  if (md == nullptr) {
    ERR_raise_data(ERR_LIB_EC, EC_R_INVALID_DIGEST_TYPE, "digest=%s", name);
    return 0;
  }
  SM2_PKEY_CTX trial = ctx->pkey;
  if (ec_sm2_pkey_control(&trial, EVP_PKEY_CTRL_MD, 0, md.get()) != 1) {
    return 0;
  }
  if (sm2_pkey_uses_sm2(ctx->key.get()) && EVP_MD_get_size(md.get()) != SM3_DIGEST_LENGTH) {
    ERR_raise_data(ERR_LIB_EC, EC_R_INVALID_DIGEST,
                   "digest=%s: SM2 takes a 32-byte digest, not %d bytes", name,
                   EVP_MD_get_size(md.get()));
    return 0;
  }
  ctx->md = std::move(md);
  ctx->pkey.md = ctx->md.get();
  return 1;
}

int InitKey(SigCtx* ctx, void* provkey, const OSSL_PARAM params[]) {
  auto* key = static_cast<EC_KEY*>(provkey);
  if (ctx == nullptr || (key == nullptr && ctx->key == nullptr)) {
    return 0;
  }
  if (key != nullptr) {
    if (!EC_KEY_up_ref(key)) {
      return 0;
    }
    ctx->key.reset(key);
  }
  ctx->pkey.key = ctx->key.get();
  ctx->digesting = false;
  ctx->zFed = false;
  return sm2sig_set_ctx_params(ctx, params);
}

int sm2sig_sign_init(void* vctx, void* provkey, const OSSL_PARAM params[]) {
  return InitKey(static_cast<SigCtx*>(vctx), provkey, params);
}

int sm2sig_verify_init(void* vctx, void* provkey, const OSSL_PARAM params[]) {
  return InitKey(static_cast<SigCtx*>(vctx), provkey, params);
}

int sm2sig_sign(void* vctx, unsigned char* sig, size_t* siglen, size_t sigsize,
                const unsigned char* tbs, size_t tbslen) {
  auto* ctx = static_cast<SigCtx*>(vctx);
  size_t len = sigsize;
  if (sig != nullptr) {
    smprov_observe(SMEXT_OP_SIGN);
  }
  const int ret = ec_sm2_pkey_sign(&ctx->pkey, sig, &len, tbs, tbslen);
  if (ret > 0) {
    *siglen = len;
  }
  return ret;
}

int sm2sig_verify(void* vctx, const unsigned char* sig, size_t siglen, const unsigned char* tbs,
                  size_t tbslen) {
  auto* ctx = static_cast<SigCtx*>(vctx);
  smprov_observe(SMEXT_OP_VERIFY);
  return ec_sm2_pkey_check(&ctx->pkey, sig, siglen, tbs, tbslen);
}

int DigestInit(SigCtx* ctx, const char* mdname, void* provkey, const OSSL_PARAM params[]) {
  if (!InitKey(ctx, provkey, nullptr)) {
    return 0;
  }
  if (!SetDigest(ctx, mdname != nullptr && *mdname != '\0' ? mdname : "SM3", nullptr)) {
    return 0;
  }
  ctx->mdctx.reset();
  ctx->sm3 = EVP_MD_get_type(ctx->md.get()) == sm_obj_nid(SM_OBJ_SM3);
  if (ctx->sm3) {
    sm3_init(&ctx->sm3ctx);
  } else {
    ctx->mdctx.reset(EVP_MD_CTX_new());
    if (ctx->mdctx == nullptr || !EVP_DigestInit_ex2(ctx->mdctx.get(), ctx->md.get(), nullptr)) {
      return 0;
    }
  }
  ctx->digesting = true;
  return sm2sig_set_ctx_params(ctx, params);
}

int sm2sig_digest_sign_init(void* vctx, const char* mdname, void* provkey,
                            const OSSL_PARAM params[]) {
  return DigestInit(static_cast<SigCtx*>(vctx), mdname, provkey, params);
}

int sm2sig_digest_verify_init(void* vctx, const char* mdname, void* provkey,
                              const OSSL_PARAM params[]) {
  return DigestInit(static_cast<SigCtx*>(vctx), mdname, provkey, params);
}

// Z over the identity and the key's curve: a, b, the base point and the
// public point.
int ComputeZ(const SigCtx* ctx, unsigned char z[32]) {
  const EC_GROUP* group = EC_KEY_get0_group(ctx->key.get());
  const EC_POINT* point = EC_KEY_get0_public_key(ctx->key.get());
  const EC_POINT* generator = group != nullptr ? EC_GROUP_get0_generator(group) : nullptr;
  const tovel::UniquePtr<BN_CTX> bnctx(BN_CTX_new());
  const tovel::UniquePtr<BIGNUM> p(BN_new()), a(BN_new()), b(BN_new()), xG(BN_new()), yG(BN_new()),
      xA(BN_new()), yA(BN_new());
  const unsigned char* id = reinterpret_cast<const unsigned char*>(SM2_DEFAULT_USER_ID);
  int idlen = SM2_DEFAULT_USER_ID_LEN;
  if (ctx->idSet) {
    id = ctx->id.data();
    idlen = static_cast<int>(ctx->id.size());
  }
  return point != nullptr && generator != nullptr && bnctx != nullptr && p && a && b && xG && yG &&
         xA && yA && EC_GROUP_get_curve(group, p.get(), a.get(), b.get(), bnctx.get()) &&
         EC_POINT_get_affine_coordinates(group, generator, xG.get(), yG.get(), bnctx.get()) &&
         EC_POINT_get_affine_coordinates(group, point, xA.get(), yA.get(), bnctx.get()) &&
         sm2_compute_z(id, idlen, a.get(), b.get(), xG.get(), yG.get(), xA.get(), yA.get(), z);
}

// True when the key lies on the SM2 curve: only such keys sign Z || data.
bool OnSm2Curve(const EC_KEY* key) {
  const EC_GROUP* group = key != nullptr ? EC_KEY_get0_group(key) : nullptr;
  return group != nullptr && EC_GROUP_get_curve_name(group) == sm_obj_nid(SM_OBJ_SM2_CURVE);
}

// Z goes ahead of the first byte of data (or of the end, for empty data).
int FeedZ(SigCtx* ctx) {
  if (ctx->zFed || !ctx->sm3 || !OnSm2Curve(ctx->key.get())) {
    return 1;
  }
  unsigned char z[SM3_DIGEST_LENGTH];
  if (!ComputeZ(ctx, z) || !sm3_update(&ctx->sm3ctx, z, sizeof(z))) {
    return 0;
  }
  ctx->zFed = true;
  return 1;
}

int sm2sig_digest_update(void* vctx, const unsigned char* data, size_t datalen) {
  auto* ctx = static_cast<SigCtx*>(vctx);
  if (ctx == nullptr || !ctx->digesting || !FeedZ(ctx)) {
    return 0;
  }
  if (ctx->sm3) {
    return sm3_update(&ctx->sm3ctx, data, datalen);
  }
  return EVP_DigestUpdate(ctx->mdctx.get(), data, datalen);
}

int DigestFinal(SigCtx* ctx, unsigned char* digest, size_t* len) {
  if (!ctx->digesting || !FeedZ(ctx)) {
    return 0;
  }
  ctx->digesting = false;
  if (ctx->sm3) {
    *len = SM3_DIGEST_LENGTH;
    return sm3_final(digest, &ctx->sm3ctx);
  }
  unsigned int n = 0;
  if (!EVP_DigestFinal_ex(ctx->mdctx.get(), digest, &n)) {
    return 0;
  }
  *len = n;
  return 1;
}

int sm2sig_digest_sign_final(void* vctx, unsigned char* sig, size_t* siglen, size_t sigsize) {
  auto* ctx = static_cast<SigCtx*>(vctx);
  if (ctx == nullptr || ctx->key == nullptr) {
    return 0;
  }
  if (sig == nullptr) {
    return ec_sm2_pkey_sign(&ctx->pkey, nullptr, siglen, nullptr, 0);
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  size_t dlen = 0;
  if (!DigestFinal(ctx, digest, &dlen)) {
    return 0;
  }
  smprov_observe(SMEXT_OP_DIGEST_SIGN);
  size_t len = sigsize;
  const int ret = ec_sm2_pkey_sign(&ctx->pkey, sig, &len, digest, dlen);
  if (ret > 0) {
    *siglen = len;
  }
  return ret;
}

int sm2sig_digest_verify_final(void* vctx, const unsigned char* sig, size_t siglen) {
  auto* ctx = static_cast<SigCtx*>(vctx);
  unsigned char digest[EVP_MAX_MD_SIZE];
  size_t dlen = 0;
  if (ctx == nullptr || ctx->key == nullptr || !DigestFinal(ctx, digest, &dlen)) {
    return 0;
  }
  smprov_observe(SMEXT_OP_DIGEST_VERIFY);
  return ec_sm2_pkey_check(&ctx->pkey, sig, siglen, digest, dlen);
}

// The AlgorithmIdentifier of the signature: SM2-with-SM3, no parameters.
// Other digests on an SM2 key have no identifier: the get fails and says so.
int SetAlgorithmId(const SigCtx* ctx, OSSL_PARAM* p) {
  if (ctx->md == nullptr) {
    ERR_raise_data(ERR_LIB_EC, EC_R_INVALID_DIGEST_TYPE,
                   "no digest set: no signature algorithm identifier");
    return 0;
  }
  if (EVP_MD_get_type(ctx->md.get()) != sm_obj_nid(SM_OBJ_SM3)) {
    ERR_raise_data(ERR_LIB_EC, EC_R_INVALID_DIGEST_TYPE,
                   "no signature algorithm identifier for SM2 with %s",
                   EVP_MD_get0_name(ctx->md.get()));
    return 0;
  }
  const tovel::UniquePtr<X509_ALGOR> alg(X509_ALGOR_new());
  if (alg == nullptr ||
      !X509_ALGOR_set0(alg.get(), OBJ_nid2obj(sm_obj_nid(SM_OBJ_SM2_SM3)), V_ASN1_UNDEF, nullptr)) {
    return 0;
  }
  unsigned char* der = nullptr;
  const int len = i2d_X509_ALGOR(alg.get(), &der);
  const tovel::OpenSslPtr<unsigned char> ownedDer(der);
  return len > 0 && OSSL_PARAM_set_octet_string(p, der, static_cast<size_t>(len));
}

int sm2sig_get_ctx_params(void* vctx, OSSL_PARAM params[]) {
  const auto* ctx = static_cast<const SigCtx*>(vctx);
  if (ctx == nullptr) {
    return 0;
  }
  OSSL_PARAM* p = OSSL_PARAM_locate(params, OSSL_SIGNATURE_PARAM_ALGORITHM_ID);
  if (p != nullptr && !SetAlgorithmId(ctx, p)) {
    return 0;
  }
  p = OSSL_PARAM_locate(params, OSSL_SIGNATURE_PARAM_DIGEST);
  if (p != nullptr && ctx->md != nullptr &&
      !OSSL_PARAM_set_utf8_string(p, EVP_MD_get0_name(ctx->md.get()))) {
    return 0;
  }
  p = OSSL_PARAM_locate(params, OSSL_SIGNATURE_PARAM_DIGEST_SIZE);
  if (p != nullptr && ctx->md != nullptr &&
      !OSSL_PARAM_set_size_t(p, static_cast<size_t>(EVP_MD_get_size(ctx->md.get())))) {
    return 0;
  }
  return 1;
}

const OSSL_PARAM* sm2sig_gettable_ctx_params(void*, void*) {
  static const OSSL_PARAM params[] = {
      OSSL_PARAM_octet_string(OSSL_SIGNATURE_PARAM_ALGORITHM_ID, nullptr, 0),
      OSSL_PARAM_utf8_string(OSSL_SIGNATURE_PARAM_DIGEST, nullptr, 0),
      OSSL_PARAM_size_t(OSSL_SIGNATURE_PARAM_DIGEST_SIZE, nullptr),
      OSSL_PARAM_END,
  };
  return params;
}

int sm2sig_set_ctx_params(void* vctx, const OSSL_PARAM params[]) {
  auto* ctx = static_cast<SigCtx*>(vctx);
  if (ctx == nullptr) {
    return 0;
  }
  if (params == nullptr) {
    return 1;
  }
  const OSSL_PARAM* p = OSSL_PARAM_locate_const(params, OSSL_PKEY_PARAM_DIST_ID);
  if (p != nullptr) {
    // Z covers the identity: once it has been hashed the identity is fixed.
    const void* id = nullptr;
    size_t idlen = 0;
    if (ctx->zFed || !OSSL_PARAM_get_octet_string_ptr(p, &id, &idlen) || idlen >= SM2_MAX_ID_LEN) {
      return 0;
    }
    const auto* bytes = static_cast<const unsigned char*>(id);
    ctx->id.assign(bytes, bytes + idlen);
    ctx->idSet = true;
  }
  p = OSSL_PARAM_locate_const(params, OSSL_SIGNATURE_PARAM_DIGEST);
  if (p != nullptr) {
    const char* name = nullptr;
    const char* props = nullptr;
    const OSSL_PARAM* pp = OSSL_PARAM_locate_const(params, OSSL_SIGNATURE_PARAM_PROPERTIES);
    // The digest of a digest-sign or digest-verify is fixed at its start.
    if (ctx->digesting || !OSSL_PARAM_get_utf8_string_ptr(p, &name) ||
        (pp != nullptr && !OSSL_PARAM_get_utf8_string_ptr(pp, &props)) ||
        !SetDigest(ctx, name, props)) {
      return 0;
    }
  }
  return 1;
}

const OSSL_PARAM* sm2sig_settable_ctx_params(void*, void*) {
  static const OSSL_PARAM params[] = {
      OSSL_PARAM_utf8_string(OSSL_SIGNATURE_PARAM_DIGEST, nullptr, 0),
      OSSL_PARAM_utf8_string(OSSL_SIGNATURE_PARAM_PROPERTIES, nullptr, 0),
      OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_DIST_ID, nullptr, 0),
      OSSL_PARAM_END,
  };
  return params;
}

}  // namespace

extern const OSSL_DISPATCH smprov_sm2_signature_functions[] = {
    {OSSL_FUNC_SIGNATURE_NEWCTX, smprov_entry(sm2sig_newctx)},
    {OSSL_FUNC_SIGNATURE_FREECTX, smprov_entry(sm2sig_freectx)},
    {OSSL_FUNC_SIGNATURE_DUPCTX, smprov_entry(sm2sig_dupctx)},
    {OSSL_FUNC_SIGNATURE_SIGN_INIT, smprov_entry(sm2sig_sign_init)},
    {OSSL_FUNC_SIGNATURE_SIGN, smprov_entry(sm2sig_sign)},
    {OSSL_FUNC_SIGNATURE_VERIFY_INIT, smprov_entry(sm2sig_verify_init)},
    {OSSL_FUNC_SIGNATURE_VERIFY, smprov_entry(sm2sig_verify)},
    {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_INIT, smprov_entry(sm2sig_digest_sign_init)},
    {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_UPDATE, smprov_entry(sm2sig_digest_update)},
    {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_FINAL, smprov_entry(sm2sig_digest_sign_final)},
    {OSSL_FUNC_SIGNATURE_DIGEST_VERIFY_INIT, smprov_entry(sm2sig_digest_verify_init)},
    {OSSL_FUNC_SIGNATURE_DIGEST_VERIFY_UPDATE, smprov_entry(sm2sig_digest_update)},
    {OSSL_FUNC_SIGNATURE_DIGEST_VERIFY_FINAL, smprov_entry(sm2sig_digest_verify_final)},
    {OSSL_FUNC_SIGNATURE_GET_CTX_PARAMS, smprov_entry(sm2sig_get_ctx_params)},
    {OSSL_FUNC_SIGNATURE_GETTABLE_CTX_PARAMS, smprov_entry(sm2sig_gettable_ctx_params)},
    {OSSL_FUNC_SIGNATURE_SET_CTX_PARAMS, smprov_entry(sm2sig_set_ctx_params)},
    {OSSL_FUNC_SIGNATURE_SETTABLE_CTX_PARAMS, smprov_entry(sm2sig_settable_ctx_params)},
    {0, nullptr},
};
