// RSA encryption of the MAC list under the server certificate.
//
// The step texts name the classic RSA calls; the encryption itself goes
// through the EVP interface of the crypto library: a key-type test in place of
// taking an RSA reference, the key's size in bytes in place of the modulus
// size, and an EVP encryption context with PKCS#1 v1.5 padding.
#include "agent/RSADataEncryption.h"

#include <openssl/rsa.h>

#include <memory>
#include <new>

#include "Host/Tracing.h"
#include "agent/CertificateOperations.h"
#include "platform/UniquePtr.h"

int RSAEncryptByX509(BYTE** ppbyEncryptedData, int* pnEncryptedDataSize, X509* pX509Cert,
                     const BYTE* pbyPlainData, int nPlainDataSize) {
  const char* pszOperation = "RSAEncryptByX509";
  if (pX509Cert == nullptr) {
    LOG_FAILED(pszOperation, "Check parameter(pX509Cert).", ERROR_INVALID_PARAMETER,
               "NULL == pX509Cert");
    return ERROR_INVALID_PARAMETER;
  }
  LOG_OK(pszOperation, "Check parameter(pX509Cert).");

  int nResult = CheckX509KeyUsage(pX509Cert);
  if (nResult != PELLUM_OK) {
    LOG_FAILED(pszOperation, "CheckX509KeyUsage", nResult, "PELLUM_OK != nResult");
    return nResult;
  }
  LOG_OK(pszOperation, "CheckX509KeyUsage");

  const tovel::UniquePtr<EVP_PKEY> spEvpPubKey(X509_get_pubkey(pX509Cert));
  if (spEvpPubKey == nullptr) {
    LOG_FAILED_OPENSSL(pszOperation, "X509_get_pubkey", -1, "NULL == pEvpPubKey");
    return -1;
  }
  LOG_OK(pszOperation, "X509_get_pubkey");

  BYTE* pbyEncryptedData = nullptr;
  int nEncryptedDataSize = 0;
  nResult = RSAEncrypt(spEvpPubKey.get(), pbyPlainData, nPlainDataSize, &pbyEncryptedData,
                       &nEncryptedDataSize);
  if (nResult != PELLUM_OK) {
    LOG_FAILED(pszOperation, "RSAEncyrpt", nResult, "PELLUM_OK != nResult");
    return nResult;
  }
  LOG_OK(pszOperation, "RSAEncyrpt");
  *ppbyEncryptedData = pbyEncryptedData;
  *pnEncryptedDataSize = nEncryptedDataSize;
  return PELLUM_OK;
}

int RSAEncrypt(EVP_PKEY* pEvpPubKey, const BYTE* pbyPlainData, int nPlainDataSize,
               BYTE** ppbyEncryptedData, int* pnEncryptedDataSize) {
  const char* pszOperation = "RSAEncrypt";
  if (pEvpPubKey == nullptr) {
    LOG_FAILED(pszOperation, "Check parameter(EvpPubKey)", ERROR_INVALID_PARAMETER,
               "NULL == pEvpPubKey");
    return ERROR_INVALID_PARAMETER;
  }
  LOG_OK(pszOperation, "Check parameter(EvpPubKey)");
  if (pbyPlainData == nullptr) {
    LOG_FAILED(pszOperation, "Check parameter(pbyPlainData)", ERROR_INVALID_PARAMETER,
               "NULL == pbyPlainData");
    return ERROR_INVALID_PARAMETER;
  }
  LOG_OK(pszOperation, "Check parameter(pbyPlainData)");

  // Only a plain RSA key encrypts (a key restricted to signatures does not).
  if (EVP_PKEY_get_base_id(pEvpPubKey) != EVP_PKEY_RSA) {
    LOG_FAILED_OPENSSL(pszOperation, "EVP_PKEY_get1_RSA", ERROR_ENCRYPTION_FAILED,
                       "NULL == pRsaPubKey");
    return ERROR_ENCRYPTION_FAILED;
  }
  LOG_OK(pszOperation, "EVP_PKEY_get1_RSA");

  // For an RSA key the size in bytes is the modulus length.
  std::int32_t nKeyBytes = EVP_PKEY_get_size(pEvpPubKey);
  TRACE_VALUES(TraceMsg::RSADataEncryption::KeySize, nKeyBytes);
  if (nKeyBytes < RSA_MIN_KEY_BYTES) {
    LOG_FAILED_OPENSSL(pszOperation, "RSA_size", ERROR_ENCRYPTION_FAILED, "nKeyBytes < 128");
    return ERROR_ENCRYPTION_FAILED;
  }
  LOG_OK(pszOperation, "RSA_size");

  std::unique_ptr<BYTE[]> spbyEncryptedData(new (std::nothrow)
                                                BYTE[static_cast<std::size_t>(nKeyBytes)]());
  if (spbyEncryptedData == nullptr) {
    LOG_FAILED(pszOperation, "New memory", E_OUTOFMEMORY, "NULL == pbyEncryptedData");
    return E_OUTOFMEMORY;
  }
  LOG_OK(pszOperation, "New memory");

  std::size_t nEncryptedDataSize = static_cast<std::size_t>(nKeyBytes);
  const tovel::UniquePtr<EVP_PKEY_CTX> spEvpCtx(
      EVP_PKEY_CTX_new_from_pkey(nullptr, pEvpPubKey, nullptr));
  bool bEncrypted = spEvpCtx != nullptr && nPlainDataSize >= 0 &&
                    EVP_PKEY_encrypt_init(spEvpCtx.get()) == 1 &&
                    EVP_PKEY_CTX_set_rsa_padding(spEvpCtx.get(), RSA_PKCS1_PADDING) == 1 &&
                    EVP_PKEY_encrypt(spEvpCtx.get(), spbyEncryptedData.get(), &nEncryptedDataSize,
                                     pbyPlainData, static_cast<std::size_t>(nPlainDataSize)) == 1;
  if (!bEncrypted || nEncryptedDataSize != static_cast<std::size_t>(nKeyBytes)) {
    LOG_FAILED_OPENSSL(pszOperation, "RSA_public_encrypt", ERROR_ENCRYPTION_FAILED,
                       "nEncryptedDataSize != nKeyBytes");
    return ERROR_ENCRYPTION_FAILED;
  }
  LOG_OK(pszOperation, "RSA_public_encrypt");
  *ppbyEncryptedData = spbyEncryptedData.release();
  *pnEncryptedDataSize = nKeyBytes;
  return PELLUM_OK;
}
