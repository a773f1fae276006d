// The PKCS#7 data path with the SM content types.
#include "smext/sm_pkcs7.h"

#include <climits>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "platform/UniquePtr.h"
#include "smext/sm_objects.h"

namespace {

// Content types as the data path tells them apart.
enum class Kind { Data, Signed, Enveloped, SignedAndEnveloped, Digest, Encrypted, Other };

Kind KindOf(const PKCS7* p7) {
  const int nid = p7 != nullptr ? OBJ_obj2nid(p7->type) : NID_undef;
  switch (nid) {
    case NID_pkcs7_data: return Kind::Data;
    case NID_pkcs7_signed: return Kind::Signed;
    case NID_pkcs7_enveloped: return Kind::Enveloped;
    case NID_pkcs7_signedAndEnveloped: return Kind::SignedAndEnveloped;
    case NID_pkcs7_digest: return Kind::Digest;
    case NID_pkcs7_encrypted: return Kind::Encrypted;
    case NID_undef: return Kind::Other;
    default:
      if (nid == sm_obj_nid(SM_OBJ_SM_PKCS7_DATA)) {
        return Kind::Data;
      }
      if (nid == sm_obj_nid(SM_OBJ_SM_PKCS7_SIGNED)) {
        return Kind::Signed;
      }
      return Kind::Other;
  }
}

// The library's own types that the library's code handles as before.
bool IsLibraryKind(Kind kind) {
  return kind == Kind::Enveloped || kind == Kind::SignedAndEnveloped || kind == Kind::Digest;
}

bool IsDetached(PKCS7* p7) {
  return pkcs7_control(p7, PKCS7_OP_GET_DETACHED_SIGNATURE, 0, nullptr) != 0;
}

// Appends a digest BIO for the algorithm alg, found by its short name.
bool AddDigest(tovel::UniquePtr<BIO>& chain, const X509_ALGOR* alg) {
  const EVP_MD* md = EVP_get_digestbyname(OBJ_nid2sn(OBJ_obj2nid(alg->algorithm)));
  if (md == nullptr) {
    ERR_raise(ERR_LIB_PKCS7, PKCS7_R_UNKNOWN_DIGEST_TYPE);
    return false;
  }
  BIO* digest = BIO_new(BIO_f_md());
  if (digest == nullptr || !BIO_set_md(digest, md)) {
    BIO_free(digest);
    ERR_raise(ERR_LIB_PKCS7, ERR_R_BIO_LIB);
    return false;
  }
  if (chain == nullptr) {
    chain.reset(digest);
  } else {
    BIO_push(chain.get(), digest);
  }
  return true;
}

// The digest context of the first digest BIO in chain whose digest is nid.
EVP_MD_CTX* FindDigest(BIO* chain, int nid) {
  for (BIO* b = BIO_find_type(chain, BIO_TYPE_MD); b != nullptr;
       b = BIO_find_type(BIO_next(b), BIO_TYPE_MD)) {
    EVP_MD_CTX* ctx = nullptr;
    if (BIO_get_md_ctx(b, &ctx) > 0 && ctx != nullptr && EVP_MD_CTX_get_type(ctx) == nid) {
      return ctx;
    }
  }
  ERR_raise(ERR_LIB_PKCS7, PKCS7_R_UNABLE_TO_FIND_MESSAGE_DIGEST);
  return nullptr;
}

// Signs the digest of the signer's signed attributes with its key, as the
// digest itself is signed: the key's sign operation gets the digest value
// (for SM2 keys: no Z value is hashed in).
bool SignAttributes(PKCS7_SIGNER_INFO* si, const EVP_MD* md) {
  unsigned char* attrs = nullptr;
  const int attrsLen = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &attrs,
                                     ASN1_ITEM_rptr(PKCS7_ATTR_SIGN));
  const tovel::OpenSslPtr<unsigned char> ownedAttrs(attrs);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned digestLen = 0;
  const bool digested = attrsLen > 0 && EVP_Digest(attrs, static_cast<size_t>(attrsLen), digest,
                                                   &digestLen, md, nullptr);
  const tovel::UniquePtr<EVP_PKEY_CTX> ctx(digested ? EVP_PKEY_CTX_new(si->pkey, nullptr)
                                                    : nullptr);
  size_t sigLen = 0;
  const bool sized = ctx != nullptr && EVP_PKEY_sign_init(ctx.get()) > 0 &&
                     EVP_PKEY_CTX_set_signature_md(ctx.get(), md) > 0 &&
                     EVP_PKEY_sign(ctx.get(), nullptr, &sigLen, digest, digestLen) > 0;
  tovel::OpenSslPtr<unsigned char> sig(sized ? static_cast<unsigned char*>(OPENSSL_malloc(sigLen))
                                             : nullptr);
  if (sig == nullptr || EVP_PKEY_sign(ctx.get(), sig.get(), &sigLen, digest, digestLen) <= 0) {
    ERR_raise(ERR_LIB_PKCS7, ERR_R_EVP_LIB);
    return false;
  }
  ASN1_STRING_set0(si->enc_digest, sig.release(), static_cast<int>(sigLen));
  return true;
}

