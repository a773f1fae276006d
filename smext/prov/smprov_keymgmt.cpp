// Key management for "SM2": EC keys on the SM2 curve or the SM2 test curve
// (no other group is taken in), imported from and exported to other
// providers, generated, compared and described.
#include <string.h>

#include <initializer_list>
#include <new>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/param_build.h>
#include <openssl/params.h>

#include "platform/UniquePtr.h"
#include "smext/prov/smprov_local.h"
#include "smext/sm2_pkey.h"
#include "smext/sm_objects.h"

namespace {

constexpr int kSelectKeyParts = OSSL_KEYMGMT_SELECT_KEYPAIR | OSSL_KEYMGMT_SELECT_DOMAIN_PARAMETERS;

struct GenCtx {
  SmProvCtx* prov;
  int selection;
  SM2_PKEY_CTX pkey;  // its generation group
};

OSSL_FUNC_keymgmt_new_fn sm2_km_new;
OSSL_FUNC_keymgmt_free_fn sm2_km_free;
OSSL_FUNC_keymgmt_dup_fn sm2_km_dup;
OSSL_FUNC_keymgmt_has_fn sm2_km_has;
OSSL_FUNC_keymgmt_match_fn sm2_km_match;
OSSL_FUNC_keymgmt_validate_fn sm2_km_validate;
OSSL_FUNC_keymgmt_import_fn sm2_km_import;
OSSL_FUNC_keymgmt_import_types_fn sm2_km_key_types;
OSSL_FUNC_keymgmt_export_fn sm2_km_export;
OSSL_FUNC_keymgmt_get_params_fn sm2_km_get_params;
OSSL_FUNC_keymgmt_gettable_params_fn sm2_km_gettable_params;
OSSL_FUNC_keymgmt_query_operation_name_fn sm2_km_operation_name;
OSSL_FUNC_keymgmt_gen_init_fn sm2_km_gen_init;
OSSL_FUNC_keymgmt_gen_set_params_fn sm2_km_gen_set_params;
OSSL_FUNC_keymgmt_gen_settable_params_fn sm2_km_gen_settable_params;
OSSL_FUNC_keymgmt_gen_fn sm2_km_gen;
OSSL_FUNC_keymgmt_gen_cleanup_fn sm2_km_gen_cleanup;

// The NID of the SM2 curve or the SM2 test curve by any of its names (short
// or long name, OID); NID_undef, with an error entry, for a name that names
// another curve or none.
int Sm2CurveNid(const char* name) {
  // A name that names no object is refused below, with the entry that says why.
  ERR_set_mark();
  const int nid = name != nullptr ? OBJ_txt2nid(name) : NID_undef;
  ERR_pop_to_mark();
  if (!sm_obj_is_sm2_curve(nid)) {
    ERR_raise_data(ERR_LIB_EC, EC_R_INVALID_CURVE, "not an SM2 curve: %s",
                   name != nullptr ? name : "(none)");
    return NID_undef;
  }
  return nid;
}

void* sm2_km_new(void*) { return EC_KEY_new(); }

void sm2_km_free(void* keydata) { EC_KEY_free(static_cast<EC_KEY*>(keydata)); }

void* sm2_km_dup(const void* keydata, int) {
  return EC_KEY_dup(static_cast<const EC_KEY*>(keydata));
}

int sm2_km_has(const void* keydata, int selection) {
  const auto* key = static_cast<const EC_KEY*>(keydata);
  if (key == nullptr) {
    return 0;
  }
  int ok = 1;
  if ((selection & kSelectKeyParts) != 0) {
    ok = ok && EC_KEY_get0_group(key) != nullptr;
  }
  if ((selection & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) != 0) {
    ok = ok && EC_KEY_get0_public_key(key) != nullptr;
  }
  if ((selection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) != 0) {
    ok = ok && EC_KEY_get0_private_key(key) != nullptr;
  }
  return ok;
}

int sm2_km_match(const void* a, const void* b, int selection) {
  const auto* k1 = static_cast<const EC_KEY*>(a);
  const auto* k2 = static_cast<const EC_KEY*>(b);
  const EC_GROUP* g1 = EC_KEY_get0_group(k1);
  const EC_GROUP* g2 = EC_KEY_get0_group(k2);
  if (g1 == nullptr || g2 == nullptr || EC_GROUP_cmp(g1, g2, nullptr) != 0) {
    return 0;
  }
  if ((selection & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) != 0) {
    const EC_POINT* p1 = EC_KEY_get0_public_key(k1);
    const EC_POINT* p2 = EC_KEY_get0_public_key(k2);
    return p1 != nullptr && p2 != nullptr && EC_POINT_cmp(g1, p1, p2, nullptr) == 0;
  }
  if ((selection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) != 0) {
    const BIGNUM* d1 = EC_KEY_get0_private_key(k1);
    const BIGNUM* d2 = EC_KEY_get0_private_key(k2);
    return d1 != nullptr && d2 != nullptr && BN_cmp(d1, d2) == 0;
  }
  return 1;
}

int sm2_km_validate(const void* keydata, int selection, int) {
  const auto* key = static_cast<const EC_KEY*>(keydata);
  const EC_GROUP* group = EC_KEY_get0_group(key);
  if (group == nullptr) {
    return 0;
  }
  if ((selection & OSSL_KEYMGMT_SELECT_DOMAIN_PARAMETERS) != 0 &&
      EC_GROUP_check(group, nullptr) != 1) {
    return 0;
  }
  if ((selection & OSSL_KEYMGMT_SELECT_KEYPAIR) != 0) {
    return EC_KEY_get0_public_key(key) != nullptr && EC_KEY_check_key(key) == 1;
  }
  return 1;
}

// Named SM2 curves only: "group" carries the curve's name.
int sm2_km_import(void* keydata, int selection, const OSSL_PARAM params[]) {
  auto* key = static_cast<EC_KEY*>(keydata);
  if (key == nullptr || (selection & kSelectKeyParts) == 0) {
    return 0;
  }
  const OSSL_PARAM* p = OSSL_PARAM_locate_const(params, OSSL_PKEY_PARAM_GROUP_NAME);
  const char* name = nullptr;
  if (p == nullptr || !OSSL_PARAM_get_utf8_string_ptr(p, &name)) {
    return 0;
  }
  const int nid = Sm2CurveNid(name);
  if (nid == NID_undef) {
    return 0;
  }
  {
    const tovel::UniquePtr<EC_GROUP> group(sm_ec_group_new(nid));
    if (group == nullptr || !EC_KEY_set_group(key, group.get())) {
      return 0;
    }
  }
  const EC_GROUP* keyGroup = EC_KEY_get0_group(key);
  if ((selection & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) != 0) {
    p = OSSL_PARAM_locate_const(params, OSSL_PKEY_PARAM_PUB_KEY);
    const void* octets = nullptr;
    size_t len = 0;
    if (p != nullptr) {
      const tovel::UniquePtr<EC_POINT> point(EC_POINT_new(keyGroup));
      const bool ok = point != nullptr && OSSL_PARAM_get_octet_string_ptr(p, &octets, &len) &&
                      EC_POINT_oct2point(keyGroup, point.get(),
                                         static_cast<const unsigned char*>(octets), len, nullptr) &&
                      EC_KEY_set_public_key(key, point.get());
      if (!ok) {
        return 0;
      }
    }
  }
  if ((selection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) != 0) {
    p = OSSL_PARAM_locate_const(params, OSSL_PKEY_PARAM_PRIV_KEY);
    if (p != nullptr) {
      BIGNUM* d = BN_secure_new();
      const bool got = d != nullptr && OSSL_PARAM_get_BN(p, &d);
      const tovel::UniquePtr<BIGNUM> owned(d);
      if (!got || !EC_KEY_set_private_key(key, d)) {
        return 0;
      }
    }
  }
  return 1;
}

const OSSL_PARAM* sm2_km_key_types(int) {
  static const OSSL_PARAM types[] = {
      OSSL_PARAM_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, nullptr, 0),
      OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_PUB_KEY, nullptr, 0),
      OSSL_PARAM_BN(OSSL_PKEY_PARAM_PRIV_KEY, nullptr, 0),
      OSSL_PARAM_END,
  };
  return types;
}

