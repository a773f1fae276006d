// Test PKI on the crypto library's API.
#include "tests/cert/TestPki.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <stdexcept>

namespace testpki {
namespace {

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test PKI: ") + what);
}

// The signing context for the chosen signature; SM2 signs over the default
// identity "1234567812345678". The key context set on an SM2 digest context
// stays the caller's, so it is kept here and freed after the digest context.
struct Signer {
  tovel::UniquePtr<EVP_PKEY_CTX> pctx;
  tovel::UniquePtr<EVP_MD_CTX> md;
};

Signer SigningContext(EVP_PKEY* key, Signature signature) {
  Signer signer;
  signer.md.reset(EVP_MD_CTX_new());
  Check(signer.md != nullptr, "EVP_MD_CTX_new");
  if (signature == Signature::Sm2WithSm3) {
    signer.pctx.reset(EVP_PKEY_CTX_new(key, nullptr));
    Check(signer.pctx != nullptr, "EVP_PKEY_CTX_new");
    static const char kId[] = "1234567812345678";
    Check(EVP_PKEY_CTX_set1_id(signer.pctx.get(), kId, sizeof kId - 1) > 0, "set SM2 identity");
    EVP_MD_CTX_set_pkey_ctx(signer.md.get(), signer.pctx.get());
    Check(EVP_DigestSignInit(signer.md.get(), nullptr, EVP_sm3(), nullptr, key) == 1,
          "SM2 sign init");
  } else {
    Check(EVP_DigestSignInit(signer.md.get(), nullptr, EVP_sha256(), nullptr, key) == 1,
          "sign init");
  }
  return signer;
}

void AddExtension(X509* cert, X509V3_CTX* ctx, int nid, const std::string& value) {
  const tovel::UniquePtr<X509_EXTENSION> ext(X509V3_EXT_conf_nid(nullptr, ctx, nid, value.c_str()));
  Check(ext != nullptr, "X509V3_EXT_conf_nid");
  Check(X509_add_ext(cert, ext.get(), -1) == 1, "X509_add_ext");
}

void AddRawExtension(X509* cert, int nid, bool critical, const std::vector<unsigned char>& der) {
  const tovel::UniquePtr<ASN1_OCTET_STRING> value(ASN1_OCTET_STRING_new());
  Check(value != nullptr &&
            ASN1_OCTET_STRING_set(value.get(), der.data(), static_cast<int>(der.size())) == 1,
        "octet string");
  const tovel::UniquePtr<X509_EXTENSION> ext(
      X509_EXTENSION_create_by_NID(nullptr, nid, critical ? 1 : 0, value.get()));
  Check(ext != nullptr, "X509_EXTENSION_create_by_NID");
  Check(X509_add_ext(cert, ext.get(), -1) == 1, "X509_add_ext");
}

// Writes oid as the signature algorithm of a signed certificate, in the signed
// part and outside it. Setting the version again marks the signed part as
// changed, so that it is encoded anew.
void Relabel(X509* cert, const std::string& oid) {
  const X509_ALGOR* outer = nullptr;
  X509_get0_signature(nullptr, &outer, cert);
  for (const X509_ALGOR* alg : {X509_get0_tbs_sigalg(cert), outer}) {
    tovel::UniquePtr<ASN1_OBJECT> obj(OBJ_txt2obj(oid.c_str(), 1));
    Check(obj != nullptr, "OBJ_txt2obj");
    Check(X509_ALGOR_set0(const_cast<X509_ALGOR*>(alg), obj.get(), V_ASN1_NULL, nullptr) == 1,
          "X509_ALGOR_set0");
    obj.release();  // the algorithm holds it now
  }
  Check(X509_set_version(cert, 2) == 1, "version");
}

// The text a PEM writer leaves in a memory BIO.
template <typename T>
std::string PemOf(const T* object, int (*write)(BIO*, const T*), const char* what) {
  const tovel::UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
  Check(bio && write(bio.get(), object) == 1, what);
  BUF_MEM* mem = nullptr;
  BIO_get_mem_ptr(bio.get(), &mem);
  return std::string(mem->data, mem->length);
}

}  // namespace

Key MakeKey(KeyType type) {
  EVP_PKEY* key = nullptr;
  switch (type) {
    case KeyType::Rsa2048:
      key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048));
      break;
    case KeyType::Rsa1024:
      key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(1024));
      break;
    case KeyType::EcP256: key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"); break;
    case KeyType::Sm2: key = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"); break;
  }
  Check(key != nullptr, "key generation");
  return Key(key);
}