// Signs one signer over a copy of its digest context: the signed attributes
// (with the signing time and the message digest added) when it has any, else
// the digest itself.
bool SignSigner(PKCS7_SIGNER_INFO* si, BIO* chain) {
  EVP_MD_CTX* found = FindDigest(chain, OBJ_obj2nid(si->digest_alg->algorithm));
  if (found == nullptr) {
    return false;
  }
  const tovel::UniquePtr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  bool ok = ctx != nullptr && EVP_MD_CTX_copy_ex(ctx.get(), found);
  if (ok && sk_X509_ATTRIBUTE_num(si->auth_attr) > 0) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned mdLen = 0;
    if (PKCS7_get_signed_attribute(si, NID_pkcs9_signingTime) == nullptr) {
      ok = PKCS7_add0_attrib_signing_time(si, nullptr) == 1;
    }
    ok = ok && EVP_DigestFinal_ex(ctx.get(), md, &mdLen) &&
         PKCS7_add1_attrib_digest(si, md, static_cast<int>(mdLen)) &&
         SignAttributes(si, EVP_MD_CTX_get0_md(found));
  } else if (ok) {
    const int size = EVP_PKEY_get_size(si->pkey);
    tovel::OpenSslPtr<unsigned char> sig(
        size > 0 ? static_cast<unsigned char*>(OPENSSL_malloc(static_cast<size_t>(size)))
                 : nullptr);
    unsigned sigLen = static_cast<unsigned>(size);
    ok = sig != nullptr && EVP_SignFinal(ctx.get(), sig.get(), &sigLen, si->pkey);
    if (ok) {
      ASN1_STRING_set0(si->enc_digest, sig.release(), static_cast<int>(sigLen));
    } else {
      ERR_raise(ERR_LIB_PKCS7, ERR_R_EVP_LIB);
    }
  }
  return ok;
}

}  // namespace

ASN1_OCTET_STRING* pkcs7_content_octets(PKCS7* p7) {
  if (p7 == nullptr) {
    return nullptr;
  }
  switch (KindOf(p7)) {
    case Kind::Data: return p7->d.data;
    case Kind::Other:
      if (p7->d.other != nullptr && p7->d.other->type == V_ASN1_OCTET_STRING) {
        return p7->d.other->value.octet_string;
      }
      return nullptr;
    default: return nullptr;
  }
}

