// Server certificate validation of the agent: the certificate type, the policy
// (subject name, validity period, chain) and the trust store and CRL checks.
#define TOVEL_SOURCE_FILE "TovelAgent.cpp"
#include "agent/TovelAgentTrust.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>
#include <string>

#include "Host/Misc.h"
#include "Host/Tracing.h"
#include "agent/CertificateChecks.h"
#include "agent/CertificateOperations.h"
#include "agent/TovelAgent.h"
#include "platform/CryptoApi.h"
#include "platform/Threads.h"
#include "platform/UniquePtr.h"

namespace {

constexpr HRESULT HRESULT_INVALID_DATA = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
constexpr ResultCode kInvalidParameter = static_cast<ResultCode>(ERROR_INVALID_PARAMETER);

// The name matches over its whole length: a common name with a zero byte
// inside never equals an accepted name.
bool IsAcceptedName(const char* pszSubjectCN, int nSubjectCNLen, const char* pszAcceptedName) {
  return pszAcceptedName != nullptr &&
         std::strlen(pszAcceptedName) == static_cast<std::size_t>(nSubjectCNLen) &&
         std::memcmp(pszSubjectCN, pszAcceptedName, nSubjectCNLen) == 0;
}

// The certificates of a "|"-separated list of Base64 texts, decoded in order
// into vtrOwned (which owns them) and its views vtrData / vtrLength. The
// first failing decode's status is returned as an HRESULT.
HRESULT DecodeTrustList(const char16_t* pszOperation, const char* pszTrustCertData,
                        std::vector<std::unique_ptr<BYTE[]>>& vtrOwned, std::vector<BYTE*>& vtrData,
                        std::vector<int>& vtrLength) {
  std::vector<char*> vtrTrustEntries;
  const int nResult = SplitString(pszTrustCertData, "|", vtrTrustEntries);
  if (0 != nResult) {
    FreeStringList(vtrTrustEntries);
    const HRESULT hResult = StatusToHResult(nResult);
    WIDE_LOG_FAILED(pszOperation, u"SplitString", hResult, u"0 != nResult");
    return hResult;
  }
  HRESULT hResult = S_OK;
  for (const char* pszEntry : vtrTrustEntries) {
    BYTE* pbyTrustCert = nullptr;
    int nTrustCertLen = 0;
    hResult = Base64DecodeEx(pszEntry, static_cast<int>(std::strlen(pszEntry)), &pbyTrustCert,
                             &nTrustCertLen);
    vtrOwned.emplace_back(pbyTrustCert);
    if (S_OK != hResult) {
      hResult = StatusToHResult(hResult);
      WIDE_LOG_FAILED(pszOperation, u"Base64DecodeEx", hResult, u"S_OK != hResult");
      break;
    }
    WIDE_LOG_OK(pszOperation, u"Base64DecodeEx");
    vtrData.push_back(pbyTrustCert);
    vtrLength.push_back(nTrustCertLen);
  }
  FreeStringList(vtrTrustEntries);
  return hResult;
}

}  // namespace

HRESULT GetCertificateType(const char* pszBase64CertData, DWORD* pdwCertType) {
  static const char16_t* const kOp = u"GetCertificateType";
  TraceHelper trace(kOp);
  if (pdwCertType == nullptr) {
    WIDE_LOG_FAILED(kOp, u"Check parameter(pdwCertType)", E_INVALIDARG, u"NULL == pdwCertType");
    return E_INVALIDARG;
  }
  *pdwCertType = 0;
  if (pszBase64CertData == nullptr || 0 == std::strlen(pszBase64CertData)) {
    WIDE_LOG_FAILED(kOp, u"Check parameter(lpwBase64Cert&dwBase64CertLen)", E_INVALIDARG,
                    u"(NULL == pszBase64CertData || 0 == strlen(pszBase64CertData))");
    return E_INVALIDARG;
  }
  WIDE_LOG_OK(kOp, u"Check parameter(lpwBase64Cert&dwBase64CertLen)");

  BYTE* pbyDecoded = nullptr;
  int nCertDataLen = 0;
  HRESULT hResult =
      Base64DecodeEx(pszBase64CertData, static_cast<int>(std::strlen(pszBase64CertData)),
                     &pbyDecoded, &nCertDataLen);
  const std::unique_ptr<BYTE[]> spCertData(pbyDecoded);
  if (FAILED(hResult)) {
    WIDE_LOG_FAILED(kOp, u"Base64DecodeEx", hResult, u"FAILED(hResult)");
    return hResult;
  }
  WIDE_LOG_OK(kOp, u"Base64DecodeEx");
  const UniqueCertContext spCertificate(CertCreateCertificateContext(
      X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, spCertData.get(), static_cast<DWORD>(nCertDataLen)));
  if (spCertificate == nullptr) {
    hResult = LastErrorToFailure();
    WIDE_LOG_FAILED(kOp, u"CertCreateCertificateContext", hResult, u"pstNewCertificate == NULL");
    return hResult;
  }
  WIDE_LOG_OK(kOp, u"CertCreateCertificateContext");
  if (S_OK == CheckCertSignatureAlg(spCertificate.get(), "1.2.156.10197")) {
    *pdwCertType = SM2_CERTIFICATE;
    return S_OK;
  }
  if (S_OK == CheckCertSignatureAlg(spCertificate.get(), "1.2.840.113549")) {
    *pdwCertType = RSA_CERTIFICATE;
    return S_OK;
  }
  WIDE_LOG_FAILED(kOp, u"Check certificate signature algorithm", E_INVALID_KEY_ALGORITHM, u"TRUE");
  return E_INVALID_KEY_ALGORITHM;
}

