// Server certificate validation of the agent: the certificate type, the policy
// (subject name, validity period, chain) and the trust store and CRL checks.
#define TOVEL_SOURCE_FILE "TovelAgent.cpp"
#include "agent/TovelAgentTrust.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstring>
#include <string>

#include "Host/Misc.h"
#include "Host/Tracing.h"
#include "agent/CertificateChecks.h"
#include "agent/CertificateOperations.h"
#include "agent/TovelAgent.h"
#include "platform/CryptoApi.h"
#include "platform/Threads.h"

namespace {

constexpr HRESULT HRESULT_INVALID_DATA = HRESULT_FROM_WIN32(13);  // ERROR_INVALID_DATA
constexpr ResultCode kInvalidParameter = static_cast<ResultCode>(ERROR_INVALID_PARAMETER);

// The name matches over its whole length: a common name with a zero byte
// inside never equals an accepted name.
bool IsAcceptedName(const char* pszSubjectCN, int nSubjectCNLen, const char* pszAcceptedName) {
  return pszAcceptedName != nullptr &&
         std::strlen(pszAcceptedName) == static_cast<std::size_t>(nSubjectCNLen) &&
         std::memcmp(pszSubjectCN, pszAcceptedName, nSubjectCNLen) == 0;
}

}  // namespace

HRESULT GetCertificateType(const char* pszBase64CertData, DWORD* pdwCertType) {
  static const char16_t* const kOp = u"GetCertificateType";
  TraceHelper trace(kOp);
  if (NULL == pdwCertType) {
    WIDE_LOG_FAILED(kOp, u"Check parameter(pdwCertType)", E_INVALIDARG, u"NULL == pdwCertType");
    return E_INVALIDARG;
  }
  *pdwCertType = 0;
  if (NULL == pszBase64CertData || 0 == std::strlen(pszBase64CertData)) {
    WIDE_LOG_FAILED(kOp, u"Check parameter(lpwBase64Cert&dwBase64CertLen)", E_INVALIDARG,
                    u"(NULL == pszBase64CertData || 0 == strlen(pszBase64CertData))");
    return E_INVALIDARG;
  }
  WIDE_LOG_OK(kOp, u"Check parameter(lpwBase64Cert&dwBase64CertLen)");

  BYTE* pbyCertData = NULL;
  int nCertDataLen = 0;
  PCCERT_CONTEXT pstNewCertificate = NULL;
  HRESULT hResult = Base64DecodeEx(pszBase64CertData, static_cast<int>(std::strlen(pszBase64CertData)),
                                   &pbyCertData, &nCertDataLen);
  if (FAILED(hResult)) {
    WIDE_LOG_FAILED(kOp, u"Base64DecodeEx", hResult, u"FAILED(hResult)");
  } else {
    WIDE_LOG_OK(kOp, u"Base64DecodeEx");
    pstNewCertificate = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                     pbyCertData, static_cast<DWORD>(nCertDataLen));
    if (NULL == pstNewCertificate) {
      hResult = LastErrorToFailure();
      WIDE_LOG_FAILED(kOp, u"CertCreateCertificateContext", hResult, u"pstNewCertificate == NULL");
    } else {
      WIDE_LOG_OK(kOp, u"CertCreateCertificateContext");
      if (S_OK == CheckCertSignatureAlg(pstNewCertificate, "1.2.156.10197")) {
        *pdwCertType = SM2_CERTIFICATE;
        hResult = S_OK;
      } else if (S_OK == CheckCertSignatureAlg(pstNewCertificate, "1.2.840.113549")) {
        *pdwCertType = RSA_CERTIFICATE;
        hResult = S_OK;
      } else {
        hResult = E_INVALID_KEY_ALGORITHM;
        WIDE_LOG_FAILED(kOp, u"Check certificate signature algorithm", hResult, u"TRUE");
      }
    }
  }
  delete[] pbyCertData;
  CertFreeCertificateContext(pstNewCertificate);
  return hResult;
}

