// A throw-away PKI for certificate tests, made at run time with the crypto
// library: keys, certificates with chosen fields and extensions, and CRLs.
// Nothing here is kept on disk.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/UniquePtr.h"

namespace testpki {

using Key = tovel::UniquePtr<EVP_PKEY>;
using Cert = tovel::UniquePtr<X509>;
using Crl = tovel::UniquePtr<X509_CRL>;

enum class KeyType { Rsa2048, Rsa1024, EcP256, Sm2 };
Key MakeKey(KeyType type);

// How the issuer signs.
enum class Signature { Sha256WithRsa, EcdsaWithSha256, Sm2WithSm3 };

struct CertSpec {
  // Subject entries in order, e.g. {"O", "Test"}, {"CN", "a.example"}; the
  // value is taken as raw bytes (a zero byte is kept).
  std::vector<std::pair<std::string, std::string>> subject;
  std::vector<std::string> dnsNames;  // subject alternative names
  // Key usage as the configuration text ("keyEncipherment,digitalSignature");
  // empty for no extension.
  std::string keyUsage;
  // Raw DER of the key-usage value, used in place of keyUsage when not empty.
  std::vector<unsigned char> rawKeyUsage;
  bool ca = false;
  int pathLength = -1;         // with ca: -1 for no limit
  std::int64_t notBefore = 0;  // seconds since 1970
  std::int64_t notAfter = 0;
  std::uint64_t serial = 1;
  Signature signature = Signature::Sha256WithRsa;
  // When set, this dotted identifier is written in place of the signing
  // algorithm's, inside and outside the signed part; the signature then no
  // longer verifies, which suits tests that only classify the algorithm.
  std::string signatureOid;
};

// Issues a certificate for subjectKey, signed by issuerKey under issuer's
// subject; a null issuer makes it self-signed (issuerKey then signs it).
// Throws std::runtime_error on any library failure.
Cert Issue(const CertSpec& spec, EVP_PKEY* subjectKey, const X509* issuer, EVP_PKEY* issuerKey);

// A CRL of the issuer listing the given serial numbers (none: no revoked list).
Crl MakeCrl(const X509* issuer, EVP_PKEY* issuerKey, const std::vector<std::uint64_t>& serials);

std::vector<unsigned char> ToDer(const X509* cert);
std::string ToPem(const X509* cert);
std::vector<unsigned char> ToDer(const X509_CRL* crl);
std::string ToPem(const X509_CRL* crl);
std::string Base64(const std::vector<unsigned char>& bytes);

// The seconds now, from the system clock.
std::int64_t Now();

}  // namespace testpki
