// Certificate primitives on crypto-library objects: read a certificate from
// bytes, take its subject common name, convert its validity times, check them
// against the clock, verify a chain against a trusted store and check the key
// usage for encipherment.
//
// Each operation returns a ResultCode (PELLUM_OK on success) and writes its out
// parameters only on success. The server certificate policy built on these
// (GetCertificateType, VerifyCertValidity) is declared in
// agent/TovelAgentTrust.h.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <utility>

#include "Host/StatusCodes.h"
#include "platform/UniquePtr.h"
#include "platform/WinTypes.h"

// What ReadPemOrDer found: the object (null when the bytes are neither form)
// and whether the DER reader ran, for the caller's step line.
template <typename T>
struct PemOrDer {
  tovel::UniquePtr<T> spObject;
  bool bReadDer = false;
};

// Reads one object from the stream as PEM text, else from its start as DER.
// A PEM object is kept only when bKeepPem() is true (called after it is read);
// otherwise the stream is read again as DER.
template <typename T, typename KeepPem>
PemOrDer<T> ReadPemOrDer(BIO* pBio, T* (*pfnReadPem)(BIO*, T**, pem_password_cb*, void*),
                         T* (*pfnReadDer)(BIO*, T**), KeepPem bKeepPem) {
  tovel::UniquePtr<T> spPem(pfnReadPem(pBio, nullptr, nullptr, nullptr));
  if (spPem != nullptr && bKeepPem()) return {std::move(spPem), false};
  spPem.reset();
  BIO_ctrl(pBio, BIO_CTRL_RESET, 0, nullptr);
  return {tovel::UniquePtr<T>(pfnReadDer(pBio, nullptr)), true};
}

template <typename T>
PemOrDer<T> ReadPemOrDer(BIO* pBio, T* (*pfnReadPem)(BIO*, T**, pem_password_cb*, void*),
                         T* (*pfnReadDer)(BIO*, T**)) {
  return ReadPemOrDer(pBio, pfnReadPem, pfnReadDer, [] { return true; });
}

// A validity time (UTCTime or GeneralizedTime, 'Z' or a +hhmm/-hhmm offset) as
// seconds since 1970-01-01 00:00:00 UTC, whatever the machine's time zone.
// *ptUTCTime is 0 on failure. -1 for a malformed text or a time outside
// 1970-01-01 00:00:00 to the year 3000.
ResultCode ASN1_TIME_To_UTCTime(const ASN1_TIME* pASN1Time, __time64_t* ptUTCTime);
// The certificate's notBefore / notAfter in seconds since 1970 (UTC).
ResultCode GetX509NotBefore(const X509* pX509, __time64_t* ptNotBefore);
ResultCode GetX509NotAfter(const X509* pX509, __time64_t* ptNotAfter);
// PELLUM_OK when the clock lies within the validity period (both ends
// inclusive); E_CERT_TIME_INVALID outside it; -1 or a getter's status when a
// time cannot be read.
ResultCode VerifyCertTime(const X509* pX509);

// Reads one certificate from PEM text or DER bytes (PEM first; but bytes that
// begin with a DER certificate are that certificate, even when a PEM block
// follows it or stands inside it). On success
// *ppX509Cert is a new certificate the caller frees with X509_free. -1 for
// null or empty input, or bytes that are neither form.
ResultCode ConvertCertDataToX509(const BYTE* pbyCertData, int nCertDataLen, X509** ppX509Cert);

// Verifies the certificate against the store with the library's defaults.
// E_CERT_TIME_INVALID for a certificate of the chain outside its validity
// period, E_CERT_CHAIN_INCOMPLETE for every other verification failure, -1
// when the verification context cannot be made or set up.
ResultCode VerifyCertChainByTrustedStore(X509_STORE* pX509Store, X509* pX509Cert);

// Requires the key-usage extension with keyEncipherment: E_INVALID_CERT_USAGE
// without the extension or the bit, -1 when the extensions cannot be read.
ResultCode CheckX509KeyUsage(X509* pX509);

// The subject's first common name as UTF-8: *ppszSubjectCN is a new
// zero-terminated array (delete[]) and *pnSubjectCNLen its length in bytes
// without the terminator (a zero byte inside the name is counted). -1 when
// there is no subject, no common name, an empty one, or no memory.
ResultCode GetX509SubjectCN(const X509* pX509, char** ppszSubjectCN, int* pnSubjectCNLen);
