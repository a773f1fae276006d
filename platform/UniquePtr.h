// Owning pointers for every library type the project frees by hand.
//
//   tovel::UniquePtr<X509> cert(d2i_X509(...));
//
// UniquePtr<T> is std::unique_ptr<T> with the library's own free function for
// T. Deleter<T> is specialised once per type, here for the crypto library and
// cJSON, and beside the type's declaration for the platform's own handles
// (TOVEL_DEFINE_DELETER). A type that is freed more than one way (a structure
// of the SM extension freed through its ASN.1 item) gets its own Deleter
// specialisation where that type is declared, never a second deleter struct.
#pragma once

#include <cstddef>
#include <memory>

#include <cjson/cJSON.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/param_build.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

namespace tovel {

// The free function of T; every specialisation accepts nullptr.
template <typename T>
struct Deleter;

template <typename T>
using UniquePtr = std::unique_ptr<T, Deleter<T>>;

// A buffer the crypto library allocated (OPENSSL_malloc, i2d_*, *_to_hex...).
struct OpenSslFree {
  void operator()(void* p) const noexcept { OPENSSL_free(p); }
};
template <typename T>
using OpenSslPtr = std::unique_ptr<T, OpenSslFree>;

// A secret buffer of a known size, cleared before it is freed.
class OpenSslClearFree {
 public:
  OpenSslClearFree() = default;
  explicit OpenSslClearFree(std::size_t size) : size_(size) {}
  void operator()(void* p) const noexcept { OPENSSL_clear_free(p, size_); }

 private:
  std::size_t size_ = 0;
};
template <typename T>
using OpenSslSecretPtr = std::unique_ptr<T, OpenSslClearFree>;

}  // namespace tovel

// Declares fn as the free function of type; used at global scope.
#define TOVEL_DEFINE_DELETER(type, fn)                 \
  template <>                                          \
  struct tovel::Deleter<type> {                        \
    void operator()(type* p) const noexcept { fn(p); } \
  }

TOVEL_DEFINE_DELETER(ASN1_OBJECT, ASN1_OBJECT_free);
// One type under every name: ASN1_INTEGER, ASN1_TIME, ASN1_OCTET_STRING...
TOVEL_DEFINE_DELETER(ASN1_STRING, ASN1_STRING_free);
TOVEL_DEFINE_DELETER(ASN1_TYPE, ASN1_TYPE_free);
TOVEL_DEFINE_DELETER(BIO, BIO_free_all);
TOVEL_DEFINE_DELETER(BIGNUM, BN_clear_free);  // numbers are often secrets
TOVEL_DEFINE_DELETER(BN_CTX, BN_CTX_free);
TOVEL_DEFINE_DELETER(BN_MONT_CTX, BN_MONT_CTX_free);
TOVEL_DEFINE_DELETER(ECDSA_SIG, ECDSA_SIG_free);
TOVEL_DEFINE_DELETER(EC_GROUP, EC_GROUP_free);
TOVEL_DEFINE_DELETER(EC_POINT, EC_POINT_clear_free);
TOVEL_DEFINE_DELETER(EVP_CIPHER, EVP_CIPHER_free);
TOVEL_DEFINE_DELETER(EVP_CIPHER_CTX, EVP_CIPHER_CTX_free);
TOVEL_DEFINE_DELETER(EVP_KDF, EVP_KDF_free);
TOVEL_DEFINE_DELETER(EVP_KDF_CTX, EVP_KDF_CTX_free);
TOVEL_DEFINE_DELETER(EVP_MD, EVP_MD_free);
TOVEL_DEFINE_DELETER(EVP_MD_CTX, EVP_MD_CTX_free);
TOVEL_DEFINE_DELETER(EVP_PKEY, EVP_PKEY_free);
TOVEL_DEFINE_DELETER(EVP_PKEY_CTX, EVP_PKEY_CTX_free);
TOVEL_DEFINE_DELETER(OSSL_LIB_CTX, OSSL_LIB_CTX_free);
TOVEL_DEFINE_DELETER(OSSL_PARAM, OSSL_PARAM_free);
TOVEL_DEFINE_DELETER(OSSL_PARAM_BLD, OSSL_PARAM_BLD_free);
TOVEL_DEFINE_DELETER(PKCS7, PKCS7_free);
TOVEL_DEFINE_DELETER(PKCS7_SIGNER_INFO, PKCS7_SIGNER_INFO_free);
TOVEL_DEFINE_DELETER(X509, X509_free);
TOVEL_DEFINE_DELETER(X509_ALGOR, X509_ALGOR_free);
TOVEL_DEFINE_DELETER(X509_CINF, X509_CINF_free);
TOVEL_DEFINE_DELETER(X509_CRL, X509_CRL_free);
TOVEL_DEFINE_DELETER(X509_EXTENSION, X509_EXTENSION_free);
TOVEL_DEFINE_DELETER(X509_REVOKED, X509_REVOKED_free);
TOVEL_DEFINE_DELETER(X509_STORE, X509_STORE_free);
TOVEL_DEFINE_DELETER(X509_STORE_CTX, X509_STORE_CTX_free);
TOVEL_DEFINE_DELETER(cJSON, cJSON_Delete);

// EC_KEY is deprecated in 3.0 but still what the SM2 key records hold.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
TOVEL_DEFINE_DELETER(EC_KEY, EC_KEY_free);
#pragma GCC diagnostic pop
