// The device identity agent: the encrypted MAC list for the service's server
// certificate, and the description of the last status.
#include "agent/TovelAgent.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "Host/Misc.h"
#include "Host/Tracing.h"
#include "agent/CertificateChecks.h"
#include "agent/DeviceInfo.h"
#include "agent/RSADataEncryption.h"
#include "agent/TovelAgentTrust.h"
#include "platform/Bstr.h"
#include "platform/CryptoApi.h"
#include "platform/Module.h"
#include "platform/NetClassKey.h"
#include "platform/Resources.h"
#include "platform/Threads.h"
#include "platform/Unicode.h"
#include "resources/StringTable.h"
#include "smext/smext.h"

namespace {

// "\n(0x%08x)": a line break, the code in 8 hex digits in brackets.
constexpr int STATUS_SUFFIX_CHARS = 13;

}  // namespace

void AppendStatusSuffix(char16_t* pszDesc, HRESULT hCode) {
  char szSuffix[STATUS_SUFFIX_CHARS + 1];
  std::snprintf(szSuffix, sizeof szSuffix, "\n(0x%08x)", static_cast<unsigned>(hCode));
  std::size_t nTextLen = wcslen16(pszDesc);
  // The text and the suffix share the DESC_MAX_CHARS units of the buffer with
  // the terminator; a long text gives up its end so that the code always shows.
  constexpr std::size_t nMaxTextLen = DESC_MAX_CHARS - 1 - STATUS_SUFFIX_CHARS;
  if (nTextLen > nMaxTextLen) nTextLen = nMaxTextLen;
  for (int nIndex = 0; nIndex <= STATUS_SUFFIX_CHARS; ++nIndex)
    pszDesc[nTextLen + nIndex] = static_cast<char16_t>(szSuffix[nIndex]);
}

CTovelAgent::CTovelAgent() {
  smext_add_all_algorithms();
  // Without the class key (no memory to mount it) every adapter counts as
  // virtual, as with any other registry failure.
  MountNetClassKey();
}

CTovelAgent::~CTovelAgent() {
  CRYPTO_cleanup_all_ex_data();
  ERR_free_strings();
  EVP_cleanup();
}

