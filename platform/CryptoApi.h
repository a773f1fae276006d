// Certificate decoding stand-in: certificate contexts made from DER bytes,
// their extension list and the key-usage decoder.
//
// A context holds the certificate's bytes and the fields the agent reads: the
// signature algorithm named in the to-be-signed part (as dotted-decimal text)
// and the extensions (identifier, critical flag, value bytes). Every failure
// sets the thread's last error (platform/Threads.h), never to 0.
#pragma once

#include <cstddef>

#include "platform/UniquePtr.h"
#include "platform/WinTypes.h"

constexpr DWORD X509_ASN_ENCODING = 0x00000001;
constexpr DWORD PKCS_7_ASN_ENCODING = 0x00010000;

// Structure type of the key-usage extension's value.
inline constexpr const char szOID_KEY_USAGE[] = "2.5.29.15";
inline constexpr const char* X509_KEY_USAGE = szOID_KEY_USAGE;

// Decode flags; only CRYPT_DECODE_NOCOPY_FLAG is accepted (the output is
// always self-contained).
constexpr DWORD CRYPT_DECODE_NOCOPY_FLAG = 0x1;

// Key-usage bits of the first byte of the bit string.
constexpr BYTE CERT_DIGITAL_SIGNATURE_KEY_USAGE = 0x80;
constexpr BYTE CERT_NON_REPUDIATION_KEY_USAGE = 0x40;
constexpr BYTE CERT_KEY_ENCIPHERMENT_KEY_USAGE = 0x20;
constexpr BYTE CERT_DATA_ENCIPHERMENT_KEY_USAGE = 0x10;
constexpr BYTE CERT_KEY_AGREEMENT_KEY_USAGE = 0x08;
constexpr BYTE CERT_KEY_CERT_SIGN_KEY_USAGE = 0x04;
constexpr BYTE CERT_CRL_SIGN_KEY_USAGE = 0x02;

// Errors set as the last error: the CRYPT_E_ numbers of platform/WinError.h.

struct CRYPT_INTEGER_BLOB {
  DWORD cbData;
  BYTE* pbData;
};
using CRYPT_OBJID_BLOB = CRYPT_INTEGER_BLOB;

struct CRYPT_BIT_BLOB {
  DWORD cbData;  // bytes at pbData
  BYTE* pbData;
  DWORD cUnusedBits;
};

struct CRYPT_ALGORITHM_IDENTIFIER {
  char* pszObjId;  // dotted-decimal, zero-terminated
  CRYPT_OBJID_BLOB Parameters;
};

struct CERT_EXTENSION {
  char* pszObjId;
  BOOL fCritical;
  CRYPT_OBJID_BLOB Value;  // DER of the extension's value
};
using PCERT_EXTENSION = CERT_EXTENSION*;

struct CERT_INFO {
  DWORD dwVersion;
  CRYPT_INTEGER_BLOB SerialNumber;  // big-endian two's complement, as encoded
  CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
  DWORD cExtension;
  PCERT_EXTENSION rgExtension;
};
using PCERT_INFO = CERT_INFO*;

struct CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCertEncoded;
  DWORD cbCertEncoded;
  PCERT_INFO pCertInfo;
  void* hCertStore;  // always null: contexts here belong to no store
};
using PCCERT_CONTEXT = const CERT_CONTEXT*;

// True when the bytes are exactly one certificate in DER: nothing before or
// after it, and written as DER writes it, so that every reader of the bytes
// sees the same certificate.
bool IsSingleDerCertificate(const BYTE* pbEncoded, std::size_t cbEncoded);

// Decodes one DER certificate; the bytes must hold that certificate and
// nothing else (IsSingleDerCertificate). The encoding type must include
// X509_ASN_ENCODING. Returns a new context, or null with the last error set:
// E_INVALIDARG (bad encoding type, or null bytes of a nonzero length),
// CRYPT_E_ASN1_EOD (no bytes),
// CRYPT_E_ASN1_BADTAG or CRYPT_E_ASN1_CORRUPT (not a certificate, or bytes
// beside it), ERROR_NOT_ENOUGH_MEMORY.
PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                            DWORD cbCertEncoded);
// Frees a context made by CertCreateCertificateContext; null is accepted.
// Always TRUE.
BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);
TOVEL_DEFINE_DELETER(const CERT_CONTEXT, CertFreeCertificateContext);
using UniqueCertContext = tovel::UniquePtr<const CERT_CONTEXT>;

// The first extension of the list whose identifier equals pszObjId, or null
// with the last error CRYPT_E_NOT_FOUND.
PCERT_EXTENSION CertFindExtension(const char* pszObjId, DWORD cExtensions,
                                  CERT_EXTENSION rgExtensions[]);

// Decodes a key-usage value (structure type X509_KEY_USAGE / "2.5.29.15") into
// a CRYPT_BIT_BLOB followed by its data bytes. With pvStructInfo null it
// stores the size needed in *pcbStructInfo and returns TRUE; with a smaller
// buffer it fails with ERROR_MORE_DATA and stores the size needed. Fails with
// ERROR_FILE_NOT_FOUND for another structure type, E_INVALIDARG for a bad
// encoding type, null size place or unsupported flags, and the ASN.1 errors
// above for a malformed bit string. A bit string with no bytes decodes to
// cbData 0.
BOOL CryptDecodeObjectEx(DWORD dwCertEncodingType, const char* lpszStructType,
                         const BYTE* pbEncoded, DWORD cbEncoded, DWORD dwFlags, void* pDecodePara,
                         void* pvStructInfo, DWORD* pcbStructInfo);
