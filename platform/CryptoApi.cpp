// Certificate decoding stand-in over the crypto library's X.509 parser.
#include "platform/CryptoApi.h"

#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/LastError.h"
#include "platform/Threads.h"

using tovel::FailWithLastError;

namespace {

// A context and everything its pointers reach, freed as one.
struct CertContextHolder : CERT_CONTEXT {
  CERT_INFO info{};
  std::vector<BYTE> encoded;
  std::vector<BYTE> serial;
  std::string signatureOid;
  std::vector<std::string> extensionOids;
  std::vector<std::vector<BYTE>> extensionValues;
  std::vector<CERT_EXTENSION> extensions;
};

std::string DottedOid(const ASN1_OBJECT* object) {
  int needed = OBJ_obj2txt(nullptr, 0, object, 1);
  if (needed <= 0) return {};
  std::string text(static_cast<std::size_t>(needed) + 1, '\0');
  OBJ_obj2txt(text.data(), needed + 1, object, 1);
  text.resize(static_cast<std::size_t>(needed));
  return text;
}

std::vector<BYTE> Bytes(const ASN1_STRING* s) {
  const BYTE* p = ASN1_STRING_get0_data(s);
  return std::vector<BYTE>(p, p + ASN1_STRING_length(s));
}

// Fills the holder from the parsed certificate; false when a field is missing.
bool Fill(CertContextHolder& h, const X509* cert) {
  const X509_ALGOR* tbsAlg = X509_get0_tbs_sigalg(cert);
  const ASN1_OBJECT* algObject = nullptr;
  X509_ALGOR_get0(&algObject, nullptr, nullptr, tbsAlg);
  if (algObject == nullptr) return false;
  h.signatureOid = DottedOid(algObject);
  if (h.signatureOid.empty()) return false;
  h.serial = Bytes(X509_get0_serialNumber(cert));

  int count = X509_get_ext_count(cert);
  h.extensionOids.reserve(count);
  h.extensionValues.reserve(count);
  for (int i = 0; i < count; ++i) {
    X509_EXTENSION* ext = X509_get_ext(cert, i);
    h.extensionOids.push_back(DottedOid(X509_EXTENSION_get_object(ext)));
    h.extensionValues.push_back(Bytes(X509_EXTENSION_get_data(ext)));
  }
  for (int i = 0; i < count; ++i) {
    CERT_EXTENSION ext{};
    ext.pszObjId = h.extensionOids[i].data();
    ext.fCritical = X509_EXTENSION_get_critical(X509_get_ext(cert, i)) ? TRUE : FALSE;
    ext.Value.cbData = static_cast<DWORD>(h.extensionValues[i].size());
    ext.Value.pbData = h.extensionValues[i].data();
    h.extensions.push_back(ext);
  }

  h.info.dwVersion = static_cast<DWORD>(X509_get_version(cert));
  h.info.SerialNumber = {static_cast<DWORD>(h.serial.size()), h.serial.data()};
  h.info.SignatureAlgorithm.pszObjId = h.signatureOid.data();
  h.info.cExtension = static_cast<DWORD>(h.extensions.size());
  h.info.rgExtension = h.extensions.empty() ? nullptr : h.extensions.data();
  h.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  h.pbCertEncoded = h.encoded.data();
  h.cbCertEncoded = static_cast<DWORD>(h.encoded.size());
  h.pCertInfo = &h.info;
  h.hCertStore = nullptr;
  return true;
}

// Reads a DER length at p (of n bytes left); the count of length bytes in
// *used, or false when it is malformed or runs past the end.
bool ReadDerLength(const BYTE* p, std::size_t n, std::size_t* length, std::size_t* used) {
  if (n == 0) return false;
  if (p[0] < 0x80) {
    *length = p[0];
    *used = 1;
    return true;
  }
  std::size_t count = p[0] & 0x7F;
  if (count == 0 || count > sizeof(std::size_t) || count >= n) return false;
  std::size_t value = 0;
  for (std::size_t i = 1; i <= count; ++i) value = (value << 8) | p[i];
  *length = value;
  *used = 1 + count;
  return true;
}

// Elements nest no deeper than this in a certificate that the decoder reads.
constexpr int kMaxDerDepth = 32;

// One element read in DER's form: its identifier byte and its content.
struct DerElement {
  BYTE identifier;
  const BYTE* content;
  std::size_t length;
};

// Reads the element at p (n bytes left) when its definite length is written
// in the fewest bytes and its content lies within the n bytes; *total is the
// whole element's size.
bool ReadDerElement(const BYTE* p, std::size_t n, DerElement* element, std::size_t* total) {
  // No element of a certificate has a tag number of 31 or more.
  if (n < 2 || (p[0] & 0x1F) == 0x1F) return false;
  std::size_t length = 0, used = 0;
  if (!ReadDerLength(p + 1, n - 1, &length, &used)) return false;
  // no leading zero byte, no long form for a short length
  if (used > 1 && (p[2] == 0 || length < 0x80)) return false;
  const std::size_t at = 1 + used;
  if (length > n - at) return false;
  *element = DerElement{p[0], p + at, length};
  *total = at + length;
  return true;
}

bool IsDerForm(const BYTE* p, std::size_t n, int depth);

// The forms that the decoder keeps as they came: of the universal types only
// SEQUENCE and SET are constructed, a BOOLEAN is 00 or FF, and whatever is
// constructed holds elements of DER's form. Values that the decoder reads
// into fields of their own are checked by writing them again.
bool HasDerContent(const DerElement& element, int depth) {
  const bool universal = (element.identifier & 0xC0) == 0;
  const int tag = element.identifier & 0x1F;
  if ((element.identifier & 0x20) != 0) {
    if (universal && tag != V_ASN1_SEQUENCE && tag != V_ASN1_SET) return false;
    return depth < kMaxDerDepth && IsDerForm(element.content, element.length, depth + 1);
  }
  if (universal && tag == V_ASN1_BOOLEAN)
    return element.length == 1 && (element.content[0] == 0x00 || element.content[0] == 0xFF);
  return true;
}

// True when the n bytes at p are whole elements, each in DER's form.
bool IsDerForm(const BYTE* p, std::size_t n, int depth) {
  while (n > 0) {
    DerElement element{};
    std::size_t total = 0;
    if (!ReadDerElement(p, n, &element, &total) || !HasDerContent(element, depth)) return false;
    p += total;
    n -= total;
  }
  return true;
}

// True when decoding cert took all n bytes at p (the decoder stopped at
// cursor), every element is in DER's form, and the encoder writes the bytes
// back unchanged: a looser encoding (long lengths, an open-ended length, a
// BOOLEAN true other than FF, set unused bits) decodes as well, but is not
// DER.
bool IsWholeEncoding(X509* cert, const BYTE* p, std::size_t n, const unsigned char* cursor) {
  if (cursor != p + n || !IsDerForm(p, n, 0)) return false;
  // The decoder keeps the to-be-signed part's bytes as they came and would
  // write them back as they are: that part is encoded afresh from its fields
  // first.
  if (i2d_re_X509_tbs(cert, nullptr) <= 0) return false;
  unsigned char* bytes = nullptr;
  const int length = i2d_X509(cert, &bytes);
  const tovel::OpenSslPtr<unsigned char> reencoded(bytes);
  return length > 0 && static_cast<std::size_t>(length) == n &&
         std::memcmp(reencoded.get(), p, n) == 0;
}

}  // namespace

