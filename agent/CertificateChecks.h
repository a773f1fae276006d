// Checks on a certificate as the platform's certificate decoder reads it: the
// key usage allows encipherment, and the signature algorithm's identifier
// begins with a given prefix.
#pragma once

#include "platform/CryptoApi.h"
#include "platform/WinTypes.h"

// The first byte of the key-usage bit string (0 for a bit string without
// bytes) in *pdwKeyUsage. E_NO_KEY_USAGE without the extension; the decoder's
// last error as an HRESULT (E_FAIL when it is 0) when the value cannot be
// decoded; E_OUTOFMEMORY.
HRESULT GetCertKeyUsage(PCCERT_CONTEXT pCertContext, DWORD* pdwKeyUsage);
// S_OK when the key usage has keyEncipherment (0x20) or dataEncipherment
// (0x10); E_INVALID_CERT_USAGE without either; a failure of GetCertKeyUsage
// unchanged.
HRESULT CheckCertKeyUsage(PCCERT_CONTEXT pCertContext);
// S_OK when the signature algorithm identifier (dotted text) begins with
// pszAlgPrefix, byte for byte over the prefix's length; a null prefix matches.
// E_FAIL otherwise.
HRESULT CheckCertSignatureAlg(PCCERT_CONTEXT pCertContext, const char* pszAlgPrefix);
