// Shared helpers of the provider tests: registration before every test, a
// count of the provider's operations, keys of the library's own SM2 and the
// error queue.
#pragma once

#include <array>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "smext/prov/smext_provider.h"
#include "tests/support/TestHex.h"

namespace provtest {

using testsupport::Bytes;
using testsupport::FromHex;
using testsupport::ToHex;

struct PkeyFree {
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX *p) const { EVP_PKEY_CTX_free(p); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX *p) const { EVP_MD_CTX_free(p); }
};
struct X509Free {
    void operator()(X509 *p) const { X509_free(p); }
};
struct CrlFree {
    void operator()(X509_CRL *p) const { X509_CRL_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using Cert = std::unique_ptr<X509, X509Free>;
using Crl = std::unique_ptr<X509_CRL, CrlFree>;

// Counts the provider's operations while it lives (one at a time).
class OpCounter {
public:
    OpCounter();
    ~OpCounter();
    OpCounter(const OpCounter &) = delete;
    OpCounter &operator=(const OpCounter &) = delete;
    int operator[](smext_provider_op op) const;
    int Total() const;
};

// The library's own SM2: a key pair made by the default provider.
Pkey NewStockSm2Key();
// An SM2 key of the provider, from its numbers (curve by name, e.g. "SM2").
Pkey KeyFromNumbers(const char *curve, const Bytes &pub, const Bytes &priv);

// Contexts on the stock library's implementation ("provider=default") or on
// whatever the preference picks (the extension).
constexpr const char *kStock = "provider=default";
PkeyCtx CtxFor(EVP_PKEY *key, const char *propq = nullptr);

// Digest-sign or digest-verify of data with SM3; id is set on the context
// when given.
Bytes DigestSign(EVP_PKEY *key, const Bytes &data, const char *propq, const std::string *id);
int DigestVerify(EVP_PKEY *key, const Bytes &sig, const Bytes &data, const char *propq, const std::string *id);

// One entry of the thread's error queue.
struct ErrorEntry {
    int lib = 0;
    int reason = 0;
    std::string data;
};
std::vector<ErrorEntry> DrainErrors();
// True when some queued entry (all are taken off the queue) is (lib, reason).
bool HadError(int lib, int reason);

// The name of the provider that implements the fetched algorithm.
std::string ProviderOf(const EVP_MD *md);
std::string ProviderOf(const EVP_CIPHER *cipher);

// Runs a shell command; its exit status (-1 when it could not run).
int Run(const std::string &command);
// A fresh folder under the temporary folder, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path &path() const { return path_; }
    std::string operator/(const std::string &name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

Cert ReadCert(const std::string &file);
Crl ReadCrl(const std::string &file);
Pkey ReadPrivateKey(const std::string &file);

}  // namespace provtest
