// The device identity agent: the encrypted MAC list for the service's server
// certificate, and the description of the last status.
#include "agent/TovelAgent.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <memory>

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
#include "platform/UniquePtr.h"
#include "resources/StringTable.h"
#include "smext/smext.h"

namespace {

// "\n(0x%08x)": a line break, the code in 8 hex digits in brackets.
constexpr int STATUS_SUFFIX_CHARS = 13;

// The operation named in the step lines of GetMacAddress and its steps.
const char16_t* const kMacOp = u"CTovelAgent::GetMacAddress";

// The step line of one step of GetMacAddress: the failed line with hResult
// and the reason when bFailed, the OK line otherwise, at the caller's line.
// True when it succeeded.
bool MacStep(const char16_t* pszStep, bool bFailed, HRESULT hResult, const char16_t* pszReason,
             int nCallerLine = TOVEL_CALLER_LINE) {
  if (bFailed) {
    WIDE_LOG_FAILED_AT(nCallerLine, kMacOp, pszStep, hResult, pszReason);
    return false;
  }
  WIDE_LOG_OK(kMacOp, pszStep);
  return true;
}

// The steps of GetMacAddress below return S_OK or the failing step's status.

// The certificate text is given, not empty and not longer than any server
// certificate: a longer one is refused before it is copied, decoded and
// parsed again and again.
HRESULT CheckCertText(const char16_t* bstrBase64ServerCert) {
  if (bstrBase64ServerCert == nullptr || wcslen16(bstrBase64ServerCert) == 0) {
    WIDE_LOG_FAILED(kMacOp, u"Check parameter(bstrBase64ServerCert)", E_INVALIDARG,
                    u"(NULL == bstrBase64ServerCert || 0 == wcslen(bstrBase64ServerCert))");
    return E_INVALIDARG;
  }
  if (wcslen16(bstrBase64ServerCert) > MAX_CERT_TEXT_LEN) {
    WIDE_LOG_FAILED(kMacOp, u"Check parameter(bstrBase64ServerCert)", E_INVALIDARG,
                    u"wcslen(bstrBase64ServerCert) > MAX_CERT_TEXT_LEN");
    return E_INVALIDARG;
  }
  WIDE_LOG_OK(kMacOp, u"Check parameter(bstrBase64ServerCert)");
  TRACE_VALUES(TraceMsg::TovelAgent::ServerCertificate, bstrBase64ServerCert);
  return S_OK;
}

// The bytes of the Base64 certificate text, which must be signed with RSA,
// in *pspbyCertData (*pnCertDataLen bytes).
HRESULT DecodeRsaCert(const char16_t* bstrBase64ServerCert, std::unique_ptr<BYTE[]>* pspbyCertData,
                      int* pnCertDataLen) {
  char* pszUTF8ServerCert = nullptr;
  int nUTF8ServerCertLen = 0;
  HRESULT hResult = UTF16ToUTF8(bstrBase64ServerCert, &pszUTF8ServerCert, &nUTF8ServerCertLen);
  const std::unique_ptr<char[]> spUTF8ServerCert(pszUTF8ServerCert);
  if (!MacStep(u"UTF16ToUTF8", FAILED(hResult), hResult, u"FAILED(hResult)")) return hResult;

  DWORD dwCertType = 0;
  hResult = GetCertificateType(pszUTF8ServerCert, &dwCertType);
  if (!MacStep(u"GetCertificateType", FAILED(hResult), hResult, u"FAILED(hResult)")) return hResult;
  TRACE_VALUES(TraceMsg::TovelAgent::CertificateType, dwCertType);

  if (!MacStep(u"dwCertType", dwCertType != RSA_CERTIFICATE, E_INVALID_KEY_ALGORITHM,
               u"RSA_CERTIFICATE != dwCertType"))
    return E_INVALID_KEY_ALGORITHM;

  BYTE* pbyCertData = nullptr;
  hResult = Base64DecodeEx(pszUTF8ServerCert, nUTF8ServerCertLen, &pbyCertData, pnCertDataLen);
  pspbyCertData->reset(pbyCertData);
  if (!MacStep(u"Base64DecodeEx", FAILED(hResult), hResult, u"FAILED(hResult)")) return hResult;
  return S_OK;
}

// The checks before the certificate's key is used: the bytes are exactly one
// DER certificate, whose key usage allows encipherment, and the policy holds
// (its names, validity period and trust list).
HRESULT CheckServerCert(const BYTE* pbyCertData, int nCertDataLen, const CertPolicy& stPolicy) {
  const UniqueCertContext spEncCertificate(CertCreateCertificateContext(
      X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, pbyCertData, static_cast<DWORD>(nCertDataLen)));
  if (spEncCertificate == nullptr) {
    const HRESULT hResult = LastErrorToHResult();
    WIDE_LOG_FAILED(kMacOp, u"CertCreateCertificateContext", hResult, u"pstEncCertificate == NULL");
    return hResult;
  }
  WIDE_LOG_OK(kMacOp, u"CertCreateCertificateContext");

  HRESULT hResult = CheckCertKeyUsage(spEncCertificate.get());
  if (!MacStep(u"CheckCertKeyUsage", FAILED(hResult), hResult, u"FAILED(hResult)")) return hResult;

  // The checks read the trust list from a copy of the agent's own.
  const std::unique_ptr<char[]> spTrustCertData = CopyText(stPolicy.pszTrustCertData);
  if (!MacStep(u"New buffer", spTrustCertData == nullptr, E_OUTOFMEMORY,
               u"NULL == pszTrustCertData"))
    return E_OUTOFMEMORY;

  hResult = StatusToHResult(
      VerifyCertValidity(pbyCertData, nCertDataLen, spTrustCertData.get(), stPolicy));
  MacStep(u"VerifyCertValidity", hResult != S_OK, hResult, u"S_OK != hResult");
  return hResult;
}

// The certificate of the bytes when they are exactly one DER certificate;
// null otherwise.
tovel::UniquePtr<X509> ReadSingleDerCert(const BYTE* pbyCertData, int nCertDataLen) {
  const unsigned char* pbyDerCursor = pbyCertData;
  tovel::UniquePtr<X509> spX509Cert(d2i_X509(nullptr, &pbyDerCursor, nCertDataLen));
  if (pbyDerCursor != pbyCertData + nCertDataLen) spX509Cert.reset();
  return spX509Cert;
}

// The machine's MAC list encrypted under the certificate's RSA key, in
// *pspbyEncryptedData (*pnEncryptedDataSize bytes).
HRESULT EncryptMacList(const BYTE* pbyCertData, int nCertDataLen,
                       std::unique_ptr<BYTE[]>* pspbyEncryptedData, int* pnEncryptedDataSize) {
  char* pszMacInfo = nullptr;
  HRESULT hResult = StatusToHResult(GetNetInfoString(&pszMacInfo));
  const std::unique_ptr<char[]> spMacInfo(pszMacInfo);
  if (!MacStep(u"GetNetInfoString", hResult != S_OK, hResult, u"S_OK != hResult")) return hResult;
  TRACE_VALUES(TraceMsg::TovelAgent::MacList, pszMacInfo);

  // The bytes were taken as exactly one certificate at the context step; the
  // key comes from that same certificate and from nothing beside it.
  const tovel::UniquePtr<X509> spX509Cert = ReadSingleDerCert(pbyCertData, nCertDataLen);
  if (!MacStep(u"d2i_X509", spX509Cert == nullptr, -1, u"NULL == pX509Cert")) return -1;

  BYTE* pbyEncryptedData = nullptr;
  hResult = StatusToHResult(RSAEncryptByX509(
      &pbyEncryptedData, pnEncryptedDataSize, spX509Cert.get(),
      reinterpret_cast<const BYTE*>(pszMacInfo), static_cast<int>(std::strlen(pszMacInfo))));
  pspbyEncryptedData->reset(pbyEncryptedData);
  MacStep(u"RSAEncryptByX509", hResult != S_OK, hResult, u"PELLUM_OK != nResult");
  return hResult;
}

// The ciphertext in Base64, as UTF-16 text in *pspszUTF16MacInfo.
HRESULT EncodeCiphertext(const BYTE* pbyEncryptedData, int nEncryptedDataSize,
                         std::unique_ptr<char16_t[]>* pspszUTF16MacInfo) {
  char* pszBase64MacInfo = nullptr;
  int nBase64MacInfoLen = 0;
  HRESULT hResult = StatusToHResult(
      Base64EncodeEx(pbyEncryptedData, nEncryptedDataSize, &pszBase64MacInfo, &nBase64MacInfoLen));
  const std::unique_ptr<char[]> spBase64MacInfo(pszBase64MacInfo);
  if (!MacStep(u"Base64EncodeEx", hResult != S_OK, hResult, u"S_OK != hResult")) return hResult;

  char16_t* pszUTF16MacInfo = nullptr;
  hResult = StatusToHResult(UTF8ToUTF16(pszBase64MacInfo, &pszUTF16MacInfo, nullptr));
  pspszUTF16MacInfo->reset(pszUTF16MacInfo);
  MacStep(u"UTF8ToUTF16", hResult != S_OK, hResult, u"S_OK != hResult");
  return hResult;
}

// The road of GetMacAddress from the certificate text to the encrypted MAC
// list in Base64 (*pspszUTF16MacInfo), checked under stPolicy.
HRESULT RunMacRoad(const char16_t* bstrBase64ServerCert, const CertPolicy& stPolicy,
                   std::unique_ptr<char16_t[]>* pspszUTF16MacInfo) {
  HRESULT hResult = CheckCertText(bstrBase64ServerCert);
  if (hResult != S_OK) return hResult;

  std::unique_ptr<BYTE[]> spbyCertData;
  int nCertDataLen = 0;
  hResult = DecodeRsaCert(bstrBase64ServerCert, &spbyCertData, &nCertDataLen);
  if (hResult != S_OK) return hResult;

  hResult = CheckServerCert(spbyCertData.get(), nCertDataLen, stPolicy);
  if (hResult != S_OK) return hResult;

  std::unique_ptr<BYTE[]> spbyEncryptedData;
  int nEncryptedDataSize = 0;
  hResult =
      EncryptMacList(spbyCertData.get(), nCertDataLen, &spbyEncryptedData, &nEncryptedDataSize);
  if (hResult != S_OK) return hResult;

  return EncodeCiphertext(spbyEncryptedData.get(), nEncryptedDataSize, pspszUTF16MacInfo);
}

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

CTovelAgent::CTovelAgent(const CertPolicy& stPolicy) : m_stPolicy(stPolicy) {
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

HRESULT CTovelAgent::GetMacAddress(const char16_t* bstrBase64ServerCert,
                                   char16_t** pbstrMacAddress) {
  TraceHelper traceHelper(u"CTovelAgent::GetMacAddress");
  if (pbstrMacAddress == nullptr) {
    WIDE_LOG_FAILED(kMacOp, u"Check parameter(pbstrMacAddress)", E_POINTER,
                    u"NULL == pbstrMacAddress");
    m_hLastResult = E_POINTER;
    return m_hLastResult;
  }
  *pbstrMacAddress = nullptr;

  HRESULT hResult = S_OK;
  std::unique_ptr<char16_t[]> spUTF16MacInfo;
  // No exception leaves the agent: one from a step ends the road like a failed
  // step, and what the road made is released as it unwinds.
  try {
    hResult = RunMacRoad(bstrBase64ServerCert, m_stPolicy, &spUTF16MacInfo);
  } catch (const std::bad_alloc&) {
    hResult = E_OUTOFMEMORY;
    WIDE_LOG_FAILED(kMacOp, u"New Memory", hResult, u"std::bad_alloc");
  } catch (...) {
    hResult = E_FAIL;
    WIDE_LOG_FAILED(kMacOp, u"Exception", hResult, u"exception");
  }

  *pbstrMacAddress =
      SysAllocString(hResult == S_OK && spUTF16MacInfo != nullptr ? spUTF16MacInfo.get() : u"");
  if (*pbstrMacAddress == nullptr) {
    hResult = E_OUTOFMEMORY;
    WIDE_LOG_FAILED(kMacOp, u"SysAllocString", hResult, u"NULL == *pbstrMacAddress");
  }
  m_hLastResult = hResult;
  return hResult;
}

HRESULT CTovelAgent::GetLastErrorDesc(char16_t** pbstrDesc) {
  TraceHelper traceHelper(u"CTovelAgent::GetLastErrorDesc");
  if (pbstrDesc == nullptr) return E_POINTER;
  *pbstrDesc = nullptr;
  char16_t szDesc[DESC_BUFFER_CHARS] = {};

  std::uint32_t dwCode = static_cast<std::uint32_t>(m_hLastResult);
  if ((dwCode & OWN_STATUS_BIT) != 0) {
    std::uint32_t dwStringId = dwCode & 0xFFFFu;
    TRACE_VALUES(TraceMsg::TovelAgent::OwnStatus, dwCode);
    TRACE_VALUES(TraceMsg::TovelAgent::StringId, dwStringId);
    LoadStringW(GetModuleHandleW(nullptr), dwStringId, szDesc, DESC_MAX_CHARS);
  } else {
    TRACE_VALUES(TraceMsg::TovelAgent::SystemStatus, dwCode);
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, dwCode, 0, szDesc, DESC_MAX_CHARS, nullptr);
  }
  AppendStatusSuffix(szDesc, m_hLastResult);
  TRACE_VALUES(TraceMsg::TovelAgent::ErrorDescription, szDesc);

  *pbstrDesc = SysAllocString(szDesc);
  return *pbstrDesc == nullptr ? E_OUTOFMEMORY : S_OK;
}
