#include "tests/prov/ProvTestSupport.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <random>

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/provider.h>
#include <sys/wait.h>

#include "smext/smext.h"

namespace provtest {

namespace {

std::array<std::atomic<int>, SMEXT_OP_COUNT> g_counts;

void CountOp(smext_provider_op op) {
  if (op >= 0 && op < SMEXT_OP_COUNT) {
    ++g_counts[op];
  }
}

}  // namespace

OpCounter::OpCounter() {
  for (auto& c : g_counts) c = 0;
  smext_provider_set_observer(CountOp);
}

OpCounter::~OpCounter() { smext_provider_set_observer(nullptr); }

int OpCounter::operator[](smext_provider_op op) const { return g_counts[op]; }

int OpCounter::Total() const {
  int total = 0;
  for (const auto& c : g_counts) total += c;
  return total;
}

Pkey NewStockSm2Key() {
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", kStock));
  EVP_PKEY* key = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 || EVP_PKEY_generate(ctx.get(), &key) <= 0) {
    ADD_FAILURE() << "stock SM2 key generation failed";
  }
  return Pkey(key);
}

Pkey KeyFromData(const char* propq, const char* curve, const Bytes& pub, const Bytes& priv) {
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  BIGNUM* d =
      priv.empty() ? nullptr : BN_bin2bn(priv.data(), static_cast<int>(priv.size()), nullptr);
  OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, curve, 0);
  OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, pub.data(), pub.size());
  if (d != nullptr) OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PRIV_KEY, d);
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", propq));
  EVP_PKEY* key = nullptr;
  if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
      EVP_PKEY_fromdata(ctx.get(), &key, d != nullptr ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY,
                        params) <= 0) {
    key = nullptr;
  }
  OSSL_PARAM_free(params);
  BN_free(d);
  OSSL_PARAM_BLD_free(bld);
  return Pkey(key);
}

Pkey KeyFromNumbers(const char* curve, const Bytes& pub, const Bytes& priv) {
  Pkey key = KeyFromData("provider=smext", curve, pub, priv);
  if (!key) {
    ADD_FAILURE() << "key from numbers failed on " << curve;
  }
  return key;
}

PkeyCtx CtxFor(EVP_PKEY* key, const char* propq) {
  return PkeyCtx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, propq));
}

Bytes Sign(EVP_PKEY* key, const Bytes& digest, const char* propq) {
  PkeyCtx ctx = CtxFor(key, propq);
  size_t len = 0;
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
      EVP_PKEY_sign(ctx.get(), nullptr, &len, digest.data(), digest.size()) != 1)
    return {};
  Bytes sig(len);
  if (EVP_PKEY_sign(ctx.get(), sig.data(), &len, digest.data(), digest.size()) != 1) return {};
  sig.resize(len);
  return sig;
}

int Verify(EVP_PKEY* key, const Bytes& sig, const Bytes& digest, const char* propq) {
  PkeyCtx ctx = CtxFor(key, propq);
  if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1) return -100;
  return EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), digest.data(), digest.size());
}

Bytes DigestSign(EVP_PKEY* key, const Bytes& data, const char* propq, const std::string* id,
                 const char* mdname) {
  MdCtx md(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;
  if (!md || EVP_DigestSignInit_ex(md.get(), &pctx, mdname, nullptr, propq, key, nullptr) != 1)
    return {};
  if (id != nullptr && EVP_PKEY_CTX_set1_id(pctx, id->data(), id->size()) != 1) return {};
  size_t len = 0;
  if (EVP_DigestSign(md.get(), nullptr, &len, data.data(), data.size()) != 1) return {};
  Bytes sig(len);
  if (EVP_DigestSign(md.get(), sig.data(), &len, data.data(), data.size()) != 1) return {};
  sig.resize(len);
  return sig;
}

int DigestVerify(EVP_PKEY* key, const Bytes& sig, const Bytes& data, const char* propq,
                 const std::string* id, const char* mdname) {
  MdCtx md(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;
  if (!md || EVP_DigestVerifyInit_ex(md.get(), &pctx, mdname, nullptr, propq, key, nullptr) != 1)
    return -100;
  if (id != nullptr && EVP_PKEY_CTX_set1_id(pctx, id->data(), id->size()) != 1) return -101;
  return EVP_DigestVerify(md.get(), sig.data(), sig.size(), data.data(), data.size());
}

Bytes Der(X509* cert) { return Encoded(i2d_X509, cert); }

Cert FromDer(const Bytes& der) { return Decoded(d2i_X509, der); }

Bytes Der(X509_CRL* crl) { return Encoded(i2d_X509_CRL, crl); }

Crl CrlFromDer(const Bytes& der) { return Decoded(d2i_X509_CRL, der); }

Crl NewCrl(X509* issuer) {
  Crl crl(X509_CRL_new());
  X509_CRL_set_version(crl.get(), 1);
  X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer));
  ASN1_TIME* now = X509_gmtime_adj(nullptr, 0);
  X509_CRL_set1_lastUpdate(crl.get(), now);
  ASN1_TIME_free(now);
  return crl;
}