bool IsSingleDerCertificate(const BYTE* pbEncoded, std::size_t cbEncoded) {
  if (pbEncoded == nullptr || cbEncoded == 0 || cbEncoded > 0x7FFFFFFFu) return false;
  const unsigned char* cursor = pbEncoded;
  tovel::UniquePtr<X509> cert(d2i_X509(nullptr, &cursor, static_cast<long>(cbEncoded)));
  return cert && IsWholeEncoding(cert.get(), pbEncoded, cbEncoded, cursor);
}

PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                            DWORD cbCertEncoded) {
  if ((dwCertEncodingType & X509_ASN_ENCODING) == 0)
    return FailWithLastError<PCCERT_CONTEXT>(static_cast<DWORD>(E_INVALIDARG), nullptr);
  if (cbCertEncoded == 0) return FailWithLastError<PCCERT_CONTEXT>(CRYPT_E_ASN1_EOD, nullptr);
  if (pbCertEncoded == nullptr)
    return FailWithLastError<PCCERT_CONTEXT>(static_cast<DWORD>(E_INVALIDARG), nullptr);
  // a certificate is a SEQUENCE
  if (pbCertEncoded[0] != 0x30)
    return FailWithLastError<PCCERT_CONTEXT>(CRYPT_E_ASN1_BADTAG, nullptr);
  if (cbCertEncoded > 0x7FFFFFFFu)
    return FailWithLastError<PCCERT_CONTEXT>(CRYPT_E_ASN1_CORRUPT, nullptr);
  const unsigned char* cursor = pbCertEncoded;
  tovel::UniquePtr<X509> cert(d2i_X509(nullptr, &cursor, static_cast<long>(cbCertEncoded)));
  if (!cert || !IsWholeEncoding(cert.get(), pbCertEncoded, cbCertEncoded, cursor))
    return FailWithLastError<PCCERT_CONTEXT>(CRYPT_E_ASN1_CORRUPT, nullptr);
  try {
    auto holder = std::make_unique<CertContextHolder>();
    holder->encoded.assign(pbCertEncoded, cursor);
    if (!Fill(*holder, cert.get()))
      return FailWithLastError<PCCERT_CONTEXT>(CRYPT_E_ASN1_CORRUPT, nullptr);
    return holder.release();
  } catch (const std::bad_alloc&) {
    return FailWithLastError<PCCERT_CONTEXT>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  }
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
  delete static_cast<const CertContextHolder*>(pCertContext);
  return TRUE;
}