// The curve's short name: "SM2" for the SM2 curve.
const char* GroupName(const EC_GROUP* group) {
  const int nid = group != nullptr ? EC_GROUP_get_curve_name(group) : NID_undef;
  return nid != NID_undef ? OBJ_nid2sn(nid) : nullptr;
}

// Adds the selected parts of the key to bld.
bool BuildKeyParams(const EC_KEY* key, int selection, OSSL_PARAM_BLD* bld,
                    unsigned char** pubBuffer) {
  const EC_GROUP* group = EC_KEY_get0_group(key);
  const char* name = GroupName(group);
  if (name == nullptr ||
      !OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, name, 0)) {
    return false;
  }
  const EC_POINT* point = EC_KEY_get0_public_key(key);
  if ((selection & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) != 0 && point != nullptr) {
    const size_t len =
        EC_POINT_point2buf(group, point, POINT_CONVERSION_UNCOMPRESSED, pubBuffer, nullptr);
    if (len == 0 ||
        !OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, *pubBuffer, len)) {
      return false;
    }
  }
  const BIGNUM* d = EC_KEY_get0_private_key(key);
  if ((selection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) != 0 && d != nullptr) {
    const int orderBytes = (EC_GROUP_order_bits(group) + 7) / 8;
    if (!OSSL_PARAM_BLD_push_BN_pad(bld, OSSL_PKEY_PARAM_PRIV_KEY, d,
                                    static_cast<size_t>(orderBytes))) {
      return false;
    }
  }
  return true;
}

