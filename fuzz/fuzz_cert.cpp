// The certificate road of "GetMacAddress" up to the encryption: the input is
// the decoded certificate bytes, handed to the agent in Base64 as the request
// would carry them. The agent is made with the seed PKI's policy and runs
// over a fake adapter list. Whenever it answers success:
//   - the bytes are exactly one DER certificate, nothing before or after it;
//   - that certificate carries an accepted name, key usage for encipherment,
//     an RSA signature, and verifies against the seed root and intermediate;
//   - the result is one RSA block for the certificate's key, and when that
//     key is the seed server key it decrypts to the machine's MAC list.
// On failure the result is the empty text.
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "agent/DeviceInfo.h"
#include "agent/TovelAgent.h"
#include "fuzz/FuzzPolicy.h"
#include "fuzz/FuzzSupport.h"
#include "platform/Bstr.h"

namespace {

CTovelAgent* g_pAgent = nullptr;
X509_STORE* g_pStore = nullptr;
std::string g_macList;

X509* ReadDer(const std::string& der) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  return d2i_X509(nullptr, &p, static_cast<long>(der.size()));
}

std::string Base64(const std::string& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(n));
  return text;
}

std::string Unbase64(const std::string& text) {
  std::string bytes(text.size(), '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  fuzz::Check(n >= 0, "result is not Base64", text);
  std::size_t nPad = 0;
  while (nPad < 2 && nPad < text.size() && text[text.size() - 1 - nPad] == '=') ++nPad;
  bytes.resize(static_cast<std::size_t>(n) - nPad);
  return bytes;
}

bool NameAccepted(X509* pCert) {
  X509_NAME* pName = X509_get_subject_name(pCert);
  const int nIndex = X509_NAME_get_index_by_NID(pName, NID_commonName, -1);
  if (nIndex < 0) return false;
  const ASN1_STRING* pValue = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(pName, nIndex));
  unsigned char* pszUtf8 = nullptr;
  const int nLen = ASN1_STRING_to_UTF8(&pszUtf8, pValue);
  if (nLen < 0) return false;
  const std::string name(reinterpret_cast<char*>(pszUtf8), static_cast<std::size_t>(nLen));
  OPENSSL_free(pszUtf8);
  const CertPolicy& stPolicy = fuzz::SeedCertPolicy();
  return name == stPolicy.pszAcceptedName1 || name == stPolicy.pszAcceptedName2;
}

bool ChainVerifies(X509* pCert) {
  X509_STORE_CTX* pCtx = X509_STORE_CTX_new();
  const bool bOk = pCtx != nullptr && X509_STORE_CTX_init(pCtx, g_pStore, pCert, nullptr) == 1 &&
                   X509_verify_cert(pCtx) == 1;
  X509_STORE_CTX_free(pCtx);
  return bOk;
}

bool RsaSigned(X509* pCert) {
  char szOid[128] = {};
  OBJ_obj2txt(szOid, sizeof szOid, X509_get0_tbs_sigalg(pCert)->algorithm, 1);
  return std::strncmp(szOid, "1.2.840.113549", 14) == 0;
}

