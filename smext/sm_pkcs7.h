// PKCS#7 with the SM content types: "sm-pkcs7-data" is handled as data and
// "sm-pkcs7-signedData" as signed data.
//
// The library's own PKCS#7 code knows neither type: it would hold such content
// as "other" and misread a structure that holds it as data or signed data.
// Structures that carry the SM types are therefore decoded, encoded, created
// and freed with the SM_PKCS7 item below and passed to the functions of this
// header, never to the library's PKCS#7 functions. The library's own types are
// held exactly as the library holds them.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/pkcs7.h>

#ifdef __cplusplus
extern "C" {
#endif

// The content info: the library's PKCS7 record, read by content type with
// sm-pkcs7-data in d.data and sm-pkcs7-signedData in d.sign (whose inner
// content info is an SM_PKCS7 too). Streamed output (i2d_ASN1_bio_stream,
// SMIME_write_ASN1) runs through pkcs7_stream_content, pkcs7_data_init and
// pkcs7_data_final.
typedef PKCS7 SM_PKCS7;
typedef PKCS7_SIGNED SM_PKCS7_SIGNED;
DECLARE_ASN1_FUNCTIONS(SM_PKCS7)
DECLARE_ASN1_ITEM(SM_PKCS7_SIGNED)

// The data octets of a content info: d.data for data and sm-pkcs7-data; none
// for signed data, sm-pkcs7-signedData and the library's enveloped, signed and
// enveloped, digested and encrypted types; for any other type the value held
// when it is an OCTET STRING, else none.
ASN1_OCTET_STRING* pkcs7_content_octets(PKCS7* p7);

// PKCS7_dataInit with the SM types: sets up the BIO chain through which the
// content of p7 is written (signing) or read. Signed data gets one digest BIO
// per digest algorithm, in front of bio or, without one, of a null BIO when
// detached, a memory BIO over the content octets, or an empty memory BIO.
// Null on failure (PKCS7 error entry).
BIO* pkcs7_data_init(PKCS7* p7, BIO* bio);

// PKCS7_dataFinal with the SM types: signs every signer that has a key with
// the digest found in bio, and takes the content from the chain's memory BIO
// unless the structure is detached or streamed. 1, or 0 (PKCS7 error entry),
// also when there are no content octets to take the content.
int pkcs7_data_final(PKCS7* p7, BIO* bio);

// PKCS7_ctrl with the SM types: PKCS7_OP_SET_DETACHED_SIGNATURE and
// PKCS7_OP_GET_DETACHED_SIGNATURE on signed data. parg is not used.
long pkcs7_control(PKCS7* p7, int cmd, long larg, char* parg);

// PKCS7_stream with the SM types: flags the content octet string for
// indefinite-length streaming and points *boundary at its data. 1, or 0 when
// the type has no such string.
int pkcs7_stream_content(unsigned char*** boundary, PKCS7* p7);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include "platform/UniquePtr.h"

// The owner of a structure made by the SM_PKCS7 item. SM_PKCS7 is PKCS7 under
// another name, and tovel::UniquePtr<PKCS7> frees with the library's
// PKCS7_free, which misreads the SM content types; SmPkcs7Ptr holds a PKCS7
// too but frees it through the item (SM_PKCS7_free). SmPkcs7Item only names
// that deleter and is never defined.
struct SmPkcs7Item;
template <>
struct tovel::Deleter<SmPkcs7Item> {
  void operator()(PKCS7* p7) const noexcept { SM_PKCS7_free(p7); }
};
using SmPkcs7Ptr = std::unique_ptr<PKCS7, tovel::Deleter<SmPkcs7Item>>;
#endif
