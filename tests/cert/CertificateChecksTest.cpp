// The certificate-decoder stand-in and the checks made on its contexts.
#include <gtest/gtest.h>

#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "agent/CertificateChecks.h"
#include "agent/TovelAgent.h"
#include "platform/CryptoApi.h"
#include "platform/Threads.h"
#include "tests/cert/SharedPki.h"

namespace {

using namespace testpki;
using Bytes = std::vector<BYTE>;

UniqueCertContext ContextOf(const X509* cert) {
  const Bytes der = ToDer(cert);
  return UniqueCertContext(CertCreateCertificateContext(
      X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
}

TEST(CertCreateCertificateContext, HoldsTheEncodingTheSignatureAlgorithmAndTheExtensions) {
  const SharedPki& pki = Pki();
  CertSpec spec = pki.Leaf({{"CN", kName1}});
  spec.dnsNames = {kName2};
  const struct {
    const char* oid;
    Cert cert;
  } cases[] = {
      {"1.2.840.113549.1.1.11", pki.IssueByInter(spec)},
      {"1.2.840.10045.4.3.2",
       [&] {
         CertSpec s = spec;
         s.signature = Signature::EcdsaWithSha256;
         return Issue(s, pki.leafKey.get(), nullptr, pki.ecKey.get());
       }()},
      {"1.2.156.10197.1.501",
       [&] {
         CertSpec s = spec;
         s.signature = Signature::Sm2WithSm3;
         return Issue(s, pki.sm2Key.get(), nullptr, pki.sm2Key.get());
       }()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.oid);
    const Bytes der = ToDer(c.cert.get());
    UniqueCertContext ctx = ContextOf(c.cert.get());
    ASSERT_NE(nullptr, ctx);
    EXPECT_EQ(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, ctx->dwCertEncodingType);
    EXPECT_EQ(der, Bytes(ctx->pbCertEncoded, ctx->pbCertEncoded + ctx->cbCertEncoded));
    EXPECT_STREQ(c.oid, ctx->pCertInfo->SignatureAlgorithm.pszObjId);
    ASSERT_EQ(static_cast<DWORD>(X509_get_ext_count(c.cert.get())), ctx->pCertInfo->cExtension);
    for (int i = 0; i < X509_get_ext_count(c.cert.get()); ++i) {
      X509_EXTENSION* ext = X509_get_ext(c.cert.get(), i);
      const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(ext);
      const CERT_EXTENSION& mine = ctx->pCertInfo->rgExtension[i];
      char oid[64];
      OBJ_obj2txt(oid, sizeof oid, X509_EXTENSION_get_object(ext), 1);
      EXPECT_STREQ(oid, mine.pszObjId);
      EXPECT_EQ(X509_EXTENSION_get_critical(ext) ? TRUE : FALSE, mine.fCritical);
      EXPECT_EQ(Bytes(value->data, value->data + value->length),
                Bytes(mine.Value.pbData, mine.Value.pbData + mine.Value.cbData));
    }
    const CERT_EXTENSION* ku =
        CertFindExtension(szOID_KEY_USAGE, ctx->pCertInfo->cExtension, ctx->pCertInfo->rgExtension);
    ASSERT_NE(nullptr, ku);
    EXPECT_STREQ("2.5.29.15", ku->pszObjId);
    EXPECT_EQ(TRUE, ku->fCritical);
  }
}

TEST(CertCreateCertificateContext, FailsWithANonzeroLastError) {
  Cert leaf = Pki().IssueByInter(Pki().Leaf({{"CN", kName1}}));
  const Bytes der = ToDer(leaf.get());
  const Bytes text = {'h', 'e', 'l', 'l', 'o'};
  const Bytes shortSequence = {0x30, 0x03, 0x02, 0x01, 0x05};
  Bytes withJunk = der;
  withJunk.push_back(0x00);
  Bytes twoCerts = der;
  twoCerts.insert(twoCerts.end(), der.begin(), der.end());
  // The same certificate with its outer length in a needless third byte: it
  // decodes, but is not DER.
  ASSERT_EQ(0x82, der[1]);
  Bytes longLength = {0x30, 0x83, 0x00};
  longLength.insert(longLength.end(), der.begin() + 2, der.end());
  const struct {
    const char* name;
    DWORD encoding;
    const BYTE* data;
    DWORD length;
    DWORD error;
  } cases[] = {
      {"no X.509 encoding", PKCS_7_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
       static_cast<DWORD>(E_INVALIDARG)},
      {"null bytes", X509_ASN_ENCODING, nullptr, 10, static_cast<DWORD>(E_INVALIDARG)},
      {"no bytes", X509_ASN_ENCODING, der.data(), 0, CRYPT_E_ASN1_EOD},
      {"text", X509_ASN_ENCODING, text.data(), static_cast<DWORD>(text.size()),
       CRYPT_E_ASN1_BADTAG},
      {"a sequence of something else", X509_ASN_ENCODING, shortSequence.data(),
       static_cast<DWORD>(shortSequence.size()), CRYPT_E_ASN1_CORRUPT},
      {"truncated", X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size() - 1),
       CRYPT_E_ASN1_CORRUPT},
      {"a byte after the certificate", X509_ASN_ENCODING, withJunk.data(),
       static_cast<DWORD>(withJunk.size()), CRYPT_E_ASN1_CORRUPT},
      {"two certificates", X509_ASN_ENCODING, twoCerts.data(), static_cast<DWORD>(twoCerts.size()),
       CRYPT_E_ASN1_CORRUPT},
      {"a length that is not DER", X509_ASN_ENCODING, longLength.data(),
       static_cast<DWORD>(longLength.size()), CRYPT_E_ASN1_CORRUPT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastError(0);
    EXPECT_EQ(nullptr, CertCreateCertificateContext(c.encoding, c.data, c.length));
    EXPECT_EQ(c.error, GetLastError());
    if (c.encoding == X509_ASN_ENCODING && c.data != nullptr) {
      EXPECT_FALSE(IsSingleDerCertificate(c.data, c.length));
    }
  }
  EXPECT_TRUE(IsSingleDerCertificate(der.data(), der.size()));
  // The loose form still decodes as a certificate: the refusal is for its form.
  const unsigned char* cursor = longLength.data();
  const Cert loose(d2i_X509(nullptr, &cursor, static_cast<long>(longLength.size())));
  EXPECT_NE(nullptr, loose);
}

// The sizes of the header (tag and length) and of the whole element at
// der[at].
std::size_t HeaderSize(const Bytes& der, std::size_t at) {
  const BYTE first = der.at(at + 1);
  return first < 0x80 ? 2 : 2 + (first & 0x7F);
}
std::size_t ElementSize(const Bytes& der, std::size_t at) {
  const std::size_t header = HeaderSize(der, at);
  if (header == 2) return 2 + der.at(at + 1);
  std::size_t length = 0;
  for (std::size_t i = 2; i < header; ++i) length = (length << 8) | der.at(at + i);
  return header + length;
}

// The bytes with the removed bytes at at replaced by inserted, and the length
// of every element whose content holds that place changed to match, each
// written in as many bytes as before. Only the elements that begin at or
// before that place are read, and only a constructed one is entered: the
// content of a primitive one (a key, a signature) is no element, and reading
// it as one would follow whatever its random bytes say.
Bytes Edited(const Bytes& der, std::size_t at, std::size_t removed, const Bytes& inserted) {
  Bytes out = der;
  out.erase(out.begin() + static_cast<std::ptrdiff_t>(at),
            out.begin() + static_cast<std::ptrdiff_t>(at + removed));
  out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), inserted.begin(), inserted.end());
  const std::ptrdiff_t delta =
      static_cast<std::ptrdiff_t>(inserted.size()) - static_cast<std::ptrdiff_t>(removed);
  for (std::size_t pos = 0; pos <= at;) {
    const std::size_t header = HeaderSize(der, pos);
    const std::size_t size = ElementSize(der, pos);
    if (at < pos + header || at >= pos + size) {
      pos += size;
      continue;
    }
    const auto length =
        static_cast<std::size_t>(static_cast<std::ptrdiff_t>(size - header) + delta);
    if (header == 2) {
      EXPECT_LT(length, 0x80u);
      out[pos + 1] = static_cast<BYTE>(length);
    } else {
      for (std::size_t i = 0; i + 2 < header; ++i)
        out[pos + header - 1 - i] = static_cast<BYTE>(length >> (8 * i));
    }
    if ((der[pos] & 0x20) == 0) break;  // primitive: nothing inside to change
    pos += header;                      // into the content
  }
  return out;
}

TEST(CertCreateCertificateContext, RefusesEveryFormThatIsNotDer) {
  const Bytes der = ToDer(Pki().IssueByInter(Pki().Leaf({{"CN", kName1}})).get());
  // Where the parts stand: the to-be-signed part after the certificate's
  // header, its fourth element the issuer's name (whose first value is the
  // PrintableString "XX") and its seventh the key; the signature, a BIT STRING
  // of 256 bytes, last.
  const std::size_t tbsAt = HeaderSize(der, 0);
  std::size_t elementAt = tbsAt + HeaderSize(der, tbsAt);
  std::vector<std::size_t> tbsElements;
  for (int i = 0; i < 7; ++i) {
    tbsElements.push_back(elementAt);
    elementAt += ElementSize(der, elementAt);
  }
  const std::size_t issuerAt = tbsElements[3];
  const std::size_t issuerEnd = issuerAt + ElementSize(der, issuerAt);
  ASSERT_EQ(2u, HeaderSize(der, issuerAt));
  const Bytes country = {0x13, 0x02, 'X', 'X'};
  const auto countryAt = std::search(der.begin() + static_cast<std::ptrdiff_t>(issuerAt), der.end(),
                                     country.begin(), country.end());
  ASSERT_NE(der.end(), countryAt);
  const std::size_t keyAt = tbsElements[6];
  const std::size_t keyBitsAt = keyAt + 4 + ElementSize(der, keyAt + 4);
  ASSERT_EQ((Bytes{0x03, 0x82, 0x01, 0x0F, 0x00}),
            Bytes(der.begin() + keyBitsAt, der.begin() + keyBitsAt + 5));
  ASSERT_EQ(0x01, der[keyBitsAt + ElementSize(der, keyBitsAt) - 1]);  // the exponent's last byte
  const std::size_t signatureBitsAt = der.size() - 257;
  ASSERT_EQ((Bytes{0x03, 0x82, 0x01, 0x01, 0x00}),
            Bytes(der.begin() + signatureBitsAt - 4, der.begin() + signatureBitsAt + 1));
  const Bytes criticalKeyUsage = {0x06, 0x03, 0x55, 0x1D, 0x0F, 0x01, 0x01, 0xFF};
  const auto flagAt =
      std::search(der.begin(), der.end(), criticalKeyUsage.begin(), criticalKeyUsage.end());
  ASSERT_NE(der.end(), flagAt);
  const std::size_t criticalAt =
      static_cast<std::size_t>(flagAt - der.begin()) + criticalKeyUsage.size() - 1;

  const struct {
    const char* name;
    Bytes bytes;
  } cases[] = {
      // Of the same length: forms that the encoder writes otherwise.
      {"the signature's last bit unused, and set",
       [&] {
         Bytes bytes = der;
         bytes[signatureBitsAt] = 0x01;
         bytes.back() |= 0x01;
         return bytes;
       }()},
      {"the key's last bit unused, and set", Edited(der, keyBitsAt + 4, 1, {0x01})},
      {"a critical flag written 01 for true", Edited(der, criticalAt, 1, {0x01})},
      // Longer: forms that the decoder keeps as they came.
      {"a name's length in a needless second byte",
       Edited(der, issuerAt + 1, 1, {0x81, der[issuerAt + 1]})},
      {"a name's length open-ended",
       Edited(Edited(der, issuerEnd, 0, {0x00, 0x00}), issuerAt + 1, 1, {0x80})},
      {"a name's text in pieces",
       Edited(der, static_cast<std::size_t>(countryAt - der.begin()), country.size(),
              {0x33, 0x06, 0x13, 0x01, 'X', 0x13, 0x01, 'X'})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // It decodes as a certificate, whole: the refusal is for its form.
    const unsigned char* cursor = c.bytes.data();
    const Cert decoded(d2i_X509(nullptr, &cursor, static_cast<long>(c.bytes.size())));
    EXPECT_NE(nullptr, decoded);
    EXPECT_EQ(c.bytes.data() + c.bytes.size(), cursor);

    SetLastError(0);
    const UniqueCertContext ctx(
        CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, c.bytes.data(),
                                     static_cast<DWORD>(c.bytes.size())));
    EXPECT_EQ(nullptr, ctx);
    EXPECT_EQ(CRYPT_E_ASN1_CORRUPT, GetLastError());
    EXPECT_FALSE(IsSingleDerCertificate(c.bytes.data(), c.bytes.size()));
  }
  EXPECT_TRUE(IsSingleDerCertificate(der.data(), der.size()));
}

TEST(CertFindExtension, MissingExtensionSetsNotFound) {
  CertSpec spec = Pki().Leaf({{"CN", kName1}});
  spec.keyUsage.clear();
  UniqueCertContext ctx = ContextOf(Pki().IssueByInter(spec).get());
  ASSERT_NE(nullptr, ctx);
  SetLastError(0);
  EXPECT_EQ(nullptr, CertFindExtension(szOID_KEY_USAGE, ctx->pCertInfo->cExtension,
                                       ctx->pCertInfo->rgExtension));
  EXPECT_EQ(CRYPT_E_NOT_FOUND, GetLastError());
}

TEST(CryptDecodeObjectEx, DecodesKeyUsageBitStrings) {
  const struct {
    const char* name;
    Bytes encoded;
    DWORD error;  // 0: decodes
    Bytes bits;
    DWORD unusedBits;
  } cases[] = {
      {"one byte", {0x03, 0x02, 0x05, 0xA0}, 0, {0xA0}, 5},
      {"two bytes", {0x03, 0x03, 0x07, 0x80, 0x80}, 0, {0x80, 0x80}, 7},
      {"no bytes", {0x03, 0x01, 0x00}, 0, {}, 0},
      {"long-form length", {0x03, 0x81, 0x02, 0x00, 0x20}, 0, {0x20}, 0},
      {"empty input", {}, CRYPT_E_ASN1_EOD, {}, 0},
      {"octet string", {0x04, 0x02, 0x05, 0xA0}, CRYPT_E_ASN1_BADTAG, {}, 0},
      {"runs past the end", {0x03, 0x02, 0x05}, CRYPT_E_ASN1_EOD, {}, 0},
      {"no unused-bits byte", {0x03, 0x00}, CRYPT_E_ASN1_CORRUPT, {}, 0},
      {"unused bits without bytes", {0x03, 0x01, 0x01}, CRYPT_E_ASN1_CORRUPT, {}, 0},
      {"eight unused bits", {0x03, 0x02, 0x08, 0xA0}, CRYPT_E_ASN1_CORRUPT, {}, 0},
      {"bytes after the value", {0x03, 0x02, 0x05, 0xA0, 0x00}, CRYPT_E_ASN1_CORRUPT, {}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const BYTE* data = c.encoded.empty() ? nullptr : c.encoded.data();
    const DWORD length = static_cast<DWORD>(c.encoded.size());
    DWORD size = 0;
    SetLastError(0);
    const BOOL sized =
        CryptDecodeObjectEx(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, X509_KEY_USAGE, data, length,
                            CRYPT_DECODE_NOCOPY_FLAG, nullptr, nullptr, &size);
    if (c.error != 0) {
      EXPECT_EQ(FALSE, sized);
      EXPECT_EQ(c.error, GetLastError());
      continue;
    }
    ASSERT_EQ(TRUE, sized);
    ASSERT_EQ(sizeof(CRYPT_BIT_BLOB) + c.bits.size(), size);
    std::vector<BYTE> buffer(size);
    DWORD tooSmall = size - 1;
    EXPECT_EQ(FALSE, CryptDecodeObjectEx(X509_ASN_ENCODING, X509_KEY_USAGE, data, length, 0,
                                         nullptr, buffer.data(), &tooSmall));
    EXPECT_EQ(ERROR_MORE_DATA, GetLastError());
    EXPECT_EQ(size, tooSmall);
    ASSERT_EQ(TRUE, CryptDecodeObjectEx(X509_ASN_ENCODING, X509_KEY_USAGE, data, length,
                                        CRYPT_DECODE_NOCOPY_FLAG, nullptr, buffer.data(), &size));
    const auto* blob = reinterpret_cast<const CRYPT_BIT_BLOB*>(buffer.data());
    EXPECT_EQ(c.bits, Bytes(blob->pbData, blob->pbData + blob->cbData));
    EXPECT_EQ(c.unusedBits, blob->cUnusedBits);
  }
}

TEST(CryptDecodeObjectEx, RefusesOtherStructuresAndFlags) {
  const Bytes ku = {0x03, 0x02, 0x05, 0xA0};
  DWORD size = 0;
  EXPECT_EQ(FALSE, CryptDecodeObjectEx(X509_ASN_ENCODING, "2.5.29.19", ku.data(), 4, 0, nullptr,
                                       nullptr, &size));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_EQ(FALSE, CryptDecodeObjectEx(X509_ASN_ENCODING, X509_KEY_USAGE, ku.data(), 4, 0x8000,
                                       nullptr, nullptr, &size));
  EXPECT_EQ(static_cast<DWORD>(E_INVALIDARG), GetLastError());
  EXPECT_EQ(FALSE, CryptDecodeObjectEx(PKCS_7_ASN_ENCODING, X509_KEY_USAGE, ku.data(), 4, 0,
                                       nullptr, nullptr, &size));
  EXPECT_EQ(static_cast<DWORD>(E_INVALIDARG), GetLastError());
}

TEST(CheckCertKeyUsage, AcceptsKeyOrDataEncipherment) {
  const struct {
    const char* name;
    std::string usage;
    Bytes raw;
    HRESULT getStatus;
    DWORD value;
    HRESULT checkStatus;
  } cases[] = {
      {"no extension", "", {}, E_NO_KEY_USAGE, 0, E_NO_KEY_USAGE},
      {"keyEncipherment", "keyEncipherment", {}, S_OK, 0x20, S_OK},
      {"dataEncipherment", "dataEncipherment", {}, S_OK, 0x10, S_OK},
      {"digitalSignature", "digitalSignature", {}, S_OK, 0x80, E_INVALID_CERT_USAGE},
      {"decipherOnly in the second byte",
       "keyAgreement,decipherOnly",
       {},
       S_OK,
       0x08,
       E_INVALID_CERT_USAGE},
      {"bit string without bytes", "", {0x03, 0x01, 0x00}, S_OK, 0x00, E_INVALID_CERT_USAGE},
      {"malformed bit string",
       "",
       {0x03, 0x02, 0x08, 0x20},
       static_cast<HRESULT>(CRYPT_E_ASN1_CORRUPT),
       0,
       static_cast<HRESULT>(CRYPT_E_ASN1_CORRUPT)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CertSpec spec = Pki().Leaf({{"CN", kName1}});
    spec.keyUsage = c.usage;
    spec.rawKeyUsage = c.raw;
    UniqueCertContext ctx = ContextOf(Pki().IssueByInter(spec).get());
    ASSERT_NE(nullptr, ctx);
    DWORD value = 0xDEAD;
    EXPECT_EQ(c.getStatus, GetCertKeyUsage(ctx.get(), &value));
    EXPECT_EQ(c.getStatus == S_OK ? c.value : 0xDEAD, value);
    EXPECT_EQ(c.checkStatus, CheckCertKeyUsage(ctx.get()));
  }
}

TEST(CheckCertSignatureAlg, ComparesThePrefixTextually) {
  const struct {
    const char* oid;
    const char* prefix;
    HRESULT expected;
  } cases[] = {
      {"1.2.840.113549.1.1.11", "1.2.840.113549", S_OK},
      {"1.2.840.113549.1.1.5", "1.2.840.113549", S_OK},
      {"1.2.840.113549.1.1.11", "1.2.156.10197", E_FAIL},
      {"1.2.156.10197.1.501", "1.2.156.10197", S_OK},
      {"1.2.156.10197.1.501", "1.2.840.113549", E_FAIL},
      {"1.2.840.10045.4.3.2", "1.2.840.113549", E_FAIL},
      {"1.2.840.10045.4.3.2", "1.2.156.10197", E_FAIL},
      {"1.2.840.1135490", "1.2.840.113549", S_OK},  // nothing required after the prefix
      {"1.2.840", "1.2.840.113549", E_FAIL},        // shorter than the prefix
      {"1.2.840.10045.4.3.2", "", S_OK},
      {"1.2.840.10045.4.3.2", nullptr, S_OK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.oid) + " / " + (c.prefix ? c.prefix : "(null)"));
    std::string oid = c.oid;
    CERT_INFO info{};
    info.SignatureAlgorithm.pszObjId = oid.data();
    CERT_CONTEXT ctx{};
    ctx.pCertInfo = &info;
    EXPECT_EQ(c.expected, CheckCertSignatureAlg(&ctx, c.prefix));
  }
}

}  // namespace