int sm2_km_export(void* keydata, int selection, OSSL_CALLBACK* callback, void* cbarg) {
  const auto* key = static_cast<const EC_KEY*>(keydata);
  if (key == nullptr || (selection & kSelectKeyParts) == 0) {
    return 0;
  }
  const tovel::UniquePtr<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
  unsigned char* pub = nullptr;
  const bool built = bld != nullptr && BuildKeyParams(key, selection, bld.get(), &pub);
  const tovel::OpenSslPtr<unsigned char> ownedPub(pub);
  if (!built) {
    return 0;
  }
  const tovel::UniquePtr<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld.get()));
  return params != nullptr ? callback(params.get(), cbarg) : 0;
}

int sm2_km_get_params(void* keydata, OSSL_PARAM params[]) {
  const auto* key = static_cast<const EC_KEY*>(keydata);
  const EC_GROUP* group = key != nullptr ? EC_KEY_get0_group(key) : nullptr;
  if (group == nullptr) {
    return 0;
  }
  const int bits = EC_GROUP_order_bits(group);
  OSSL_PARAM* p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_BITS);
  if (p != nullptr && !OSSL_PARAM_set_int(p, bits)) {
    return 0;
  }
  p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_SECURITY_BITS);
  if (p != nullptr && !OSSL_PARAM_set_int(p, bits / 2)) {
    return 0;
  }
  p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_MAX_SIZE);
  if (p != nullptr && !OSSL_PARAM_set_int(p, ECDSA_size(key))) {
    return 0;
  }
  p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_DEFAULT_DIGEST);
  if (p != nullptr && !OSSL_PARAM_set_utf8_string(p, "SM3")) {
    return 0;
  }
  p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_GROUP_NAME);
  if (p != nullptr &&
      (GroupName(group) == nullptr || !OSSL_PARAM_set_utf8_string(p, GroupName(group)))) {
    return 0;
  }
  const EC_POINT* point = EC_KEY_get0_public_key(key);
  for (const char* name : {OSSL_PKEY_PARAM_PUB_KEY, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY}) {
    p = OSSL_PARAM_locate(params, name);
    if (p == nullptr || point == nullptr) {
      continue;
    }
    unsigned char* buf = nullptr;
    const size_t len =
        EC_POINT_point2buf(group, point, POINT_CONVERSION_UNCOMPRESSED, &buf, nullptr);
    const tovel::OpenSslPtr<unsigned char> owned(buf);
    if (len == 0 || !OSSL_PARAM_set_octet_string(p, buf, len)) {
      return 0;
    }
  }
  p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_PRIV_KEY);
  if (p != nullptr && EC_KEY_get0_private_key(key) != nullptr &&
      !OSSL_PARAM_set_BN(p, EC_KEY_get0_private_key(key))) {
    return 0;
  }
  return 1;
}