HRESULT CTovelAgent::GetMacAddress(const char16_t* bstrBase64ServerCert, char16_t** pbstrMacAddress) {
  TraceHelper traceHelper(u"CTovelAgent::GetMacAddress");
  const char16_t* pszOperation = u"CTovelAgent::GetMacAddress";
  HRESULT hResult = S_OK;
  char* pszUTF8ServerCert = nullptr;
  int nUTF8ServerCertLen = 0;
  DWORD dwCertType = 0;
  BYTE* pbyCertData = nullptr;
  int nCertDataLen = 0;
  PCCERT_CONTEXT pstEncCertificate = nullptr;
  char* pszTrustCertData = nullptr;
  char* pszMacInfo = nullptr;
  X509* pX509Cert = nullptr;
  BYTE* pbyEncryptedData = nullptr;
  int nEncryptedDataSize = 0;
  char* pszBase64MacInfo = nullptr;
  int nBase64MacInfoLen = 0;
  char16_t* pszUTF16MacInfo = nullptr;
  int nUTF16MacInfoLen = 0;

  if (pbstrMacAddress == nullptr) {
    WIDE_LOG_FAILED(pszOperation, u"Check parameter(pbstrMacAddress)", E_POINTER,
                    u"NULL == pbstrMacAddress");
    hLastResult = E_POINTER;
    return hLastResult;
  }
  *pbstrMacAddress = nullptr;

  // No exception leaves the agent: one from a call below ends the road like a
  // failed step, and everything the call made is released after it.
  try {
    do {
      if (bstrBase64ServerCert == nullptr || wcslen16(bstrBase64ServerCert) == 0) {
        hResult = E_INVALIDARG;
        WIDE_LOG_FAILED(pszOperation, u"Check parameter(bstrBase64ServerCert)", hResult,
                        u"(NULL == bstrBase64ServerCert || 0 == wcslen(bstrBase64ServerCert))");
        break;
      }
      // No server certificate comes near this length; a longer text is
      // refused before it is copied, decoded and parsed again and again.
      if (wcslen16(bstrBase64ServerCert) > MAX_CERT_TEXT_LEN) {
        hResult = E_INVALIDARG;
        WIDE_LOG_FAILED(pszOperation, u"Check parameter(bstrBase64ServerCert)", hResult,
                        u"wcslen(bstrBase64ServerCert) > MAX_CERT_TEXT_LEN");
        break;
      }
      WIDE_LOG_OK(pszOperation, u"Check parameter(bstrBase64ServerCert)");
      TRACE_VALUES(TraceMsg::TovelAgent::ServerCertificate, bstrBase64ServerCert);

      hResult = UTF16ToUTF8(bstrBase64ServerCert, &pszUTF8ServerCert, &nUTF8ServerCertLen);
      if (FAILED(hResult)) {
        WIDE_LOG_FAILED(pszOperation, u"UTF16ToUTF8", hResult, u"FAILED(hResult)");
        break;
      }
      WIDE_LOG_OK(pszOperation, u"UTF16ToUTF8");

      hResult = GetCertificateType(pszUTF8ServerCert, &dwCertType);
      if (FAILED(hResult)) {
        WIDE_LOG_FAILED(pszOperation, u"GetCertificateType", hResult, u"FAILED(hResult)");
        break;
      }
      WIDE_LOG_OK(pszOperation, u"GetCertificateType");
      TRACE_VALUES(TraceMsg::TovelAgent::CertificateType, dwCertType);

      if (dwCertType != RSA_CERTIFICATE) {
        hResult = E_INVALID_KEY_ALGORITHM;
        WIDE_LOG_FAILED(pszOperation, u"dwCertType", hResult, u"RSA_CERTIFICATE != dwCertType");
        break;
      }
      WIDE_LOG_OK(pszOperation, u"dwCertType");

      hResult = Base64DecodeEx(pszUTF8ServerCert, nUTF8ServerCertLen, &pbyCertData, &nCertDataLen);
      if (FAILED(hResult)) {
        WIDE_LOG_FAILED(pszOperation, u"Base64DecodeEx", hResult, u"FAILED(hResult)");
        break;
      }
      WIDE_LOG_OK(pszOperation, u"Base64DecodeEx");

      pstEncCertificate = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, pbyCertData,
                                                       static_cast<DWORD>(nCertDataLen));
      if (pstEncCertificate == nullptr) {
        hResult = LastErrorToHResult();
        WIDE_LOG_FAILED(pszOperation, u"CertCreateCertificateContext", hResult,
                        u"pstEncCertificate == NULL");
        break;
      }
      WIDE_LOG_OK(pszOperation, u"CertCreateCertificateContext");

      hResult = CheckCertKeyUsage(pstEncCertificate);
      if (FAILED(hResult)) {
        WIDE_LOG_FAILED(pszOperation, u"CheckCertKeyUsage", hResult, u"FAILED(hResult)");
        break;
      }
      WIDE_LOG_OK(pszOperation, u"CheckCertKeyUsage");

      const char* pszPolicyTrustCertData = BuiltInCertPolicy().pszTrustCertData;
      std::size_t nTrustCertDataLen = std::strlen(pszPolicyTrustCertData);
      pszTrustCertData = new (std::nothrow) char[nTrustCertDataLen + 1]();
      if (pszTrustCertData == nullptr) {
        hResult = E_OUTOFMEMORY;
        WIDE_LOG_FAILED(pszOperation, u"New buffer", hResult, u"NULL == pszTrustCertData");
        break;
      }
      std::memcpy(pszTrustCertData, pszPolicyTrustCertData, nTrustCertDataLen);
      WIDE_LOG_OK(pszOperation, u"New buffer");

      hResult = StatusToHResult(VerifyCertValidity(pbyCertData, nCertDataLen, pszTrustCertData));
      if (hResult != S_OK) {
        WIDE_LOG_FAILED(pszOperation, u"VerifyCertValidity", hResult, u"S_OK != hResult");
        break;
      }
      WIDE_LOG_OK(pszOperation, u"VerifyCertValidity");

      hResult = StatusToHResult(GetNetInfoString(&pszMacInfo));
      if (hResult != S_OK) {
        WIDE_LOG_FAILED(pszOperation, u"GetNetInfoString", hResult, u"S_OK != hResult");
        break;
      }
      WIDE_LOG_OK(pszOperation, u"GetNetInfoString");
      TRACE_VALUES(TraceMsg::TovelAgent::MacList, pszMacInfo);

      // The bytes were taken as exactly one certificate at the context step;
      // the key comes from that same certificate and from nothing beside it.
      const unsigned char* pbyDerCursor = pbyCertData;
      pX509Cert = d2i_X509(nullptr, &pbyDerCursor, nCertDataLen);
      if (pX509Cert != nullptr && pbyDerCursor != pbyCertData + nCertDataLen) {
        X509_free(pX509Cert);
        pX509Cert = nullptr;
      }
      if (pX509Cert == nullptr) {
        hResult = -1;
        WIDE_LOG_FAILED(pszOperation, u"d2i_X509", hResult, u"NULL == pX509Cert");
        break;
      }
      WIDE_LOG_OK(pszOperation, u"d2i_X509");

      hResult = StatusToHResult(RSAEncryptByX509(&pbyEncryptedData, &nEncryptedDataSize, pX509Cert,
                                                 reinterpret_cast<const BYTE*>(pszMacInfo),
                                                 static_cast<int>(std::strlen(pszMacInfo))));
      if (hResult != S_OK) {
        WIDE_LOG_FAILED(pszOperation, u"RSAEncryptByX509", hResult, u"PELLUM_OK != nResult");
        break;
      }
      WIDE_LOG_OK(pszOperation, u"RSAEncryptByX509");

      hResult = StatusToHResult(
          Base64EncodeEx(pbyEncryptedData, nEncryptedDataSize, &pszBase64MacInfo, &nBase64MacInfoLen));
      if (hResult != S_OK) {
        WIDE_LOG_FAILED(pszOperation, u"Base64EncodeEx", hResult, u"S_OK != hResult");
        break;
      }
      WIDE_LOG_OK(pszOperation, u"Base64EncodeEx");

      hResult = StatusToHResult(UTF8ToUTF16(pszBase64MacInfo, &pszUTF16MacInfo, &nUTF16MacInfoLen));
      if (hResult != S_OK) {
        WIDE_LOG_FAILED(pszOperation, u"UTF8ToUTF16", hResult, u"S_OK != hResult");
        break;
      }
      WIDE_LOG_OK(pszOperation, u"UTF8ToUTF16");
    } while (false);
  } catch (const std::bad_alloc&) {
    hResult = E_OUTOFMEMORY;
    WIDE_LOG_FAILED(pszOperation, u"New Memory", hResult, u"std::bad_alloc");
  } catch (...) {
    hResult = E_FAIL;
    WIDE_LOG_FAILED(pszOperation, u"Exception", hResult, u"exception");
  }

  *pbstrMacAddress = SysAllocString(hResult == S_OK && pszUTF16MacInfo != nullptr ? pszUTF16MacInfo : u"");
  if (*pbstrMacAddress == nullptr) {
    hResult = E_OUTOFMEMORY;
    WIDE_LOG_FAILED(pszOperation, u"SysAllocString", hResult, u"NULL == *pbstrMacAddress");
  }

  delete[] pszUTF8ServerCert;
  delete[] pbyCertData;
  CertFreeCertificateContext(pstEncCertificate);
  delete[] pszTrustCertData;
  X509_free(pX509Cert);
  delete[] pszMacInfo;
  delete[] pbyEncryptedData;
  delete[] pszBase64MacInfo;
  delete[] pszUTF16MacInfo;

  hLastResult = hResult;
  return hResult;
}

