// Signature checks of signed ASN.1 items (certificates, CRLs) with the SM2
// rule: an SM2 signature with SM3 covers the signer's Z value of the default
// identity followed by the DER encoding of the signed part.
#pragma once

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#ifdef __cplusplus
extern "C" {
#endif

// The library's ASN1_item_verify with the SM2 rule: checks signature, made
// with algorithm, over the DER encoding of value (of type it) against pkey.
// 1 valid; 0 invalid, or a failure from the digest set-up onwards; -1 when the
// check cannot start (no key, a signature BIT STRING with unused bits, unknown
// algorithm or digest, wrong key type, encoding failure). Failures queue
// (ASN1, reason, "func=197").
//
// The key type is tested as the library's X509_verify tests it: a key typed
// "SM2" (every key on the SM2 curve, and the provider's keys on either SM2
// curve) goes only with sm2-sm3, an "EC" key only with the ECDSA algorithms;
// any other pairing is -1 with ASN1_R_WRONG_PUBLIC_KEY_TYPE on both roads.
//
// EC keys on the SM2 curve and on the SM2 test curve are checked with the SM2
// core on their own curve: SM3(Z || DER) on the SM2 curve under an sm3
// algorithm, otherwise the algorithm's digest of the DER alone. Their
// signature must be exactly the DER of {r, s} and their digest 32 bytes long;
// anything else is an invalid signature (0). Every other key is checked by the
// library's own signature code; algorithms whose table row names no digest
// (RSA-PSS, EdDSA) go to the library's ASN1_item_verify as a whole.
int verify_signed_item(const ASN1_ITEM* it, const X509_ALGOR* algorithm,
                       const ASN1_BIT_STRING* signature, const void* value, EVP_PKEY* pkey);

// X509_verify and X509_CRL_verify through verify_signed_item: the signature
// of cert (crl) against pkey, with the same results. A certificate whose outer
// signature algorithm differs from the one inside its signed part gives 0, as
// X509_verify does.
int sm_x509_verify(X509* cert, EVP_PKEY* pkey);
int sm_x509_crl_verify(X509_CRL* crl, EVP_PKEY* pkey);

#ifdef __cplusplus
}
#endif
