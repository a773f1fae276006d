/* The SM_PKCS7 content info: the library's PKCS7 form with the two SM content
 * types read as data and signed data. */
#include <openssl/asn1t.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "smext/sm_objects.h"
#include "smext/sm_pkcs7.h"

/* The SM types have run-time numbers; the table selects by the library's
 * constant ones. */
static int sm_pkcs7_select(long* selector) {
  if (*selector != NID_undef) {
    if (*selector == sm_obj_nid(SM_OBJ_SM_PKCS7_DATA)) {
      *selector = NID_pkcs7_data;
    } else if (*selector == sm_obj_nid(SM_OBJ_SM_PKCS7_SIGNED)) {
      *selector = NID_pkcs7_signed;
    }
  }
  return 1;
}

/* Streamed and detached output, as the library's own content info does it. */
static int sm_pkcs7_cb(int operation, ASN1_VALUE** pval, const ASN1_ITEM* it, void* exarg) {
  (void)it;
  PKCS7** pp7 = (PKCS7**)pval;
  ASN1_STREAM_ARG* sarg = (ASN1_STREAM_ARG*)exarg;
  switch (operation) {
    case ASN1_OP_STREAM_PRE:
      if (pkcs7_stream_content(&sarg->boundary, *pp7) <= 0) {
        return 0;
      }
      /* fall through */
    case ASN1_OP_DETACHED_PRE:
      sarg->ndef_bio = pkcs7_data_init(*pp7, sarg->out);
      return sarg->ndef_bio != NULL;
    case ASN1_OP_STREAM_POST:
    case ASN1_OP_DETACHED_POST: return pkcs7_data_final(*pp7, sarg->ndef_bio) > 0;
    case ASN1_OP_FREE_POST:
      /* The library's functions may leave a property query here. */
      OPENSSL_free((*pp7)->ctx.propq);
      return 1;
    default: return 1;
  }
}

DECLARE_ASN1_ITEM(SM_PKCS7)

ASN1_NDEF_SEQUENCE(SM_PKCS7_SIGNED) =
    {
        ASN1_SIMPLE(PKCS7_SIGNED, version, ASN1_INTEGER),
        ASN1_SET_OF(PKCS7_SIGNED, md_algs, X509_ALGOR),
        ASN1_SIMPLE(PKCS7_SIGNED, contents, SM_PKCS7),
        ASN1_IMP_SEQUENCE_OF_OPT(PKCS7_SIGNED, cert, X509, 0),
        ASN1_IMP_SET_OF_OPT(PKCS7_SIGNED, crl, X509_CRL, 1),
        ASN1_SET_OF(PKCS7_SIGNED, signer_info, PKCS7_SIGNER_INFO),
} ASN1_NDEF_SEQUENCE_END(SM_PKCS7_SIGNED)

        ASN1_ADB_TEMPLATE(sm_pkcs7_other) = ASN1_EXP_OPT(PKCS7, d.other, ASN1_ANY, 0);

ASN1_ADB(SM_PKCS7) = {
    ADB_ENTRY(NID_pkcs7_data, ASN1_NDEF_EXP_OPT(PKCS7, d.data, ASN1_OCTET_STRING_NDEF, 0)),
    ADB_ENTRY(NID_pkcs7_signed, ASN1_NDEF_EXP_OPT(PKCS7, d.sign, SM_PKCS7_SIGNED, 0)),
    ADB_ENTRY(NID_pkcs7_enveloped, ASN1_NDEF_EXP_OPT(PKCS7, d.enveloped, PKCS7_ENVELOPE, 0)),
    ADB_ENTRY(NID_pkcs7_signedAndEnveloped,
              ASN1_NDEF_EXP_OPT(PKCS7, d.signed_and_enveloped, PKCS7_SIGN_ENVELOPE, 0)),
    ADB_ENTRY(NID_pkcs7_digest, ASN1_NDEF_EXP_OPT(PKCS7, d.digest, PKCS7_DIGEST, 0)),
    ADB_ENTRY(NID_pkcs7_encrypted, ASN1_NDEF_EXP_OPT(PKCS7, d.encrypted, PKCS7_ENCRYPT, 0)),
} ASN1_ADB_END(SM_PKCS7, 0, type, sm_pkcs7_select, &sm_pkcs7_other_tt, NULL);

ASN1_NDEF_SEQUENCE_cb(SM_PKCS7, sm_pkcs7_cb) =
    {
        ASN1_SIMPLE(PKCS7, type, ASN1_OBJECT),
        ASN1_ADB_OBJECT(SM_PKCS7),
} ASN1_NDEF_SEQUENCE_END_cb(PKCS7, SM_PKCS7)

        IMPLEMENT_ASN1_FUNCTIONS(SM_PKCS7)