HRESULT VerifyCertValidity(const BYTE* pbyCertData, int nCertDataLen, const char* pszTrustCertData,
                           const CertPolicy& stPolicy) {
  static const char16_t* const kOp = u"VerifyCertValidity";
  TraceHelper trace(kOp);
  if (pbyCertData == nullptr) {
    WIDE_LOG_FAILED(kOp, u"Check pbyCertData", E_INVALIDARG, u"NULL == pbyCertData");
    return E_INVALIDARG;
  }
  WIDE_LOG_OK(kOp, u"Check pbyCertData");

  X509* pX509Out = nullptr;
  ResultCode nResult = ConvertCertDataToX509(pbyCertData, nCertDataLen, &pX509Out);
  const tovel::UniquePtr<X509> spCert(pX509Out);
  if (PELLUM_OK != nResult) {
    const HRESULT hResult = StatusToHResult(nResult);
    WIDE_LOG_FAILED(kOp, u"ConvertCertDataToX509", hResult, u"PELLUM_OK != nResult");
    return hResult;
  }
  WIDE_LOG_OK(kOp, u"ConvertCertDataToX509");

  char* pszSubjectCNOut = nullptr;
  int nSubjectCNLen = 0;
  nResult = GetX509SubjectCN(spCert.get(), &pszSubjectCNOut, &nSubjectCNLen);
  const std::unique_ptr<char[]> spSubjectCN(pszSubjectCNOut);
  if (PELLUM_OK != nResult) {
    const HRESULT hResult = StatusToHResult(nResult);
    WIDE_LOG_FAILED(kOp, u"GetX509SubjectCN", hResult, u"PELLUM_OK != nResult");
    return hResult;
  }
  WIDE_LOG_OK(kOp, u"GetX509SubjectCN");
  TRACE_VALUES(TraceMsg::TovelAgent::TrustSubjectCommonName, spSubjectCN.get());

  if (!IsAcceptedName(spSubjectCN.get(), nSubjectCNLen, stPolicy.pszAcceptedName1) &&
      !IsAcceptedName(spSubjectCN.get(), nSubjectCNLen, stPolicy.pszAcceptedName2)) {
    WIDE_LOG_FAILED(kOp, u"pszSubjectCN", HRESULT_INVALID_DATA, u"TRUE");
    return HRESULT_INVALID_DATA;
  }

  BYTE byVerifyFlags = VERIFY_FLAG_TIME;
  std::vector<std::unique_ptr<BYTE[]>> vtrTrustCerts;
  std::vector<BYTE*> vtrCertDataSet;
  std::vector<int> vtrCertLenSet;
  if (pszTrustCertData != nullptr) {
    TRACE_VALUES(TraceMsg::TovelAgent::TrustList, pszTrustCertData);
    byVerifyFlags = VERIFY_FLAG_TIME | VERIFY_FLAG_CHAIN;
    const HRESULT hResult =
        DecodeTrustList(kOp, pszTrustCertData, vtrTrustCerts, vtrCertDataSet, vtrCertLenSet);
    if (S_OK != hResult) return hResult;
  }

  nResult =
      VerifyX509WithData(spCert.get(), byVerifyFlags, nullptr, 0, vtrCertDataSet, vtrCertLenSet);
  if (PELLUM_OK != nResult) {
    const HRESULT hResult = StatusToHResult(nResult);
    WIDE_LOG_FAILED(kOp, u"VerifyX509WithData", hResult, u"PELLUM_OK != nResult");
    return hResult;
  }
  WIDE_LOG_OK(kOp, u"VerifyX509WithData");
  return S_OK;
}

