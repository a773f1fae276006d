// Server certificate validation: the certificate type, the subject name,
// validity period and chain checks, the trust store and the CRL lookup.
#pragma once

#include <openssl/x509.h>

#include <vector>

#include "Host/StatusCodes.h"
#include "agent/TrustPolicy.h"
#include "platform/WinTypes.h"

// Certificate types, by the family of the signature algorithm.
constexpr DWORD RSA_CERTIFICATE = 1;  // identifier under 1.2.840.113549
constexpr DWORD SM2_CERTIFICATE = 2;  // identifier under 1.2.156.10197

// Checks of VerifyX509WithData, run in this order.
constexpr BYTE VERIFY_FLAG_TIME = 0x1;
constexpr BYTE VERIFY_FLAG_CRL = 0x2;
constexpr BYTE VERIFY_FLAG_CHAIN = 0x4;

// Classifies the Base64 DER certificate by its signature algorithm.
// *pdwCertType is 0 unless S_OK. E_INVALIDARG for a null or empty text, the
// decoder's error as an HRESULT for bytes that are no certificate,
// E_INVALID_KEY_ALGORITHM for any other algorithm.
HRESULT GetCertificateType(const char* pszBase64CertData, DWORD* pdwCertType);

// Runs the policy on a PEM or DER certificate: subject common name equal to
// an accepted name, then the validity period, then (when pszTrustCertData is
// not null) the chain to the certificates of that trust list. Returns S_OK or
// the failing status folded to an HRESULT (0x8007000D for a name that is not
// accepted). The names are stPolicy's.
HRESULT VerifyCertValidity(const BYTE* pbyCertData, int nCertDataLen, const char* pszTrustCertData,
                           const CertPolicy& stPolicy);

// Runs the checks the flags select (VERIFY_FLAG_*), in flag order; returns the
// first failing status unchanged, or PELLUM_OK.
ResultCode VerifyX509WithData(X509* pX509Cert, BYTE byVerifyFlags, const BYTE* pbyCRLData,
                              int nCRLData, std::vector<BYTE*> vtrCertDataSet,
                              std::vector<int> vtrCertLenSet);

// A new store holding the certificates (PEM or DER each) in order; the caller
// frees it with X509_STORE_free. 87 for a null out place or sequences of
// different sizes, -1 when a certificate cannot be read or added.
ResultCode LoadCertsDataToStore(X509_STORE** ppX509Store, std::vector<BYTE*> vtrCertDataSet,
                                std::vector<int> vtrCertLenSet);
// Verifies the certificate's chain against a store of the given certificates:
// LoadCertsDataToStore's failures, or VerifyCertChainByTrustedStore's.
ResultCode VerifyCertChainWithData(X509* pX509Cert, std::vector<BYTE*> vtrCertDataSet,
                                   std::vector<int> vtrCertLenSet);
// E_CERT_REVOKED (raised as 0x20001032) when the CRL (PEM or DER) lists the
// certificate's serial number; 87 for null input or a length below 1; -1 for an
// unreadable CRL or one without a revoked list.
ResultCode VerifyCertCRLWithData(const BYTE* pbyCRLData, X509* pCertToVerify, int nCRLData);
