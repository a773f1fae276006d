// Encryption of a short text under a server certificate's RSA key: one block,
// PKCS#1 v1.5 padding (block type 2).
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "platform/WinTypes.h"

// Smallest accepted modulus, in bytes (1024 bits).
constexpr int RSA_MIN_KEY_BYTES = 128;

// Encrypts pbyPlainData (nPlainDataSize bytes, 0 allowed) under the public key
// of pX509Cert (borrowed), whose key usage must allow key encipherment.
// Returns 0 with a new array (delete[]) of the key's size in bytes in
// *ppbyEncryptedData and that size in *pnEncryptedDataSize; otherwise
// ERROR_INVALID_PARAMETER for a null certificate or plaintext, the key usage
// check's status (-1 or E_INVALID_CERT_USAGE), -1 when the certificate has no
// usable public key, ERROR_ENCRYPTION_FAILED when the key is not RSA,
// is shorter than 1024 bits or the plaintext does not fit one block, or
// E_OUTOFMEMORY. The out places are untouched on failure.
int RSAEncryptByX509(BYTE** ppbyEncryptedData, int* pnEncryptedDataSize, X509* pX509Cert,
                     const BYTE* pbyPlainData, int nPlainDataSize);

// Encrypts pbyPlainData under pEvpPubKey (borrowed) with the statuses of
// RSAEncryptByX509 from the key on.
int RSAEncrypt(EVP_PKEY* pEvpPubKey, const BYTE* pbyPlainData, int nPlainDataSize,
               BYTE** ppbyEncryptedData, int* pnEncryptedDataSize);