ResultCode VerifyX509WithData(X509* pX509Cert, BYTE byVerifyFlags, const BYTE* pbyCRLData,
                              int nCRLData, std::vector<BYTE*> vtrCertDataSet,
                              std::vector<int> vtrCertLenSet) {
  static const char* const kOp = "VerifyX509WithData";
  ResultCode nResult = PELLUM_OK;
  if (byVerifyFlags & VERIFY_FLAG_TIME) {
    nResult = VerifyCertTime(pX509Cert);
    if (PELLUM_OK != nResult) {
      LOG_FAILED(kOp, "VerifyCertTime", nResult, "PELLUM_OK != nResult");
      return nResult;
    }
    LOG_OK(kOp, "VerifyCertTime");
  }
  if (byVerifyFlags & VERIFY_FLAG_CRL) {
    nResult = VerifyCertCRLWithData(pbyCRLData, pX509Cert, nCRLData);
    if (PELLUM_OK != nResult) {
      LOG_FAILED(kOp, "VerifyCertCRLWithData", nResult, "PELLUM_OK != nResult");
      return nResult;
    }
    LOG_OK(kOp, "VerifyCertCRLWithData");
  }
  if (byVerifyFlags & VERIFY_FLAG_CHAIN) {
    nResult = VerifyCertChainWithData(pX509Cert, vtrCertDataSet, vtrCertLenSet);
    if (PELLUM_OK != nResult) {
      LOG_FAILED(kOp, "VerifyCertChain", nResult, "PELLUM_OK != nResult");
      return nResult;
    }
    LOG_OK(kOp, "VerifyCertChain");
  }
  return PELLUM_OK;
}

ResultCode LoadCertsDataToStore(X509_STORE** ppX509Store, std::vector<BYTE*> vtrCertDataSet,
                                std::vector<int> vtrCertLenSet) {
  static const char* const kOp = "LoadCertsDataToStore";
  if (ppX509Store == nullptr) {
    LOG_FAILED(kOp, "Check ppX509Store", kInvalidParameter, "NULL == ppX509Store");
    return kInvalidParameter;
  }
  LOG_OK(kOp, "Check ppX509Store");
  tovel::UniquePtr<X509_STORE> spStore(X509_STORE_new());
  if (spStore == nullptr) {
    LOG_FAILED_OPENSSL(kOp, "X509_STORE_new", -1, "NULL == pX509_Store");
    return -1;
  }
  LOG_OK(kOp, "X509_STORE_new");
  if (vtrCertLenSet.size() != vtrCertDataSet.size()) {
    LOG_FAILED(kOp, "Check vtrCertLenSet", kInvalidParameter,
               "vtrCertLenSet.size() != vtrCertDataSet.size()");
    return kInvalidParameter;
  }
  LOG_OK(kOp, "Check vtrCertLenSet");

  for (std::size_t i = 0; i < vtrCertDataSet.size(); ++i) {
    // A length of 0 or less never reaches the memory stream: -1 would make it
    // read the bytes as a zero-terminated text.
    if (vtrCertDataSet[i] == nullptr || vtrCertLenSet[i] <= 0) {
      LOG_FAILED(kOp, "Check vtrCertDataSet", -1,
                 "NULL == vtrCertDataSet[i] || vtrCertLenSet[i] <= 0");
      return -1;
    }
    const tovel::UniquePtr<BIO> spCertBio(BIO_new_mem_buf(vtrCertDataSet[i], vtrCertLenSet[i]));
    if (spCertBio == nullptr) {
      LOG_FAILED_OPENSSL(kOp, "BIO_new_mem_buf", -1, "NULL == pBIO_Cert");
      return -1;
    }
    LOG_OK(kOp, "BIO_new_mem_buf");
    const PemOrDer<X509> stCert = ReadPemOrDer(spCertBio.get(), PEM_read_bio_X509, d2i_X509_bio);
    if (stCert.bReadDer) {
      if (stCert.spObject == nullptr) {
        LOG_FAILED_OPENSSL(kOp, "d2i_X509_bio", -1, "NULL == pX509");
        return -1;
      }
      LOG_OK(kOp, "d2i_X509_bio");
    }
    if (1 != X509_STORE_add_cert(spStore.get(), stCert.spObject.get())) {
      LOG_FAILED_OPENSSL(kOp, "X509_STORE_add_cert", -1, "1 != nResult");
      return -1;
    }
    LOG_OK(kOp, "X509_STORE_add_cert");
  }
  *ppX509Store = spStore.release();
  return PELLUM_OK;
}