PCERT_EXTENSION CertFindExtension(const char* pszObjId, DWORD cExtensions,
                                  CERT_EXTENSION rgExtensions[]) {
  if (pszObjId != nullptr && rgExtensions != nullptr) {
    for (DWORD i = 0; i < cExtensions; ++i) {
      if (rgExtensions[i].pszObjId != nullptr &&
          std::strcmp(rgExtensions[i].pszObjId, pszObjId) == 0)
        return &rgExtensions[i];
    }
  }
  return FailWithLastError<PCERT_EXTENSION>(CRYPT_E_NOT_FOUND, nullptr);
}

BOOL CryptDecodeObjectEx(DWORD dwCertEncodingType, const char* lpszStructType,
                         const BYTE* pbEncoded, DWORD cbEncoded, DWORD dwFlags,
                         void* /*pDecodePara*/, void* pvStructInfo, DWORD* pcbStructInfo) {
  if ((dwCertEncodingType & X509_ASN_ENCODING) == 0 || pcbStructInfo == nullptr ||
      (dwFlags & ~CRYPT_DECODE_NOCOPY_FLAG) != 0)
    return FailWithLastError<BOOL>(static_cast<DWORD>(E_INVALIDARG), FALSE);
  if (lpszStructType == nullptr || std::strcmp(lpszStructType, szOID_KEY_USAGE) != 0)
    return FailWithLastError<BOOL>(ERROR_FILE_NOT_FOUND, FALSE);
  if (pbEncoded == nullptr || cbEncoded == 0)
    return FailWithLastError<BOOL>(CRYPT_E_ASN1_EOD, FALSE);
  if (pbEncoded[0] != 0x03)
    return FailWithLastError<BOOL>(CRYPT_E_ASN1_BADTAG, FALSE);  // BIT STRING

  std::size_t length = 0, used = 0;
  if (!ReadDerLength(pbEncoded + 1, cbEncoded - 1, &length, &used))
    return FailWithLastError<BOOL>(CRYPT_E_ASN1_EOD, FALSE);
  std::size_t header = 1 + used;
  if (length > cbEncoded - header) return FailWithLastError<BOOL>(CRYPT_E_ASN1_EOD, FALSE);
  // bytes after the value, or no unused-bits byte
  if (length < cbEncoded - header || length == 0)
    return FailWithLastError<BOOL>(CRYPT_E_ASN1_CORRUPT, FALSE);
  DWORD unusedBits = pbEncoded[header];
  std::size_t dataBytes = length - 1;
  if (unusedBits > 7 || (dataBytes == 0 && unusedBits != 0))
    return FailWithLastError<BOOL>(CRYPT_E_ASN1_CORRUPT, FALSE);

  std::size_t needed = sizeof(CRYPT_BIT_BLOB) + dataBytes;
  if (pvStructInfo == nullptr) {
    *pcbStructInfo = static_cast<DWORD>(needed);
    return TRUE;
  }
  if (*pcbStructInfo < needed) {
    *pcbStructInfo = static_cast<DWORD>(needed);
    return FailWithLastError<BOOL>(ERROR_MORE_DATA, FALSE);
  }
  auto* blob = static_cast<CRYPT_BIT_BLOB*>(pvStructInfo);
  BYTE* data = reinterpret_cast<BYTE*>(blob + 1);
  if (dataBytes != 0) std::memcpy(data, pbEncoded + header + 1, dataBytes);
  blob->cbData = static_cast<DWORD>(dataBytes);
  blob->pbData = dataBytes != 0 ? data : nullptr;
  blob->cUnusedBits = unusedBits;
  *pcbStructInfo = static_cast<DWORD>(needed);
  return TRUE;
}