HRESULT VerifyCertValidity(const BYTE* pbyCertData, int nCertDataLen, const char* pszTrustCertData,
                           const CertPolicy& stPolicy) {
  static const char16_t* const kOp = u"VerifyCertValidity";
  TraceHelper trace(kOp);
  BYTE byVerifyFlags = VERIFY_FLAG_TIME;
  std::vector<char*> vtrTrustEntries;
  std::vector<BYTE*> vtrCertDataSet;
  std::vector<int> vtrCertLenSet;
  X509* pX509Cert = NULL;
  char* pszSubjectCN = NULL;
  int nSubjectCNLen = 0;
  HRESULT hResult = S_OK;

  // One pass that stops at the first failure; everything is released below.
  do {
    if (NULL == pbyCertData) {
      hResult = E_INVALIDARG;
      WIDE_LOG_FAILED(kOp, u"Check pbyCertData", hResult, u"NULL == pbyCertData");
      break;
    }
    WIDE_LOG_OK(kOp, u"Check pbyCertData");

    ResultCode nResult = ConvertCertDataToX509(pbyCertData, nCertDataLen, &pX509Cert);
    if (PELLUM_OK != nResult) {
      hResult = StatusToHResult(nResult);
      WIDE_LOG_FAILED(kOp, u"ConvertCertDataToX509", hResult, u"PELLUM_OK != nResult");
      break;
    }
    WIDE_LOG_OK(kOp, u"ConvertCertDataToX509");

    nResult = GetX509SubjectCN(pX509Cert, &pszSubjectCN, &nSubjectCNLen);
    if (PELLUM_OK != nResult) {
      hResult = StatusToHResult(nResult);
      WIDE_LOG_FAILED(kOp, u"GetX509SubjectCN", hResult, u"PELLUM_OK != nResult");
      break;
    }
    WIDE_LOG_OK(kOp, u"GetX509SubjectCN");
    TRACE_VALUES(TraceMsg::TovelAgent::TrustSubjectCommonName, pszSubjectCN);

    if (!IsAcceptedName(pszSubjectCN, nSubjectCNLen, stPolicy.pszAcceptedName1) &&
        !IsAcceptedName(pszSubjectCN, nSubjectCNLen, stPolicy.pszAcceptedName2)) {
      hResult = HRESULT_INVALID_DATA;
      WIDE_LOG_FAILED(kOp, u"pszSubjectCN", hResult, u"TRUE");
      break;
    }

    if (NULL != pszTrustCertData) {
      TRACE_VALUES(TraceMsg::TovelAgent::TrustList, pszTrustCertData);
      byVerifyFlags = VERIFY_FLAG_TIME | VERIFY_FLAG_CHAIN;
      nResult = SplitString(pszTrustCertData, "|", vtrTrustEntries);
      if (0 != nResult) {
        hResult = StatusToHResult(nResult);
        WIDE_LOG_FAILED(kOp, u"SplitString", hResult, u"0 != nResult");
        break;
      }
      for (const char* pszEntry : vtrTrustEntries) {
        BYTE* pbyTrustCert = NULL;
        int nTrustCertLen = 0;
        hResult = Base64DecodeEx(pszEntry, static_cast<int>(std::strlen(pszEntry)), &pbyTrustCert,
                                 &nTrustCertLen);
        if (S_OK != hResult) {
          hResult = StatusToHResult(hResult);
          WIDE_LOG_FAILED(kOp, u"Base64DecodeEx", hResult, u"S_OK != hResult");
          delete[] pbyTrustCert;
          break;
        }
        WIDE_LOG_OK(kOp, u"Base64DecodeEx");
        vtrCertDataSet.push_back(pbyTrustCert);
        vtrCertLenSet.push_back(nTrustCertLen);
      }
      if (S_OK != hResult) break;
    }

    nResult = VerifyX509WithData(pX509Cert, byVerifyFlags, NULL, 0, vtrCertDataSet, vtrCertLenSet);
    if (PELLUM_OK != nResult) {
      hResult = StatusToHResult(nResult);
      WIDE_LOG_FAILED(kOp, u"VerifyX509WithData", hResult, u"PELLUM_OK != nResult");
      break;
    }
    WIDE_LOG_OK(kOp, u"VerifyX509WithData");
    hResult = S_OK;
  } while (false);

  FreeStringList(vtrTrustEntries);
  for (BYTE* pbyTrustCert : vtrCertDataSet) delete[] pbyTrustCert;
  X509_free(pX509Cert);
  delete[] pszSubjectCN;
  return hResult;
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
  if (NULL == ppX509Store) {
    LOG_FAILED(kOp, "Check ppX509Store", kInvalidParameter, "NULL == ppX509Store");
    return kInvalidParameter;
  }
  LOG_OK(kOp, "Check ppX509Store");
  X509_STORE* pX509_Store = X509_STORE_new();
  if (NULL == pX509_Store) {
    LOG_FAILED_OPENSSL(kOp, "X509_STORE_new", -1, "NULL == pX509_Store");
    return -1;
  }
  LOG_OK(kOp, "X509_STORE_new");
  if (vtrCertLenSet.size() != vtrCertDataSet.size()) {
    LOG_FAILED(kOp, "Check vtrCertLenSet", kInvalidParameter,
               "vtrCertLenSet.size() != vtrCertDataSet.size()");
    X509_STORE_free(pX509_Store);
    return kInvalidParameter;
  }
  LOG_OK(kOp, "Check vtrCertLenSet");

  for (std::size_t i = 0; i < vtrCertDataSet.size(); ++i) {
    // A length of 0 or less never reaches the memory stream: -1 would make it
    // read the bytes as a zero-terminated text.
    if (NULL == vtrCertDataSet[i] || vtrCertLenSet[i] <= 0) {
      LOG_FAILED(kOp, "Check vtrCertDataSet", -1, "NULL == vtrCertDataSet[i] || vtrCertLenSet[i] <= 0");
      X509_STORE_free(pX509_Store);
      return -1;
    }
    BIO* pBIO_Cert = BIO_new_mem_buf(vtrCertDataSet[i], vtrCertLenSet[i]);
    if (NULL == pBIO_Cert) {
      LOG_FAILED_OPENSSL(kOp, "BIO_new_mem_buf", -1, "NULL == pBIO_Cert");
      X509_STORE_free(pX509_Store);
      return -1;
    }
    LOG_OK(kOp, "BIO_new_mem_buf");
    X509* pX509 = PEM_read_bio_X509(pBIO_Cert, NULL, NULL, NULL);
    if (NULL == pX509) {
      BIO_ctrl(pBIO_Cert, BIO_CTRL_RESET, 0, NULL);
      pX509 = d2i_X509_bio(pBIO_Cert, NULL);
      if (NULL == pX509) {
        LOG_FAILED_OPENSSL(kOp, "d2i_X509_bio", -1, "NULL == pX509");
        BIO_free(pBIO_Cert);
        X509_STORE_free(pX509_Store);
        return -1;
      }
      LOG_OK(kOp, "d2i_X509_bio");
    }
    const int nResult = X509_STORE_add_cert(pX509_Store, pX509);
    X509_free(pX509);
    BIO_free(pBIO_Cert);
    if (1 != nResult) {
      LOG_FAILED_OPENSSL(kOp, "X509_STORE_add_cert", -1, "1 != nResult");
      X509_STORE_free(pX509_Store);
      return -1;
    }
    LOG_OK(kOp, "X509_STORE_add_cert");
  }
  *ppX509Store = pX509_Store;
  return PELLUM_OK;
}

