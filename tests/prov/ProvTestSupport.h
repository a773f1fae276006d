// Shared helpers of the provider tests: registration before every test, a
// count of the provider's operations, keys of the library's own SM2 and the
// error queue.
#pragma once

#include <array>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "platform/UniquePtr.h"
#include "smext/prov/smext_provider.h"
#include "tests/support/ErrorQueue.h"
#include "tests/support/TestHex.h"

namespace provtest {

using testsupport::Bytes;
using testsupport::FromHex;
using testsupport::ToHex;

using Pkey = tovel::UniquePtr<EVP_PKEY>;
using PkeyCtx = tovel::UniquePtr<EVP_PKEY_CTX>;
using MdCtx = tovel::UniquePtr<EVP_MD_CTX>;
using Cert = tovel::UniquePtr<X509>;
using Crl = tovel::UniquePtr<X509_CRL>;

// The default SM2 identity, and the bytes of a text.
inline const std::string kDefaultId = "1234567812345678";
inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Counts the provider's operations while it lives (one at a time).
class OpCounter {
 public:
  OpCounter();
  ~OpCounter();
  OpCounter(const OpCounter&) = delete;
  OpCounter& operator=(const OpCounter&) = delete;
  int operator[](smext_provider_op op) const;
  int Total() const;
};

// The library's own SM2: a key pair made by the default provider.
Pkey NewStockSm2Key();
// An SM2 key from its numbers (curve by name, e.g. "SM2"; a public key alone
// when priv is empty) by the implementation that propq picks; null when it
// is refused.
Pkey KeyFromData(const char* propq, const char* curve, const Bytes& pub, const Bytes& priv);
// An SM2 key of the provider, from its numbers; a test failure when refused.
Pkey KeyFromNumbers(const char* curve, const Bytes& pub, const Bytes& priv);

// Contexts on the stock library's implementation ("provider=default") or on
// whatever the preference picks (the extension).
constexpr const char* kStock = "provider=default";
PkeyCtx CtxFor(EVP_PKEY* key, const char* propq = nullptr);

// EVP_PKEY_sign of a digest (empty on failure) and EVP_PKEY_verify's result
// (-100 when the context cannot be set up).
Bytes Sign(EVP_PKEY* key, const Bytes& digest, const char* propq);
int Verify(EVP_PKEY* key, const Bytes& sig, const Bytes& digest, const char* propq);

// Digest-sign or digest-verify of data with the digest mdname; id is set on
// the context when given. DigestSign is empty on failure; DigestVerify gives
// -100 (-101) when the context (the identity) cannot be set up.
Bytes DigestSign(EVP_PKEY* key, const Bytes& data, const char* propq, const std::string* id,
                 const char* mdname = "SM3");
int DigestVerify(EVP_PKEY* key, const Bytes& sig, const Bytes& data, const char* propq,
                 const std::string* id, const char* mdname = "SM3");

// The bytes an i2d-style encoder writes for object (empty on failure), and
// the object a d2i-style decoder reads from all of der (null on failure).
template <typename T, typename Encoder>
Bytes Encoded(Encoder encode, T* object) {
  unsigned char* der = nullptr;
  const int len = encode(object, &der);
  Bytes out(der, der + (len > 0 ? len : 0));
  OPENSSL_free(der);
  return out;
}
template <typename T>
tovel::UniquePtr<T> Decoded(T* (*decode)(T**, const unsigned char**, long), const Bytes& der) {
  const unsigned char* p = der.data();
  return tovel::UniquePtr<T>(decode(nullptr, &p, static_cast<long>(der.size())));
}

// A certificate's and a CRL's DER and back; a certificate's to-be-signed part
// (re-encoded); the signature bits.
Bytes Der(X509* cert);
Cert FromDer(const Bytes& der);
Bytes Der(X509_CRL* crl);
Crl CrlFromDer(const Bytes& der);
// An unsigned CRL of the issuer certificate's subject, last updated now.
Crl NewCrl(X509* issuer);
Bytes Tbs(X509* cert);
Bytes SignatureOf(X509* cert);
Bytes SignatureOf(X509_CRL* crl);
// Sets the bytes of a signature BIT STRING exactly (no unused bits; trailing
// zero bytes are kept).
void SetSignatureBits(const ASN1_BIT_STRING* bits, const Bytes& sig);
// The certificate with its signature replaced by sig.
Cert WithSignature(X509* cert, const Bytes& sig);
// X509_verify_cert of leaf against the trust anchor ca: result and error.
std::pair<int, int> VerifyChain(X509* leaf, X509* ca);

using testsupport::DrainErrors;
using testsupport::ErrorEntry;
// True when some queued entry (all are taken off the queue) is (lib, reason)
// and its text holds text.
bool HadError(int lib, int reason, const std::string& text = "");

// The name of the provider that implements the fetched algorithm.
std::string ProviderOf(const EVP_MD* md);
std::string ProviderOf(const EVP_CIPHER* cipher);

// Runs a shell command; its exit status (-1 when it could not run).
int Run(const std::string& command);
// A fresh folder under the temporary folder, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

Cert ReadCert(const std::string& file);
Crl ReadCrl(const std::string& file);
Pkey ReadPrivateKey(const std::string& file);

}  // namespace provtest
