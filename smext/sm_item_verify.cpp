// Signed-item verification with the SM2 rule for certificates and CRLs.
#include "smext/sm_item_verify.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include "smext/sm2.h"
#include "smext/sm2_local.h"
#include "smext/sm2_pkey.h"
#include "smext/sm_objects.h"

namespace {

// The 1.x function code of the library's signed-item verification.
constexpr int kFuncItemVerify = 197;

void Raise(int reason) { SM2_RAISE(ERR_LIB_ASN1, kFuncItemVerify, reason); }

// What the check needs of a key of the EC family. The library types keys on
// the SM2 curve "SM2" and keeps them apart from "EC" keys; both are EC keys
// here. A key with an EC_KEY behind it (EC keys, legacy keys) is read through
// it, an SM2 key of a provider through its parameters.
class EcKeyView {
 public:
  enum class Kind { NotEc, NoGroup, Sm2Curve, Sm2TestCurve, OtherCurve };

  explicit EcKeyView(EVP_PKEY* pkey) : pkey_(pkey) {
    if (EVP_PKEY_get_base_id(pkey) != EVP_PKEY_EC && !EVP_PKEY_is_a(pkey, "EC") &&
        !EVP_PKEY_is_a(pkey, "SM2")) {
      return;
    }
    kind_ = Kind::NoGroup;
    ERR_set_mark();  // an SM2 key of a provider has no EC_KEY: not an error here
    ec_ = EVP_PKEY_get0_EC_KEY(pkey);
    ERR_pop_to_mark();
    int curveNid = NID_undef;
    if (ec_ != nullptr) {
      const EC_GROUP* group = EC_KEY_get0_group(ec_);
      if (group == nullptr) {
        return;
      }
      curveNid = EC_GROUP_get_curve_name(group);
      if (curveNid == NID_undef) {
        curveNid = Sm2CurveOfExplicit(group);
      }
    } else {
      char name[80];
      size_t nameLen = 0;
      if (!EVP_PKEY_get_utf8_string_param(pkey, OSSL_PKEY_PARAM_GROUP_NAME, name, sizeof(name),
                                          &nameLen)) {
        return;
      }
      curveNid = OBJ_txt2nid(name);
      if (curveNid == NID_undef) {
        curveNid = EC_curve_nist2nid(name);
      }
    }
    curveNid_ = curveNid;
    switch (sm2_curve_number(curveNid)) {
      case SM_OBJ_SM2_CURVE: kind_ = Kind::Sm2Curve; break;
      case SM_OBJ_SM2_TEST_CURVE: kind_ = Kind::Sm2TestCurve; break;
      default: kind_ = Kind::OtherCurve;
    }
  }

  Kind kind() const { return kind_; }
  // Keys checked by the SM2 core rather than by the library's signature code.
  bool UsesSm2Core() const {
    return kind_ == Kind::NoGroup || kind_ == Kind::Sm2Curve || kind_ == Kind::Sm2TestCurve;
  }
  int curveNid() const { return curveNid_; }

  // The affine coordinates of the public point into the caller's numbers.
  bool Coordinates(BIGNUM* x, BIGNUM* y) const {
    if (ec_ != nullptr) {
      const EC_POINT* point = EC_KEY_get0_public_key(ec_);
      return point != nullptr &&
             EC_POINT_get_affine_coordinates(EC_KEY_get0_group(ec_), point, x, y, nullptr) == 1;
    }
    BIGNUM* px = nullptr;
    BIGNUM* py = nullptr;
    ERR_set_mark();
    const bool gotX = EVP_PKEY_get_bn_param(pkey_, OSSL_PKEY_PARAM_EC_PUB_X, &px) == 1;
    const tovel::UniquePtr<BIGNUM> ownedX(px);
    const bool gotY = gotX && EVP_PKEY_get_bn_param(pkey_, OSSL_PKEY_PARAM_EC_PUB_Y, &py) == 1;
    const tovel::UniquePtr<BIGNUM> ownedY(py);
    ERR_pop_to_mark();
    if (gotY) {
      return BN_copy(x, px) != nullptr && BN_copy(y, py) != nullptr;
    }
    // A key of the extension's provider (on either SM2 curve) gives its point
    // encoded only.
    unsigned char encoded[1 + 2 * 66];
    size_t encodedLen = 0;
    const Sm2AnyCurve curve(curveNid_);
    const tovel::UniquePtr<EC_POINT> point(curve.group != nullptr ? EC_POINT_new(curve.group)
                                                                  : nullptr);
    return point != nullptr &&
           EVP_PKEY_get_octet_string_param(pkey_, OSSL_PKEY_PARAM_PUB_KEY, encoded, sizeof(encoded),
                                           &encodedLen) == 1 &&
           EC_POINT_oct2point(curve.group, point.get(), encoded, encodedLen, nullptr) == 1 &&
           EC_POINT_get_affine_coordinates(curve.group, point.get(), x, y, nullptr) == 1;
  }