Cert Issue(const CertSpec& spec, EVP_PKEY* subjectKey, const X509* issuer, EVP_PKEY* issuerKey) {
  Cert cert(X509_new());
  Check(cert != nullptr, "X509_new");
  X509* x = cert.get();
  Check(X509_set_version(x, 2) == 1, "version");
  Check(ASN1_INTEGER_set_uint64(X509_get_serialNumber(x), spec.serial) == 1, "serial");
  Check(ASN1_TIME_adj(X509_getm_notBefore(x), static_cast<time_t>(spec.notBefore), 0, 0) != nullptr,
        "notBefore");
  Check(ASN1_TIME_adj(X509_getm_notAfter(x), static_cast<time_t>(spec.notAfter), 0, 0) != nullptr,
        "notAfter");
  X509_NAME* name = X509_get_subject_name(x);
  for (const auto& [field, value] : spec.subject) {
    // Typed entries skip the library's length table, so an empty name is possible.
    const int type = field == "C" ? V_ASN1_PRINTABLESTRING : V_ASN1_UTF8STRING;
    Check(X509_NAME_add_entry_by_txt(name, field.c_str(), type,
                                     reinterpret_cast<const unsigned char*>(value.data()),
                                     static_cast<int>(value.size()), -1, 0) == 1,
          "subject entry");
  }
  Check(X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer) : name) == 1, "issuer");
  Check(X509_set_pubkey(x, subjectKey) == 1, "public key");

  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer ? const_cast<X509*>(issuer) : x, x, nullptr, nullptr, 0);
  if (spec.ca) {
    std::string bc = "critical,CA:TRUE";
    if (spec.pathLength >= 0) bc += ",pathlen:" + std::to_string(spec.pathLength);
    AddExtension(x, &ctx, NID_basic_constraints, bc);
  }
  if (!spec.rawKeyUsage.empty())
    AddRawExtension(x, NID_key_usage, true, spec.rawKeyUsage);
  else if (!spec.keyUsage.empty())
    AddExtension(x, &ctx, NID_key_usage, "critical," + spec.keyUsage);
  if (!spec.dnsNames.empty()) {
    std::string san;
    for (const auto& dns : spec.dnsNames) san += (san.empty() ? "DNS:" : ",DNS:") + dns;
    AddExtension(x, &ctx, NID_subject_alt_name, san);
  }
  AddExtension(x, &ctx, NID_subject_key_identifier, "hash");
  if (issuer) AddExtension(x, &ctx, NID_authority_key_identifier, "keyid");

  Signer signer = SigningContext(issuerKey, spec.signature);
  Check(X509_sign_ctx(x, signer.md.get()) > 0, "X509_sign_ctx");
  if (!spec.signatureOid.empty()) Relabel(x, spec.signatureOid);
  return cert;
}

Crl MakeCrl(const X509* issuer, EVP_PKEY* issuerKey, const std::vector<std::uint64_t>& serials) {
  Crl crl(X509_CRL_new());
  Check(crl != nullptr, "X509_CRL_new");
  X509_CRL* c = crl.get();
  Check(X509_CRL_set_version(c, 1) == 1, "CRL version");
  Check(X509_CRL_set_issuer_name(c, X509_get_subject_name(issuer)) == 1, "CRL issuer");
  const tovel::UniquePtr<ASN1_TIME> now(ASN1_TIME_adj(nullptr, static_cast<time_t>(Now()), 0, 0));
  const tovel::UniquePtr<ASN1_TIME> next(ASN1_TIME_adj(nullptr, static_cast<time_t>(Now()), 30, 0));
  Check(now && next && X509_CRL_set1_lastUpdate(c, now.get()) == 1 &&
            X509_CRL_set1_nextUpdate(c, next.get()) == 1,
        "CRL times");
  for (std::uint64_t serial : serials) {
    tovel::UniquePtr<X509_REVOKED> revoked(X509_REVOKED_new());
    const tovel::UniquePtr<ASN1_INTEGER> number(ASN1_INTEGER_new());
    Check(revoked && number && ASN1_INTEGER_set_uint64(number.get(), serial) == 1 &&
              X509_REVOKED_set_serialNumber(revoked.get(), number.get()) == 1 &&
              X509_REVOKED_set_revocationDate(revoked.get(), now.get()) == 1 &&
              X509_CRL_add0_revoked(c, revoked.get()) == 1,
          "revoked entry");
    revoked.release();  // the CRL holds it now
  }
  Check(X509_CRL_sort(c) == 1, "X509_CRL_sort");
  Check(X509_CRL_sign(c, issuerKey, EVP_sha256()) > 0, "X509_CRL_sign");
  return crl;
}

template <typename T>
std::vector<unsigned char> DerOf(const T* object, int (*encode)(const T*, unsigned char**)) {
  unsigned char* der = nullptr;
  const int n = encode(object, &der);
  const tovel::OpenSslPtr<unsigned char> owner(der);
  Check(n > 0, "DER encoding");
  return std::vector<unsigned char>(der, der + n);
}

std::vector<unsigned char> ToDer(const X509* cert) { return DerOf(cert, &i2d_X509); }
std::vector<unsigned char> ToDer(const X509_CRL* crl) { return DerOf(crl, &i2d_X509_CRL); }

std::string ToPem(const X509* cert) {
  return PemOf(cert, &PEM_write_bio_X509, "PEM_write_bio_X509");
}

std::string ToPem(const X509_CRL* crl) {
  return PemOf(crl, &PEM_write_bio_X509_CRL, "PEM_write_bio_X509_CRL");
}

std::string Base64(const std::vector<unsigned char>& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                          static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace testpki