BIO* pkcs7_data_init(PKCS7* p7, BIO* bio) {
  if (p7 == nullptr) {
    ERR_raise(ERR_LIB_PKCS7, ERR_R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  const Kind kind = KindOf(p7);
  if (IsLibraryKind(kind)) {
    return PKCS7_dataInit(p7, bio);
  }
  if (kind != Kind::Data && kind != Kind::Signed) {
    ERR_raise(ERR_LIB_PKCS7, PKCS7_R_UNSUPPORTED_CONTENT_TYPE);
    return nullptr;
  }
  if (p7->d.ptr == nullptr) {
    ERR_raise(ERR_LIB_PKCS7, PKCS7_R_NO_CONTENT);
    return nullptr;
  }
  tovel::UniquePtr<BIO> chain;
  ASN1_OCTET_STRING* octets = nullptr;
  if (kind == Kind::Signed) {
    for (int i = 0; i < sk_X509_ALGOR_num(p7->d.sign->md_algs); ++i) {
      if (!AddDigest(chain, sk_X509_ALGOR_value(p7->d.sign->md_algs, i))) {
        return nullptr;
      }
    }
    octets = pkcs7_content_octets(p7->d.sign->contents);
  }
  if (bio == nullptr) {
    if (kind == Kind::Signed && IsDetached(p7)) {
      bio = BIO_new(BIO_s_null());
    } else if (octets != nullptr && octets->length > 0) {
      bio = BIO_new_mem_buf(octets->data, octets->length);
    } else {
      bio = BIO_new(BIO_s_mem());
      if (bio != nullptr) {
        BIO_set_mem_eof_return(bio, 0);
      }
    }
    if (bio == nullptr) {
      ERR_raise(ERR_LIB_PKCS7, ERR_R_BIO_LIB);
      return nullptr;
    }
  }
  if (chain == nullptr) {
    return bio;
  }
  BIO_push(chain.get(), bio);
  return chain.release();
}

int pkcs7_data_final(PKCS7* p7, BIO* bio) {
  if (p7 == nullptr) {
    ERR_raise(ERR_LIB_PKCS7, ERR_R_PASSED_NULL_PARAMETER);
    return 0;
  }
  const Kind kind = KindOf(p7);
  if (IsLibraryKind(kind)) {
    // An SM data type inside digested data is dropped when detached, as
    // data is; the library holds it as other content.
    if (kind == Kind::Digest && p7->detached && p7->d.digest != nullptr &&
        p7->d.digest->contents != nullptr && KindOf(p7->d.digest->contents) == Kind::Data &&
        OBJ_obj2nid(p7->d.digest->contents->type) != NID_pkcs7_data) {
      ASN1_TYPE_free(p7->d.digest->contents->d.other);
      p7->d.digest->contents->d.other = nullptr;
    }
    return PKCS7_dataFinal(p7, bio);
  }
  if (kind != Kind::Data && kind != Kind::Signed) {
    ERR_raise(ERR_LIB_PKCS7, PKCS7_R_UNSUPPORTED_CONTENT_TYPE);
    return 0;
  }
  if (p7->d.ptr == nullptr) {
    ERR_raise(ERR_LIB_PKCS7, PKCS7_R_NO_CONTENT);
    return 0;
  }
  ASN1_OCTET_STRING* octets = nullptr;
  if (kind == Kind::Data) {
    octets = p7->d.data;
  } else {
    PKCS7* inner = p7->d.sign->contents;
    octets = pkcs7_content_octets(inner);
    if (inner != nullptr && KindOf(inner) == Kind::Data && p7->detached) {
      ASN1_OCTET_STRING_free(octets);
      octets = nullptr;
      inner->d.data = nullptr;
    }
    for (int i = 0; i < sk_PKCS7_SIGNER_INFO_num(p7->d.sign->signer_info); ++i) {
      PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(p7->d.sign->signer_info, i);
      if (si->pkey != nullptr && !SignSigner(si, bio)) {
        return 0;
      }
    }
  }
  if (kind == Kind::Signed && IsDetached(p7)) {
    return 1;
  }
  // The content goes into the structure, unless it is streamed.
  if (octets == nullptr) {
    ERR_raise(ERR_LIB_PKCS7, PKCS7_R_NO_CONTENT);
    return 0;
  }
  if (octets->flags & ASN1_STRING_FLAG_NDEF) {
    return 1;
  }
  BIO* mem = BIO_find_type(bio, BIO_TYPE_MEM);
  if (mem == nullptr) {
    ERR_raise(ERR_LIB_PKCS7, PKCS7_R_UNABLE_TO_FIND_MEM_BIO);
    return 0;
  }
  char* content = nullptr;
  const long contentLen = BIO_get_mem_data(mem, &content);
  if (contentLen < 0 || contentLen > INT_MAX ||
      !ASN1_OCTET_STRING_set(octets, reinterpret_cast<unsigned char*>(content),
                             static_cast<int>(contentLen))) {
    ERR_raise(ERR_LIB_PKCS7, ERR_R_ASN1_LIB);
    return 0;
  }
  return 1;
}

long pkcs7_control(PKCS7* p7, int cmd, long larg, char* parg) {
  (void)parg;
  if (cmd != PKCS7_OP_SET_DETACHED_SIGNATURE && cmd != PKCS7_OP_GET_DETACHED_SIGNATURE) {
    ERR_raise(ERR_LIB_PKCS7, PKCS7_R_UNKNOWN_OPERATION);
    return 0;
  }
  if (p7 == nullptr || KindOf(p7) != Kind::Signed) {
    ERR_raise(ERR_LIB_PKCS7, PKCS7_R_OPERATION_NOT_SUPPORTED_ON_THIS_TYPE);
    return 0;
  }
  PKCS7* inner = p7->d.sign != nullptr ? p7->d.sign->contents : nullptr;
  if (cmd == PKCS7_OP_SET_DETACHED_SIGNATURE) {
    p7->detached = static_cast<int>(larg);
    if (p7->detached != 0 && inner != nullptr && KindOf(inner) == Kind::Data) {
      ASN1_OCTET_STRING_free(inner->d.data);
      inner->d.data = nullptr;
    }
    return p7->detached;
  }
  p7->detached = inner == nullptr || inner->d.ptr == nullptr ? 1 : 0;
  return p7->detached;
}

int pkcs7_stream_content(unsigned char*** boundary, PKCS7* p7) {
  ASN1_OCTET_STRING* octets = nullptr;
  switch (KindOf(p7)) {
    case Kind::Data: octets = p7->d.data; break;
    case Kind::Signed:
      octets = p7->d.sign != nullptr ? pkcs7_content_octets(p7->d.sign->contents) : nullptr;
      break;
    case Kind::Enveloped:
    case Kind::SignedAndEnveloped: {
      PKCS7_ENC_CONTENT* enc = nullptr;
      if (p7->d.ptr != nullptr) {
        enc = KindOf(p7) == Kind::Enveloped ? p7->d.enveloped->enc_data
                                            : p7->d.signed_and_enveloped->enc_data;
      }
      if (enc == nullptr) {
        break;
      }
      if (enc->enc_data == nullptr) {
        enc->enc_data = ASN1_OCTET_STRING_new();
      }
      octets = enc->enc_data;
      break;
    }
    default: break;
  }
  if (octets == nullptr || boundary == nullptr) {
    return 0;
  }
  octets->flags |= ASN1_STRING_FLAG_NDEF;
  *boundary = &octets->data;
  return 1;
}