Bytes Tbs(X509* cert) { return Encoded(i2d_re_X509_tbs, cert); }

Bytes SignatureOf(X509* cert) {
  const ASN1_BIT_STRING* sig = nullptr;
  X509_get0_signature(&sig, nullptr, cert);
  return Bytes(sig->data, sig->data + sig->length);
}

Bytes SignatureOf(X509_CRL* crl) {
  const ASN1_BIT_STRING* sig = nullptr;
  X509_CRL_get0_signature(crl, &sig, nullptr);
  return Bytes(sig->data, sig->data + sig->length);
}

void SetSignatureBits(const ASN1_BIT_STRING* bits, const Bytes& sig) {
  auto* mutableBits = const_cast<ASN1_BIT_STRING*>(bits);
  ASN1_BIT_STRING_set(mutableBits, const_cast<unsigned char*>(sig.data()),
                      static_cast<int>(sig.size()));
  // Without this flag the encoder drops trailing zero bytes as unused bits.
  mutableBits->flags &= ~0x07L;
  mutableBits->flags |= ASN1_STRING_FLAG_BITS_LEFT;
}

Cert WithSignature(X509* cert, const Bytes& sig) {
  Cert copy(X509_dup(cert));
  const ASN1_BIT_STRING* current = nullptr;
  X509_get0_signature(&current, nullptr, copy.get());
  SetSignatureBits(current, sig);
  return FromDer(Der(copy.get()));
}

std::pair<int, int> VerifyChain(X509* leaf, X509* ca) {
  tovel::UniquePtr<X509_STORE> store(X509_STORE_new());
  tovel::UniquePtr<X509_STORE_CTX> ctx(X509_STORE_CTX_new());
  X509_STORE_add_cert(store.get(), ca);
  X509_STORE_CTX_init(ctx.get(), store.get(), leaf, nullptr);
  const int ret = X509_verify_cert(ctx.get());
  const int err = X509_STORE_CTX_get_error(ctx.get());
  ERR_clear_error();
  return {ret, err};
}

bool HadError(int lib, int reason, const std::string& text) {
  bool found = false;
  for (const auto& e : DrainErrors()) {
    found = found || (e.lib == lib && e.reason == reason && e.data.find(text) != std::string::npos);
  }
  return found;
}

std::string ProviderOf(const EVP_MD* md) {
  const OSSL_PROVIDER* prov = md != nullptr ? EVP_MD_get0_provider(md) : nullptr;
  return prov != nullptr ? OSSL_PROVIDER_get0_name(prov) : "";
}

std::string ProviderOf(const EVP_CIPHER* cipher) {
  const OSSL_PROVIDER* prov = cipher != nullptr ? EVP_CIPHER_get0_provider(cipher) : nullptr;
  return prov != nullptr ? OSSL_PROVIDER_get0_name(prov) : "";
}

int Run(const std::string& command) {
  const int status = std::system(command.c_str());
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TempDir::TempDir() {
  std::random_device rd;
  path_ = std::filesystem::temp_directory_path() /
          ("tovel-prov-" + std::to_string(rd()) + std::to_string(rd()));
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

Cert ReadCert(const std::string& file) {
  BIO* bio = BIO_new_file(file.c_str(), "r");
  X509* cert = bio != nullptr ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(bio);
  return Cert(cert);
}

Crl ReadCrl(const std::string& file) {
  BIO* bio = BIO_new_file(file.c_str(), "r");
  X509_CRL* crl = bio != nullptr ? PEM_read_bio_X509_CRL(bio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(bio);
  return Crl(crl);
}

Pkey ReadPrivateKey(const std::string& file) {
  BIO* bio = BIO_new_file(file.c_str(), "r");
  EVP_PKEY* key =
      bio != nullptr ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(bio);
  return Pkey(key);
}

}  // namespace provtest