void CheckAccepted(const std::string& der, const std::string& result) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  X509* pCert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  const bool bExactlyOne =
      pCert != nullptr && p == reinterpret_cast<const unsigned char*>(der.data()) + der.size();
  if (!bExactlyOne) {
    X509_free(pCert);
    // Until the road reads one certificate for every check, spliced bytes
    // pass; an expected run lets them through so that it can look further.
    if (fuzz::FaultExpected("cert-splice")) return;
    fuzz::Fail("accepted bytes that are not exactly one DER certificate", der);
  }
  fuzz::Check(NameAccepted(pCert), "accepted a certificate without an accepted name", der);
  fuzz::Check((X509_get_key_usage(pCert) & (KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT)) != 0 &&
                  (X509_get_extension_flags(pCert) & EXFLAG_KUSAGE) != 0,
              "accepted a certificate without encipherment key usage", der);
  fuzz::Check(RsaSigned(pCert), "accepted a certificate without an RSA signature", der);
  fuzz::Check(ChainVerifies(pCert),
              "accepted a certificate that does not chain to the policy's CAs", der);

  EVP_PKEY* pKey = X509_get0_pubkey(pCert);
  fuzz::Check(pKey != nullptr && EVP_PKEY_is_a(pKey, "RSA"),
              "accepted a certificate without an RSA key", der);
  const std::string cipher = Unbase64(result);
  fuzz::Check(cipher.size() == static_cast<std::size_t>(EVP_PKEY_get_size(pKey)),
              "result is not one RSA block of the certificate's key", result);
  if (EVP_PKEY_eq(pKey, fuzz::SeedServerKey()) == 1) {
    EVP_PKEY_CTX* pCtx = EVP_PKEY_CTX_new(fuzz::SeedServerKey(), nullptr);
    std::string plain(cipher.size(), '\0');
    std::size_t nPlain = plain.size();
    const bool bOk =
        pCtx != nullptr && EVP_PKEY_decrypt_init(pCtx) == 1 &&
        EVP_PKEY_CTX_set_rsa_padding(pCtx, RSA_PKCS1_PADDING) == 1 &&
        EVP_PKEY_decrypt(pCtx, reinterpret_cast<unsigned char*>(plain.data()), &nPlain,
                         reinterpret_cast<const unsigned char*>(cipher.data()), cipher.size()) == 1;
    EVP_PKEY_CTX_free(pCtx);
    plain.resize(bOk ? nPlain : 0);
    fuzz::Check(bOk && plain == g_macList, "result does not decrypt to the MAC list", plain);
  }
  X509_free(pCert);
}

// One pass of the road with its checks; returns the agent's status.
HRESULT RunRoad(const std::string& der) {
  const std::string text = Base64(der);
  const std::u16string wide(text.begin(), text.end());
  char16_t* pszResult = nullptr;
  const HRESULT hResult = g_pAgent->GetMacAddress(wide.c_str(), &pszResult);
  fuzz::Check(pszResult != nullptr, "no result string");
  const std::string result(pszResult, pszResult + std::u16string_view(pszResult).size());
  SysFreeString(pszResult);
  fuzz::Check(g_pAgent->m_hLastResult == hResult, "m_hLastResult is not the returned status");
  if (hResult != 0) {
    fuzz::Check(result.empty(), "a failure carried a result", result);
    return hResult;
  }
  fuzz::Check(!result.empty(), "success without a result");
  CheckAccepted(der, result);
  return hResult;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_pAgent = new CTovelAgent(fuzz::SeedCertPolicy());
  fuzz::InstallFakeNetwork();
  char* pszMacInfo = nullptr;
  fuzz::Check(GetNetInfoString(&pszMacInfo) == 0 && pszMacInfo != nullptr && *pszMacInfo != '\0',
              "fake MAC list unreadable");
  g_macList = pszMacInfo;
  delete[] pszMacInfo;
  g_pStore = X509_STORE_new();
  for (const char* pszCa : {"cert/root.der", "cert/inter.der"}) {
    X509* pCa = ReadDer(fuzz::ReadSeedFile(pszCa));
    fuzz::Check(pCa != nullptr && X509_STORE_add_cert(g_pStore, pCa) == 1, "seed CA unreadable",
                pszCa);
    X509_free(pCa);
  }
  // The road must reach the encryption, or the checks above never run.
  fuzz::Check(RunRoad(fuzz::ReadSeedFile("cert/server.der")) == 0 &&
                  RunRoad(fuzz::ReadSeedFile("cert/server2.der")) == 0,
              "the seed server certificates are refused");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pbyData, std::size_t nSize) {
  RunRoad(std::string(reinterpret_cast<const char*>(pbyData), nSize));
  return 0;
}