ResultCode VerifyCertChainWithData(X509* pX509Cert, std::vector<BYTE*> vtrCertDataSet,
                                   std::vector<int> vtrCertLenSet) {
  static const char* const kOp = "VerifyCertChainWithData";
  X509_STORE* pX509Store = NULL;
  ResultCode nResult = LoadCertsDataToStore(&pX509Store, vtrCertDataSet, vtrCertLenSet);
  if (PELLUM_OK != nResult) {
    LOG_FAILED_OPENSSL(kOp, "LoadCertsToStore", nResult, "PELLUM_OK != nResult");
    return nResult;
  }
  LOG_OK(kOp, "LoadCertsToStore");
  nResult = VerifyCertChainByTrustedStore(pX509Store, pX509Cert);
  X509_STORE_free(pX509Store);
  if (PELLUM_OK != nResult) {
    LOG_FAILED_OPENSSL(kOp, "VerifyCertChainByTrustedStore", nResult, "PELLUM_OK != nResult");
    return nResult;
  }
  LOG_OK(kOp, "VerifyCertChainByTrustedStore");
  return PELLUM_OK;
}

ResultCode VerifyCertCRLWithData(const BYTE* pbyCRLData, X509* pCertToVerify, int nCRLData) {
  static const char* const kOp = "VerifyCertCRLWithData";
  if (NULL == pCertToVerify) {
    LOG_FAILED(kOp, "Check pCertToVerify", kInvalidParameter, "NULL == pCertToVerify");
    return kInvalidParameter;
  }
  LOG_OK(kOp, "Check pCertToVerify");
  if (NULL == pbyCRLData) {
    LOG_FAILED(kOp, "Check pbyCRLData", kInvalidParameter, "NULL == pbyCRLData");
    return kInvalidParameter;
  }
  LOG_OK(kOp, "Check pbyCRLData");
  if (nCRLData < 1) {
    LOG_FAILED(kOp, "Check nCRLData", kInvalidParameter, "nCRLData < 1");
    return kInvalidParameter;
  }
  LOG_OK(kOp, "Check nCRLData");
  BIO* pBIO_CRL = BIO_new_mem_buf(pbyCRLData, nCRLData);
  if (NULL == pBIO_CRL) {
    LOG_FAILED(kOp, "BIO_new_mem_buf", -1, "NULL == pBIO_CRL");
    return -1;
  }
  LOG_OK(kOp, "BIO_new_mem_buf");
  X509_CRL* pX509CRL = PEM_read_bio_X509_CRL(pBIO_CRL, NULL, NULL, NULL);
  if (NULL == pX509CRL) {
    BIO_ctrl(pBIO_CRL, BIO_CTRL_RESET, 0, NULL);
    pX509CRL = d2i_X509_CRL_bio(pBIO_CRL, NULL);
    if (NULL == pX509CRL) {
      LOG_FAILED(kOp, "d2i_X509_CRL_bio", -1, "NULL == pX509CRL");
      BIO_free(pBIO_CRL);
      return -1;
    }
    LOG_OK(kOp, "d2i_X509_CRL_bio");
  }
  ResultCode nResult = PELLUM_OK;
  STACK_OF(X509_REVOKED)* pRevokedList = X509_CRL_get_REVOKED(pX509CRL);
  if (NULL == pRevokedList) {
    LOG_FAILED(kOp, "X509_CRL_get_REVOKED", -1, "NULL == pRevokedList");
    nResult = -1;
  } else {
    LOG_OK(kOp, "X509_CRL_get_REVOKED");
    const ASN1_INTEGER* pSerial = X509_get_serialNumber(pCertToVerify);
    for (int i = 0; i < sk_X509_REVOKED_num(pRevokedList); ++i) {
      const X509_REVOKED* pRevoked = sk_X509_REVOKED_value(pRevokedList, i);
      if (0 == ASN1_INTEGER_cmp(X509_REVOKED_get0_serialNumber(pRevoked), pSerial)) {
        LOG_FAILED(kOp, "Check the certificate is pRevoked?", E_CERT_REVOKED_RAW, "true");
        nResult = E_CERT_REVOKED_RAW;
        break;
      }
    }
  }
  X509_CRL_free(pX509CRL);
  BIO_free(pBIO_CRL);
  return nResult;
}
