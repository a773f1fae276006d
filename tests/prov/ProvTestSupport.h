// Shared helpers of the provider tests: registration before every test, a
// count of the provider's operations, keys of the library's own SM2 and the
// error queue.
#pragma once

#include <array>
#include <filesystem>
#include <string>
#include <vector>

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

// Digest-sign or digest-verify of data with SM3; id is set on the context
// when given.
Bytes DigestSign(EVP_PKEY* key, const Bytes& data, const char* propq, const std::string* id);
int DigestVerify(EVP_PKEY* key, const Bytes& sig, const Bytes& data, const char* propq,
                 const std::string* id);

using testsupport::DrainErrors;
using testsupport::ErrorEntry;
// True when some queued entry (all are taken off the queue) is (lib, reason).
bool HadError(int lib, int reason);

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