 private:
  // An explicitly written curve equal to one of the two SM2 curves.
  static int Sm2CurveOfExplicit(const EC_GROUP* group) {
    for (int number : {SM_OBJ_SM2_CURVE, SM_OBJ_SM2_TEST_CURVE}) {
      const Sm2Curve* curve = sm2_curve_get(number);
      if (curve != nullptr && EC_GROUP_cmp(curve->group, group, nullptr) == 0) {
        return sm_obj_nid(number);
      }
    }
    return NID_undef;
  }

  EVP_PKEY* pkey_;
  const EC_KEY* ec_ = nullptr;
  Kind kind_ = Kind::NotEc;
  int curveNid_ = NID_undef;
};

// The row's key type against the key, tested as the library's own signed-item
// verification tests it (by the key type's name), so that both roads refuse
// the same keys before anything is hashed. The library types keys on the SM2
// curve "SM2" and pairs only sm2-sm3 with that type: such a key under an
// ECDSA algorithm, and an "EC" key under sm2-sm3, are of the wrong type.
bool KeyMatchesRow(EVP_PKEY* pkey, int rowKeyNid) {
  const char* name = OBJ_nid2sn(rowKeyNid);
  return name != nullptr && EVP_PKEY_is_a(pkey, name);
}

// The SM2 check of the signature bits (DER ECDSA-Sig-Value) against the
// digest in ctx, computed on the key's own curve. 1 valid, else 0.
int CheckSm2Digest(EVP_MD_CTX* ctx, const EcKeyView& key, const ASN1_BIT_STRING* signature) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned digestLen = 0;
  if (!EVP_DigestFinal_ex(ctx, digest, &digestLen) || digestLen != 32) {
    return 0;  // an SM2 digest value has 32 bytes: no other length is cut or padded
  }
  // Only the exact DER of {r, s} is a signature.
  const tovel::UniquePtr<ECDSA_SIG> sig(
      sm2_signature_from_der(signature->data, static_cast<size_t>(signature->length)));
  if (sig == nullptr) {
    return 0;
  }
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(sig.get(), &r, &s);
  tovel::UniquePtr<BIGNUM> x(BN_new()), y(BN_new()), e(BN_new());
  // r and s of more than 32 bytes exceed the order and have no 32-byte form.
  const int ok = x && y && e && BN_num_bytes(r) <= 32 && BN_num_bytes(s) <= 32 &&
                 key.Coordinates(x.get(), y.get()) && sm2_bytes_to_bn(digest, 32, e.get()) &&
                 sm2_verify(sig.get(), x.get(), y.get(), e.get(), key.curveNid());
  OPENSSL_cleanse(digest, sizeof(digest));
  return ok;
}

// Feeds the default Z of the key's public point into ctx. 0 with an entry when
// the two numbers cannot be made, 0 without one when Z cannot be computed.
int FeedDefaultZ(EVP_MD_CTX* ctx, const EcKeyView& key) {
  tovel::UniquePtr<BIGNUM> x(BN_new()), y(BN_new());
  if (!x || !y) {
    Raise(ERR_R_MALLOC_FAILURE);
    return 0;
  }
  unsigned char x32[32], y32[32], z[32];
  if (!key.Coordinates(x.get(), y.get()) || !sm2_bn_to_bytes32(x.get(), x32) ||
      !sm2_bn_to_bytes32(y.get(), y32) || !sm2_default_z(x32, y32, z)) {
    return 0;
  }
  if (!EVP_DigestUpdate(ctx, z, sizeof(z))) {
    Raise(ERR_R_EVP_LIB);
    return 0;
  }
  return 1;
}

// The encoding of the signed part inside a certificate's or a CRL's DER: the
// first element of the outer SEQUENCE, decoded as it (which keeps the bytes
// as they were received). Null when der does not have that shape.
ASN1_VALUE* DecodeSignedPart(const unsigned char* der, int len, const ASN1_ITEM* it) {
  const unsigned char* p = der;
  long contentLen = 0;
  int tag = 0;
  int cls = 0;
  if (ASN1_get_object(&p, &contentLen, &tag, &cls, len) & 0x80 || tag != V_ASN1_SEQUENCE) {
    return nullptr;
  }
  return ASN1_item_d2i(nullptr, &p, contentLen, it);
}

template <typename T>
int VerifyEncoded(T* object, int (*encode)(const T*, unsigned char**), const ASN1_ITEM* it,
                  const X509_ALGOR* algorithm, const ASN1_BIT_STRING* signature, EVP_PKEY* pkey) {
  unsigned char* der = nullptr;
  const int len = encode(object, &der);
  const tovel::OpenSslPtr<unsigned char> ownedDer(der);
  ASN1_VALUE* part = len > 0 ? DecodeSignedPart(der, len, it) : nullptr;
  if (part == nullptr) {
    Raise(ERR_R_MALLOC_FAILURE);
    return -1;
  }
  const int result = verify_signed_item(it, algorithm, signature, part, pkey);
  ASN1_item_free(part, it);
  return result;
}

}  // namespace