HRESULT CTovelAgent::GetLastErrorDesc(char16_t** pbstrDesc) {
  TraceHelper traceHelper(u"CTovelAgent::GetLastErrorDesc");
  if (pbstrDesc == nullptr) return E_POINTER;
  *pbstrDesc = nullptr;
  char16_t szDesc[DESC_BUFFER_CHARS] = {};

  std::uint32_t dwCode = static_cast<std::uint32_t>(hLastResult);
  if ((dwCode & OWN_STATUS_BIT) != 0) {
    std::uint32_t dwStringId = dwCode & 0xFFFFu;
    TRACE_VALUES(TraceMsg::TovelAgent::OwnStatus, dwCode);
    TRACE_VALUES(TraceMsg::TovelAgent::StringId, dwStringId);
    LoadStringW(GetModuleHandleW(nullptr), dwStringId, szDesc, DESC_MAX_CHARS);
  } else {
    TRACE_VALUES(TraceMsg::TovelAgent::SystemStatus, dwCode);
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, dwCode, 0, szDesc, DESC_MAX_CHARS, nullptr);
  }
  AppendStatusSuffix(szDesc, hLastResult);
  TRACE_VALUES(TraceMsg::TovelAgent::ErrorDescription, szDesc);

  *pbstrDesc = SysAllocString(szDesc);
  return *pbstrDesc == nullptr ? E_OUTOFMEMORY : S_OK;
}