const OSSL_PARAM* sm2_km_gettable_params(void*) {
  static const OSSL_PARAM params[] = {
      OSSL_PARAM_int(OSSL_PKEY_PARAM_BITS, nullptr),
      OSSL_PARAM_int(OSSL_PKEY_PARAM_SECURITY_BITS, nullptr),
      OSSL_PARAM_int(OSSL_PKEY_PARAM_MAX_SIZE, nullptr),
      OSSL_PARAM_utf8_string(OSSL_PKEY_PARAM_DEFAULT_DIGEST, nullptr, 0),
      OSSL_PARAM_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, nullptr, 0),
      OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_PUB_KEY, nullptr, 0),
      OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, nullptr, 0),
      OSSL_PARAM_BN(OSSL_PKEY_PARAM_PRIV_KEY, nullptr, 0),
      OSSL_PARAM_END,
  };
  return params;
}

const char* sm2_km_operation_name(int) { return "SM2"; }

int sm2_km_gen_set_params(void* genctx, const OSSL_PARAM params[]) {
  auto* gen = static_cast<GenCtx*>(genctx);
  const OSSL_PARAM* p = OSSL_PARAM_locate_const(params, OSSL_PKEY_PARAM_GROUP_NAME);
  if (p == nullptr) {
    return 1;
  }
  const char* name = nullptr;
  if (!OSSL_PARAM_get_utf8_string_ptr(p, &name)) {
    return 0;
  }
  const int nid = Sm2CurveNid(name);
  if (nid == NID_undef ||
      ec_sm2_pkey_control(&gen->pkey, EVP_PKEY_CTRL_EC_PARAMGEN_CURVE_NID, nid, nullptr) != 1) {
    // No key on a curve other than the one asked for, should the caller go on.
    sm2_pkey_ctx_cleanup(&gen->pkey);
    return 0;
  }
  return 1;
}

void* sm2_km_gen_init(void* provctx, int selection, const OSSL_PARAM params[]) {
  auto* gen = new (std::nothrow) GenCtx{static_cast<SmProvCtx*>(provctx), selection, {}};
  if (gen == nullptr) {
    return nullptr;
  }
  // The SM2 curve unless the caller names the test curve.
  if (ec_sm2_pkey_control(&gen->pkey, EVP_PKEY_CTRL_EC_PARAMGEN_CURVE_NID,
                          sm_obj_nid(SM_OBJ_SM2_CURVE), nullptr) != 1 ||
      !sm2_km_gen_set_params(gen, params)) {
    sm2_pkey_ctx_cleanup(&gen->pkey);
    delete gen;
    return nullptr;
  }
  return gen;
}

const OSSL_PARAM* sm2_km_gen_settable_params(void*, void*) {
  static const OSSL_PARAM params[] = {
      OSSL_PARAM_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, nullptr, 0),
      OSSL_PARAM_END,
  };
  return params;
}