int verify_signed_item(const ASN1_ITEM* it, const X509_ALGOR* algorithm,
                       const ASN1_BIT_STRING* signature, const void* value, EVP_PKEY* pkey) {
  if (pkey == nullptr || it == nullptr || algorithm == nullptr || signature == nullptr ||
      value == nullptr) {
    Raise(ERR_R_PASSED_NULL_PARAMETER);
    return -1;
  }
  // Bits left unused in the last byte: not the DER of a signature, even where
  // those bits are 0 and the bytes would verify. The library's own check
  // refuses it at this point too.
  if (signature->type == V_ASN1_BIT_STRING && (signature->flags & 0x07) != 0) {
    Raise(ASN1_R_INVALID_BIT_STRING_BITS_LEFT);
    return -1;
  }
  tovel::UniquePtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  if (!ctx) {
    Raise(ERR_R_MALLOC_FAILURE);
    return -1;
  }
  int digestNid = NID_undef;
  int rowKeyNid = NID_undef;
  if (!OBJ_find_sigid_algs(OBJ_obj2nid(algorithm->algorithm), &digestNid, &rowKeyNid)) {
    Raise(ASN1_R_UNKNOWN_SIGNATURE_ALGORITHM);
    return -1;
  }
  if (digestNid == NID_undef) {
    // No digest in the row (RSA-PSS, EdDSA): the key type's own item check
    // sets the verification up, and that is the library's.
    return ASN1_item_verify(it, const_cast<X509_ALGOR*>(algorithm),
                            const_cast<ASN1_BIT_STRING*>(signature), const_cast<void*>(value),
                            pkey);
  }
  const EVP_MD* md = EVP_get_digestbyname(OBJ_nid2sn(digestNid));
  if (md == nullptr) {
    Raise(ASN1_R_UNKNOWN_MESSAGE_DIGEST_ALGORITHM);
    return -1;
  }
  if (!KeyMatchesRow(pkey, rowKeyNid)) {
    Raise(ASN1_R_WRONG_PUBLIC_KEY_TYPE);
    return -1;
  }
  const EcKeyView key(pkey);
  const bool sm2Core = key.UsesSm2Core();
  if (sm2Core ? !EVP_DigestInit_ex(ctx.get(), md, nullptr)
              : !EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, pkey)) {
    Raise(ERR_R_EVP_LIB);
    return 0;
  }
  // The DER encoding of what is signed, wiped before it is freed.
  unsigned char* der = nullptr;
  const int derLen = ASN1_item_i2d(static_cast<const ASN1_VALUE*>(value), &der, it);
  tovel::OpenSslSecretPtr<unsigned char> encoding(
      der, tovel::OpenSslClearFree(derLen > 0 ? static_cast<size_t>(derLen) : 0));
  if (encoding == nullptr || derLen <= 0) {
    Raise(ERR_R_MALLOC_FAILURE);
    return -1;
  }
  if (key.kind() == EcKeyView::Kind::NoGroup) {
    Raise(ERR_R_EC_LIB);
    return 0;
  }
  // The SM2 rule: under SM3, a key on the SM2 curve signs Z || DER. Keys on
  // the test curve, and SM2 keys under other digests, sign the DER alone.
  if (key.kind() == EcKeyView::Kind::Sm2Curve && EVP_MD_get_type(md) == sm_obj_nid(SM_OBJ_SM3) &&
      !FeedDefaultZ(ctx.get(), key)) {
    return 0;
  }
  const size_t derSize = static_cast<size_t>(derLen);
  if (sm2Core ? !EVP_DigestUpdate(ctx.get(), encoding.get(), derSize)
              : !EVP_DigestVerifyUpdate(ctx.get(), encoding.get(), derSize)) {
    Raise(ERR_R_EVP_LIB);
    return 0;
  }
  encoding.reset();
  const int verified = sm2Core ? CheckSm2Digest(ctx.get(), key, signature)
                               : EVP_DigestVerifyFinal(ctx.get(), signature->data,
                                                       static_cast<size_t>(signature->length));
  if (verified <= 0) {
    Raise(ERR_R_EVP_LIB);
    return 0;
  }
  return 1;
}

int sm_x509_verify(X509* cert, EVP_PKEY* pkey) {
  if (cert == nullptr) {
    Raise(ERR_R_PASSED_NULL_PARAMETER);
    return -1;
  }
  const ASN1_BIT_STRING* signature = nullptr;
  const X509_ALGOR* algorithm = nullptr;
  X509_get0_signature(&signature, &algorithm, cert);
  if (X509_ALGOR_cmp(algorithm, X509_get0_tbs_sigalg(cert)) != 0) {
    return 0;
  }
  return VerifyEncoded<X509>(cert, i2d_X509, ASN1_ITEM_rptr(X509_CINF), algorithm, signature, pkey);
}

int sm_x509_crl_verify(X509_CRL* crl, EVP_PKEY* pkey) {
  if (crl == nullptr) {
    Raise(ERR_R_PASSED_NULL_PARAMETER);
    return -1;
  }
  const ASN1_BIT_STRING* signature = nullptr;
  const X509_ALGOR* algorithm = nullptr;
  X509_CRL_get0_signature(crl, &signature, &algorithm);
  return VerifyEncoded<X509_CRL>(crl, i2d_X509_CRL, ASN1_ITEM_rptr(X509_CRL_INFO), algorithm,
                                 signature, pkey);
}
