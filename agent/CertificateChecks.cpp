// Key-usage and signature-algorithm checks on a decoded certificate context.
// Value traces go to the CertificateOperations series, after that module's own.
#include "agent/CertificateChecks.h"

#include <cstring>
#include <memory>
#include <new>

#include "Host/StatusCodes.h"
#include "Host/Tracing.h"
#include "agent/TovelAgent.h"
#include "platform/Threads.h"

namespace {

constexpr DWORD kEnciphermentUsage =
    CERT_KEY_ENCIPHERMENT_KEY_USAGE | CERT_DATA_ENCIPHERMENT_KEY_USAGE;

}  // namespace

HRESULT GetCertKeyUsage(PCCERT_CONTEXT pCertContext, DWORD* pdwKeyUsage) {
  TraceHelper trace(u"GetCertKeyUsage");
  if (pCertContext == nullptr || pCertContext->pCertInfo == nullptr || pdwKeyUsage == nullptr) {
    TraceHResult(E_INVALIDARG, u"Check parameter");
    return E_INVALIDARG;
  }
  const CERT_INFO* pstCertInfo = pCertContext->pCertInfo;
  const CERT_EXTENSION* pstKeyUsage =
      CertFindExtension(szOID_KEY_USAGE, pstCertInfo->cExtension, pstCertInfo->rgExtension);
  if (pstKeyUsage == nullptr) {
    const DWORD dwError = GetLastError();
    TRACE_VALUES(TraceMsg::CertificateOperations::NoKeyUsageExtension, dwError);
    TraceHResult(E_NO_KEY_USAGE, u"CertFindExtension");
    return E_NO_KEY_USAGE;
  }

  DWORD dwSize = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, X509_KEY_USAGE,
                           pstKeyUsage->Value.pbData, pstKeyUsage->Value.cbData,
                           CRYPT_DECODE_NOCOPY_FLAG, nullptr, nullptr, &dwSize)) {
    const HRESULT hResult = LastErrorToFailure();
    TraceHResult(hResult, u"CryptDecodeObjectEx");
    return hResult;
  }
  TRACE_VALUES(TraceMsg::CertificateOperations::KeyUsageDecodedSize, dwSize);
  std::unique_ptr<BYTE[]> pbyBlob(new (std::nothrow) BYTE[dwSize]());
  if (!pbyBlob) {
    TraceHResult(E_OUTOFMEMORY, u"Dispatch memory failed.");
    return E_OUTOFMEMORY;
  }
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, X509_KEY_USAGE,
                           pstKeyUsage->Value.pbData, pstKeyUsage->Value.cbData,
                           CRYPT_DECODE_NOCOPY_FLAG, nullptr, pbyBlob.get(), &dwSize)) {
    const HRESULT hResult = LastErrorToFailure();
    TraceHResult(hResult, u"CryptDecodeObjectEx");
    return hResult;
  }
  const auto* pstBits = reinterpret_cast<const CRYPT_BIT_BLOB*>(pbyBlob.get());
  // A bit string without bytes grants no usage.
  const DWORD dwKeyUsage = pstBits->cbData > 0 ? pstBits->pbData[0] : 0;
  TRACE_VALUES(TraceMsg::CertificateOperations::DecodedKeyUsage, dwKeyUsage);
  *pdwKeyUsage = dwKeyUsage;
  return S_OK;
}

HRESULT CheckCertKeyUsage(PCCERT_CONTEXT pCertContext) {
  TraceHelper trace(u"CheckCertKeyUsage");
  TRACE_VALUES(TraceMsg::CertificateOperations::AcceptedUsageMask, kEnciphermentUsage);
  DWORD dwKeyUsage = 0;
  const HRESULT hResult = GetCertKeyUsage(pCertContext, &dwKeyUsage);
  if (FAILED(hResult)) {
    TraceHResult(hResult, u"GetCertKeyUsage FAILED");
    return hResult;
  }
  TRACE_VALUES(TraceMsg::CertificateOperations::CheckedKeyUsage, dwKeyUsage);
  if ((dwKeyUsage & kEnciphermentUsage) == 0) {
    TRACE_POINT(TraceMsg::CertificateOperations::NoEnciphermentUsage);
    return E_INVALID_CERT_USAGE;
  }
  return S_OK;
}

HRESULT CheckCertSignatureAlg(PCCERT_CONTEXT pCertContext, const char* pszAlgPrefix) {
  TraceHelper trace(u"CheckCertSignatureAlg");
  if (pszAlgPrefix == nullptr) {
    TRACE_POINT(TraceMsg::CertificateOperations::NoAlgorithmPrefix);
    return S_OK;
  }
  if (pCertContext == nullptr || pCertContext->pCertInfo == nullptr ||
      pCertContext->pCertInfo->SignatureAlgorithm.pszObjId == nullptr) {
    TRACE_POINT(TraceMsg::CertificateOperations::PrefixMismatch);
    return E_FAIL;
  }
  const char* pszObjId = pCertContext->pCertInfo->SignatureAlgorithm.pszObjId;
  TRACE_VALUES(TraceMsg::CertificateOperations::AlgorithmAndPrefix, pszObjId, pszAlgPrefix);
  if (std::strncmp(pszObjId, pszAlgPrefix, std::strlen(pszAlgPrefix)) == 0) {
    TRACE_POINT(TraceMsg::CertificateOperations::PrefixMatches);
    return S_OK;
  }
  TRACE_POINT(TraceMsg::CertificateOperations::PrefixMismatch);
  return E_FAIL;
}