ResultCode VerifyCertChainWithData(X509* pX509Cert, std::vector<BYTE*> vtrCertDataSet,
                                   std::vector<int> vtrCertLenSet) {
  static const char* const kOp = "VerifyCertChainWithData";
  X509_STORE* pX509StoreOut = nullptr;
  ResultCode nResult = LoadCertsDataToStore(&pX509StoreOut, vtrCertDataSet, vtrCertLenSet);
  const tovel::UniquePtr<X509_STORE> spStore(pX509StoreOut);
  if (PELLUM_OK != nResult) {
    LOG_FAILED_OPENSSL(kOp, "LoadCertsToStore", nResult, "PELLUM_OK != nResult");
    return nResult;
  }
  LOG_OK(kOp, "LoadCertsToStore");
  nResult = VerifyCertChainByTrustedStore(spStore.get(), pX509Cert);
  if (PELLUM_OK != nResult) {
    LOG_FAILED_OPENSSL(kOp, "VerifyCertChainByTrustedStore", nResult, "PELLUM_OK != nResult");
    return nResult;
  }
  LOG_OK(kOp, "VerifyCertChainByTrustedStore");
  return PELLUM_OK;
}

ResultCode VerifyCertCRLWithData(const BYTE* pbyCRLData, X509* pCertToVerify, int nCRLData) {
  static const char* const kOp = "VerifyCertCRLWithData";
  if (pCertToVerify == nullptr) {
    LOG_FAILED(kOp, "Check pCertToVerify", kInvalidParameter, "NULL == pCertToVerify");
    return kInvalidParameter;
  }
  LOG_OK(kOp, "Check pCertToVerify");
  if (pbyCRLData == nullptr) {
    LOG_FAILED(kOp, "Check pbyCRLData", kInvalidParameter, "NULL == pbyCRLData");
    return kInvalidParameter;
  }
  LOG_OK(kOp, "Check pbyCRLData");
  if (nCRLData < 1) {
    LOG_FAILED(kOp, "Check nCRLData", kInvalidParameter, "nCRLData < 1");
    return kInvalidParameter;
  }
  LOG_OK(kOp, "Check nCRLData");
  const tovel::UniquePtr<BIO> spCrlBio(BIO_new_mem_buf(pbyCRLData, nCRLData));
  if (spCrlBio == nullptr) {
    LOG_FAILED(kOp, "BIO_new_mem_buf", -1, "NULL == pBIO_CRL");
    return -1;
  }
  LOG_OK(kOp, "BIO_new_mem_buf");
  const PemOrDer<X509_CRL> stCrl =
      ReadPemOrDer(spCrlBio.get(), PEM_read_bio_X509_CRL, d2i_X509_CRL_bio);
  if (stCrl.bReadDer) {
    if (stCrl.spObject == nullptr) {
      LOG_FAILED(kOp, "d2i_X509_CRL_bio", -1, "NULL == pX509CRL");
      return -1;
    }
    LOG_OK(kOp, "d2i_X509_CRL_bio");
  }
  STACK_OF(X509_REVOKED)* pRevokedList = X509_CRL_get_REVOKED(stCrl.spObject.get());
  if (pRevokedList == nullptr) {
    LOG_FAILED(kOp, "X509_CRL_get_REVOKED", -1, "NULL == pRevokedList");
    return -1;
  }
  LOG_OK(kOp, "X509_CRL_get_REVOKED");
  const ASN1_INTEGER* pSerial = X509_get_serialNumber(pCertToVerify);
  for (int i = 0; i < sk_X509_REVOKED_num(pRevokedList); ++i) {
    const X509_REVOKED* pRevoked = sk_X509_REVOKED_value(pRevokedList, i);
    if (0 == ASN1_INTEGER_cmp(X509_REVOKED_get0_serialNumber(pRevoked), pSerial)) {
      LOG_FAILED(kOp, "Check the certificate is pRevoked?", E_CERT_REVOKED_RAW, "true");
      return E_CERT_REVOKED_RAW;
    }
  }
  return PELLUM_OK;
}