// A private scalar in [1, n - 2]: SM2 signing needs 1 + d invertible.
bool GenerateKeyPair(EC_KEY* key) {
  const BIGNUM* order = EC_GROUP_get0_order(EC_KEY_get0_group(key));
  const tovel::UniquePtr<BIGNUM> limit(order != nullptr ? BN_dup(order) : nullptr);
  bool ok = limit != nullptr && BN_sub_word(limit.get(), 1);
  while (ok) {
    ok = EC_KEY_generate_key(key) == 1;
    if (ok && BN_cmp(EC_KEY_get0_private_key(key), limit.get()) < 0) {
      break;
    }
  }
  return ok;
}

void* sm2_km_gen(void* genctx, OSSL_CALLBACK*, void*) {
  auto* gen = static_cast<GenCtx*>(genctx);
  tovel::UniquePtr<EC_KEY> key(EC_KEY_new());
  if (key == nullptr || gen->pkey.gen_group == nullptr ||
      !EC_KEY_set_group(key.get(), gen->pkey.gen_group) ||
      ((gen->selection & OSSL_KEYMGMT_SELECT_KEYPAIR) != 0 && !GenerateKeyPair(key.get()))) {
    return nullptr;
  }
  smprov_observe(SMEXT_OP_KEYGEN);
  return key.release();
}

void sm2_km_gen_cleanup(void* genctx) {
  auto* gen = static_cast<GenCtx*>(genctx);
  if (gen != nullptr) {
    sm2_pkey_ctx_cleanup(&gen->pkey);
    delete gen;
  }
}

}  // namespace

extern const OSSL_DISPATCH smprov_sm2_keymgmt_functions[] = {
    {OSSL_FUNC_KEYMGMT_NEW, smprov_entry(sm2_km_new)},
    {OSSL_FUNC_KEYMGMT_FREE, smprov_entry(sm2_km_free)},
    {OSSL_FUNC_KEYMGMT_DUP, smprov_entry(sm2_km_dup)},
    {OSSL_FUNC_KEYMGMT_HAS, smprov_entry(sm2_km_has)},
    {OSSL_FUNC_KEYMGMT_MATCH, smprov_entry(sm2_km_match)},
    {OSSL_FUNC_KEYMGMT_VALIDATE, smprov_entry(sm2_km_validate)},
    {OSSL_FUNC_KEYMGMT_IMPORT, smprov_entry(sm2_km_import)},
    {OSSL_FUNC_KEYMGMT_IMPORT_TYPES, smprov_entry(sm2_km_key_types)},
    {OSSL_FUNC_KEYMGMT_EXPORT, smprov_entry(sm2_km_export)},
    {OSSL_FUNC_KEYMGMT_EXPORT_TYPES, smprov_entry(sm2_km_key_types)},
    {OSSL_FUNC_KEYMGMT_GET_PARAMS, smprov_entry(sm2_km_get_params)},
    {OSSL_FUNC_KEYMGMT_GETTABLE_PARAMS, smprov_entry(sm2_km_gettable_params)},
    {OSSL_FUNC_KEYMGMT_QUERY_OPERATION_NAME, smprov_entry(sm2_km_operation_name)},
    {OSSL_FUNC_KEYMGMT_GEN_INIT, smprov_entry(sm2_km_gen_init)},
    {OSSL_FUNC_KEYMGMT_GEN_SET_PARAMS, smprov_entry(sm2_km_gen_set_params)},
    {OSSL_FUNC_KEYMGMT_GEN_SETTABLE_PARAMS, smprov_entry(sm2_km_gen_settable_params)},
    {OSSL_FUNC_KEYMGMT_GEN, smprov_entry(sm2_km_gen)},
    {OSSL_FUNC_KEYMGMT_GEN_CLEANUP, smprov_entry(sm2_km_gen_cleanup)},
    {0, nullptr},
};
