// PKCS#7 with the SM content types: the content-info item, the content
// octets, the detached control, the data path set-up and finish, and streamed
// output. Structures of the library's own types are compared with what the
// library's PKCS#7 functions do with them.
#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "smext/sm_objects.h"
#include "smext/sm_pkcs7.h"
#include "tests/sm2/Sm2TestUtil.h"

namespace sm2test {
namespace {

// sm-pkcs7-data holding the OCTET STRING "hello".
constexpr const char* kSmDataHex = "3015060A2A811CCF550601040201A007040568656C6C6F";

int SmData() { return sm_obj_nid(SM_OBJ_SM_PKCS7_DATA); }
int SmSigned() { return sm_obj_nid(SM_OBJ_SM_PKCS7_SIGNED); }

Bytes Encode(PKCS7* p7) {
  unsigned char* der = nullptr;
  const int len = i2d_SM_PKCS7(p7, &der);
  EXPECT_GT(len, 0);
  Bytes out(der, der + (len > 0 ? len : 0));
  OPENSSL_free(der);
  return out;
}

SmPkcs7Ptr Decode(const Bytes& der) {
  const unsigned char* p = der.data();
  SmPkcs7Ptr p7(d2i_SM_PKCS7(nullptr, &p, static_cast<long>(der.size())));
  EXPECT_NE(p7, nullptr);
  EXPECT_EQ(p, der.data() + der.size());
  return p7;
}

std::string Text(const ASN1_OCTET_STRING* os) {
  return os == nullptr ? std::string("<none>")
                       : std::string(reinterpret_cast<const char*>(os->data),
                                     static_cast<size_t>(os->length));
}

struct Signer {
  EVP_PKEY* key;
  int digestNid;
  int signatureNid;
};

// Signed data built with the library's functions as type 22 around data, then
// relabelled to the SM types: sm-pkcs7-signedData around sm-pkcs7-data. The
// inner data is left without content when content is null.
SmPkcs7Ptr NewSmSigned(const std::vector<Signer>& signers, const char* content) {
  PKCS7* p7 = PKCS7_new();
  EXPECT_EQ(PKCS7_set_type(p7, NID_pkcs7_signed), 1);
  for (const Signer& s : signers) {
    PKCS7_SIGNER_INFO* si = PKCS7_SIGNER_INFO_new();
    ASN1_INTEGER_set(si->version, 1);
    X509_NAME_add_entry_by_txt(si->issuer_and_serial->issuer, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("signer"), -1, -1, 0);
    ASN1_INTEGER_set(si->issuer_and_serial->serial, 7);
    X509_ALGOR_set0(si->digest_alg, OBJ_nid2obj(s.digestNid), V_ASN1_NULL, nullptr);
    X509_ALGOR_set0(si->digest_enc_alg, OBJ_nid2obj(s.signatureNid), V_ASN1_UNDEF, nullptr);
    EVP_PKEY_up_ref(s.key);
    si->pkey = s.key;
    EXPECT_EQ(PKCS7_add_signer(p7, si), 1);
  }
  EXPECT_EQ(PKCS7_content_new(p7, NID_pkcs7_data), 1);
  PKCS7* inner = p7->d.sign->contents;
  if (content == nullptr) {
    ASN1_OCTET_STRING_free(inner->d.data);
    inner->d.data = nullptr;
  } else {
    ASN1_OCTET_STRING_set(inner->d.data, reinterpret_cast<const unsigned char*>(content),
                          static_cast<int>(std::strlen(content)));
  }
  p7->type = OBJ_nid2obj(SmSigned());
  inner->type = OBJ_nid2obj(SmData());
  return SmPkcs7Ptr(p7);
}

SmPkcs7Ptr NewSmData(const char* content) {
  SmPkcs7Ptr p7(SM_PKCS7_new());
  p7->type = OBJ_nid2obj(SmData());
  if (content != nullptr) {
    p7->d.data = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(p7->d.data, reinterpret_cast<const unsigned char*>(content),
                          static_cast<int>(std::strlen(content)));
  }
  return p7;
}

// A content info of a type the library does not know, holding value.
SmPkcs7Ptr NewOther(ASN1_TYPE* value) {
  SmPkcs7Ptr p7(SM_PKCS7_new());
  p7->type = OBJ_txt2obj("1.2.3.4.5", 1);
  p7->d.other = value;
  return p7;
}

ASN1_TYPE* OctetValue(const char* text) {
  ASN1_OCTET_STRING* os = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(os, reinterpret_cast<const unsigned char*>(text),
                        static_cast<int>(std::strlen(text)));
  ASN1_TYPE* t = ASN1_TYPE_new();
  ASN1_TYPE_set(t, V_ASN1_OCTET_STRING, os);
  return t;
}
ASN1_TYPE* IntegerValue(long v) {
  ASN1_INTEGER* i = ASN1_INTEGER_new();
  ASN1_INTEGER_set(i, v);
  ASN1_TYPE* t = ASN1_TYPE_new();
  ASN1_TYPE_set(t, V_ASN1_INTEGER, i);
  return t;
}

tovel::UniquePtr<PKCS7> NewLibraryType(int nid) {
  tovel::UniquePtr<PKCS7> p7(PKCS7_new());
  EXPECT_EQ(PKCS7_set_type(p7.get(), nid), 1);
  return p7;
}

Bytes DigestOf(int nid, const std::string& data) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned len = 0;
  EXPECT_EQ(
      EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_get_digestbynid(nid), nullptr), 1);
  out.resize(len);
  return out;
}

// The signer's signature checked by the stock library over the digest of
// content (no signed attributes).
int StockCheckSignature(const PKCS7_SIGNER_INFO* si, EVP_PKEY* key, int digestNid,
                        const std::string& content) {
  const Bytes digest = DigestOf(digestNid, content);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, "provider=default");
  int result = EVP_PKEY_verify_init(ctx);
  if (result == 1) {
    result = EVP_PKEY_verify(ctx, si->enc_digest->data, static_cast<size_t>(si->enc_digest->length),
                             digest.data(), digest.size());
  }
  EVP_PKEY_CTX_free(ctx);
  return result;
}

// The library's PKCS#7 entries carry no function code.
void ExpectNewestPkcs7Error(int reason) {
  const std::vector<ErrorEntry> entries = DrainErrors();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.back().lib, ERR_LIB_PKCS7);
  EXPECT_EQ(entries.back().reason, reason);
}

class SmPkcs7Test : public Sm2Test {
 protected:
  void SetUp() override {
    Sm2Test::SetUp();
    ASSERT_EQ(sm_objects_init(), 1);
    p256.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    ASSERT_NE(p256, nullptr);
    sm2 = NewPeerKey();
  }
  PkeyPtr p256;
  PeerKey sm2;
  const int sm3 = sm_obj_nid(SM_OBJ_SM3);
  const int sm2Pkcs7 = sm_obj_nid(SM_OBJ_SM2_SM3_PKCS7);
};

TEST_F(SmPkcs7Test, SmDataContentInfoRoundTripsThroughData) {
  const Bytes der = FromHex(kSmDataHex);
  SmPkcs7Ptr p7 = Decode(der);
  EXPECT_EQ(OBJ_obj2nid(p7->type), SmData());
  EXPECT_EQ(Text(p7->d.data), "hello");
  EXPECT_EQ(pkcs7_content_octets(p7.get()), p7->d.data);
  EXPECT_EQ(Encode(p7.get()), der);
  // The library's own item holds the same bytes as other content only.
  const unsigned char* p = der.data();
  tovel::UniquePtr<PKCS7> library(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
  ASSERT_NE(library, nullptr);
  EXPECT_EQ(library->d.other->type, V_ASN1_OCTET_STRING);
}

TEST_F(SmPkcs7Test, SmSignedContentInfoRoundTripsThroughSignedData) {
  SmPkcs7Ptr built = NewSmSigned({{p256.get(), NID_sha256, NID_ecdsa_with_SHA256}}, "inner text");
  const Bytes der = Encode(built.get());
  SmPkcs7Ptr p7 = Decode(der);
  EXPECT_EQ(OBJ_obj2nid(p7->type), SmSigned());
  ASSERT_NE(p7->d.sign, nullptr);
  EXPECT_EQ(sk_PKCS7_SIGNER_INFO_num(p7->d.sign->signer_info), 1);
  EXPECT_EQ(OBJ_obj2nid(sk_X509_ALGOR_value(p7->d.sign->md_algs, 0)->algorithm), NID_sha256);
  PKCS7* inner = p7->d.sign->contents;
  EXPECT_EQ(OBJ_obj2nid(inner->type), SmData());
  EXPECT_EQ(Text(inner->d.data), "inner text");
  EXPECT_EQ(pkcs7_content_octets(p7.get()), nullptr);
  EXPECT_EQ(pkcs7_content_octets(inner), inner->d.data);
  EXPECT_EQ(Encode(p7.get()), der);
}

TEST_F(SmPkcs7Test, ContentOctetsByType) {
  SmPkcs7Ptr smData = NewSmData("abc");
  EXPECT_EQ(pkcs7_content_octets(smData.get()), smData->d.data);
  tovel::UniquePtr<PKCS7> data = NewLibraryType(NID_pkcs7_data);
  EXPECT_EQ(pkcs7_content_octets(data.get()), data->d.data);
  SmPkcs7Ptr smSigned = NewSmSigned({}, "abc");
  EXPECT_EQ(pkcs7_content_octets(smSigned.get()), nullptr);
  for (int nid : {NID_pkcs7_signed, NID_pkcs7_enveloped, NID_pkcs7_signedAndEnveloped,
                  NID_pkcs7_digest, NID_pkcs7_encrypted}) {
    SCOPED_TRACE(nid);
    EXPECT_EQ(pkcs7_content_octets(NewLibraryType(nid).get()), nullptr);
  }
  SmPkcs7Ptr otherOctets = NewOther(OctetValue("xyz"));
  EXPECT_EQ(Text(pkcs7_content_octets(otherOctets.get())), "xyz");
  EXPECT_EQ(pkcs7_content_octets(NewOther(IntegerValue(5)).get()), nullptr);
  EXPECT_EQ(pkcs7_content_octets(NewOther(nullptr).get()), nullptr);
  EXPECT_EQ(pkcs7_content_octets(nullptr), nullptr);
}

TEST_F(SmPkcs7Test, DetachedControlOnSmSignedAsTheLibraryOnSignedData) {
  // For each case the library's PKCS7_ctrl on the same structure labelled
  // 22 around 21 gives the same result and mark.
  struct Case {
    const char* name;
    const char* content;
    int cmd;
    long larg;
    long result;
    int detached;
    bool innerKept;
  };
  const Case cases[] = {
      {"get, no inner content", nullptr, PKCS7_OP_GET_DETACHED_SIGNATURE, 0, 1, 1, false},
      {"get, inner content", "abc", PKCS7_OP_GET_DETACHED_SIGNATURE, 0, 0, 0, true},
      {"set detached frees the inner data", "abc", PKCS7_OP_SET_DETACHED_SIGNATURE, 1, 1, 1, false},
      {"set with 0 only clears the mark", "abc", PKCS7_OP_SET_DETACHED_SIGNATURE, 0, 0, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SmPkcs7Ptr ours = NewSmSigned({}, c.content);
    ours->detached = 1 - c.detached;
    EXPECT_EQ(pkcs7_control(ours.get(), c.cmd, c.larg, nullptr), c.result);
    EXPECT_EQ(ours->detached, c.detached);
    EXPECT_EQ(ours->d.sign->contents->d.data != nullptr, c.innerKept);
    EXPECT_EQ(ERR_peek_error(), 0u);

    SmPkcs7Ptr stock = NewSmSigned({}, c.content);
    stock->type = OBJ_nid2obj(NID_pkcs7_signed);
    stock->d.sign->contents->type = OBJ_nid2obj(NID_pkcs7_data);
    stock->detached = 1 - c.detached;
    EXPECT_EQ(PKCS7_ctrl(stock.get(), c.cmd, c.larg, nullptr), c.result);
    EXPECT_EQ(stock->detached, c.detached);
    EXPECT_EQ(stock->d.sign->contents->d.data != nullptr, c.innerKept);
  }
}

TEST_F(SmPkcs7Test, DetachedControlRefusesOtherTypesAndOperations) {
  SmPkcs7Ptr smData = NewSmData("abc");
  for (int cmd : {PKCS7_OP_SET_DETACHED_SIGNATURE, PKCS7_OP_GET_DETACHED_SIGNATURE}) {
    EXPECT_EQ(pkcs7_control(smData.get(), cmd, 1, nullptr), 0);
    ExpectNewestPkcs7Error(PKCS7_R_OPERATION_NOT_SUPPORTED_ON_THIS_TYPE);
  }
  EXPECT_EQ(Text(smData->d.data), "abc");
  SmPkcs7Ptr smSigned = NewSmSigned({}, "abc");
  EXPECT_EQ(pkcs7_control(smSigned.get(), 99, 1, nullptr), 0);
  ExpectNewestPkcs7Error(PKCS7_R_UNKNOWN_OPERATION);
}

std::vector<int> ChainTypes(BIO* chain) {
  std::vector<int> types;
  for (BIO* b = chain; b != nullptr; b = BIO_next(b)) {
    types.push_back(BIO_method_type(b));
  }
  return types;
}

int DigestOfBio(BIO* b) {
  const EVP_MD* md = nullptr;
  EXPECT_GT(BIO_get_md(b, &md), 0);
  return md != nullptr ? EVP_MD_get_type(md) : NID_undef;
}

TEST_F(SmPkcs7Test, DataInitOfSmDataGivesAnEmptyMemoryBioWhateverItsContent) {
  SmPkcs7Ptr p7 = NewSmData("not read here");
  tovel::UniquePtr<BIO> chain(pkcs7_data_init(p7.get(), nullptr));
  ASSERT_NE(chain, nullptr);
  EXPECT_EQ(ChainTypes(chain.get()), std::vector<int>{BIO_TYPE_MEM});
  char buf[16];
  EXPECT_LE(BIO_read(chain.get(), buf, sizeof(buf)), 0);
  EXPECT_EQ(ERR_peek_error(), 0u);
  // With a BIO of the caller's, nothing is added in front of it.
  BIO* own = BIO_new(BIO_s_mem());
  EXPECT_EQ(pkcs7_data_init(p7.get(), own), own);
  BIO_free(own);
}

TEST_F(SmPkcs7Test, DataInitOfSmSignedPutsOneDigestBioPerAlgorithmInFront) {
  const std::vector<Signer> signers = {{p256.get(), NID_sha256, NID_ecdsa_with_SHA256},
                                       {sm2.pkey.get(), sm3, sm2Pkcs7}};
  {
    SmPkcs7Ptr p7 = NewSmSigned(signers, nullptr);
    tovel::UniquePtr<BIO> chain(pkcs7_data_init(p7.get(), nullptr));
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(ChainTypes(chain.get()), (std::vector<int>{BIO_TYPE_MD, BIO_TYPE_MD, BIO_TYPE_NULL}));
    EXPECT_EQ(DigestOfBio(chain.get()), NID_sha256);
    EXPECT_EQ(DigestOfBio(BIO_next(chain.get())), sm3);
    EXPECT_EQ(p7->detached, 1);
  }
  {
    SmPkcs7Ptr p7 = NewSmSigned(signers, "signed text");
    tovel::UniquePtr<BIO> chain(pkcs7_data_init(p7.get(), nullptr));
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(ChainTypes(chain.get()), (std::vector<int>{BIO_TYPE_MD, BIO_TYPE_MD, BIO_TYPE_MEM}));
    char buf[32] = {};
    EXPECT_EQ(BIO_read(chain.get(), buf, sizeof(buf)), 11);
    EXPECT_STREQ(buf, "signed text");
    // The library gives the same chain for the structure labelled 22.
    p7->type = OBJ_nid2obj(NID_pkcs7_signed);
    p7->d.sign->contents->type = OBJ_nid2obj(NID_pkcs7_data);
    tovel::UniquePtr<BIO> stock(PKCS7_dataInit(p7.get(), nullptr));
    EXPECT_EQ(ChainTypes(stock.get()), ChainTypes(chain.get()));
    p7->type = OBJ_nid2obj(SmSigned());
    p7->d.sign->contents->type = OBJ_nid2obj(SmData());
  }
}

TEST_F(SmPkcs7Test, DataInitRefusesTypesWithoutADataPath) {
  tovel::UniquePtr<PKCS7> encrypted = NewLibraryType(NID_pkcs7_encrypted);
  EXPECT_EQ(pkcs7_data_init(encrypted.get(), nullptr), nullptr);
  ExpectNewestPkcs7Error(PKCS7_R_UNSUPPORTED_CONTENT_TYPE);
  SmPkcs7Ptr other = NewOther(OctetValue("x"));
  EXPECT_EQ(pkcs7_data_init(other.get(), nullptr), nullptr);
  ExpectNewestPkcs7Error(PKCS7_R_UNSUPPORTED_CONTENT_TYPE);
  EXPECT_EQ(pkcs7_data_final(other.get(), nullptr), 0);
  ExpectNewestPkcs7Error(PKCS7_R_UNSUPPORTED_CONTENT_TYPE);
}

TEST_F(SmPkcs7Test, DataFinalSignsEverySignerAndTakesTheContent) {
  const std::string content = "content to be signed";
  SmPkcs7Ptr p7 = NewSmSigned(
      {{p256.get(), NID_sha256, NID_ecdsa_with_SHA256}, {sm2.pkey.get(), sm3, sm2Pkcs7}}, "");
  tovel::UniquePtr<BIO> chain(pkcs7_data_init(p7.get(), nullptr));
  ASSERT_NE(chain, nullptr);
  ASSERT_EQ(BIO_write(chain.get(), content.data(), static_cast<int>(content.size())),
            static_cast<int>(content.size()));
  ASSERT_EQ(pkcs7_data_final(p7.get(), chain.get()), 1);
  EXPECT_EQ(Text(p7->d.sign->contents->d.data), content);
  PKCS7_SIGNER_INFO* ecSigner = sk_PKCS7_SIGNER_INFO_value(p7->d.sign->signer_info, 0);
  PKCS7_SIGNER_INFO* smSigner = sk_PKCS7_SIGNER_INFO_value(p7->d.sign->signer_info, 1);
  EXPECT_EQ(StockCheckSignature(ecSigner, p256.get(), NID_sha256, content), 1);
  EXPECT_EQ(StockCheckSignature(smSigner, sm2.pkey.get(), sm3, content), 1);
  EXPECT_EQ(StockCheckSignature(smSigner, sm2.pkey.get(), sm3, content + "!"), 0);
  EXPECT_EQ(OBJ_obj2nid(smSigner->digest_enc_alg->algorithm), sm2Pkcs7);
  // The signed structure survives encoding with its content and signatures
  // (DER sorts the signer set, so signers are told by their digest).
  SmPkcs7Ptr back = Decode(Encode(p7.get()));
  EXPECT_EQ(Text(back->d.sign->contents->d.data), content);
  ASSERT_EQ(sk_PKCS7_SIGNER_INFO_num(back->d.sign->signer_info), 2);
  for (int i = 0; i < 2; ++i) {
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(back->d.sign->signer_info, i);
    const bool isSm = OBJ_obj2nid(si->digest_alg->algorithm) == sm3;
    EXPECT_EQ(StockCheckSignature(si, isSm ? sm2.pkey.get() : p256.get(), isSm ? sm3 : NID_sha256,
                                  content),
              1);
  }
  ERR_clear_error();
}

TEST_F(SmPkcs7Test, DataFinalSignsSignedAttributesWithTheMessageDigest) {
  // The signature covers the digest of the signed attributes, which now
  // hold the signing time and the content's digest; SM2 signs that digest
  // value as it is, with no Z.
  const std::string content = "attributed content";
  for (const Signer& signer : {Signer{p256.get(), NID_sha256, NID_ecdsa_with_SHA256},
                               Signer{sm2.pkey.get(), sm3, sm2Pkcs7}}) {
    SCOPED_TRACE(signer.digestNid);
    SmPkcs7Ptr p7 = NewSmSigned({signer}, "");
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(p7->d.sign->signer_info, 0);
    ASSERT_EQ(
        PKCS7_add_signed_attribute(si, NID_pkcs9_contentType, V_ASN1_OBJECT, OBJ_nid2obj(SmData())),
        1);
    tovel::UniquePtr<BIO> chain(pkcs7_data_init(p7.get(), nullptr));
    ASSERT_EQ(BIO_write(chain.get(), content.data(), static_cast<int>(content.size())),
              static_cast<int>(content.size()));
    ASSERT_EQ(pkcs7_data_final(p7.get(), chain.get()), 1);
    const ASN1_TYPE* digest = PKCS7_get_signed_attribute(si, NID_pkcs9_messageDigest);
    ASSERT_NE(digest, nullptr);
    const Bytes expected = DigestOf(signer.digestNid, content);
    EXPECT_EQ(Text(digest->value.octet_string), std::string(expected.begin(), expected.end()));
    EXPECT_NE(PKCS7_get_signed_attribute(si, NID_pkcs9_signingTime), nullptr);
    unsigned char* attrs = nullptr;
    const int attrsLen = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &attrs,
                                       ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    ASSERT_GT(attrsLen, 0);
    const std::string signedBytes(reinterpret_cast<const char*>(attrs),
                                  static_cast<size_t>(attrsLen));
    OPENSSL_free(attrs);
    EXPECT_EQ(StockCheckSignature(si, signer.key, signer.digestNid, signedBytes), 1);
    EXPECT_NE(StockCheckSignature(si, signer.key, signer.digestNid, content), 1);
    ERR_clear_error();
  }
}

TEST_F(SmPkcs7Test, DetachedSignatureKeepsNoContent) {
  const std::string content = "detached content";
  SmPkcs7Ptr p7 = NewSmSigned({{sm2.pkey.get(), sm3, sm2Pkcs7}}, "old");
  ASSERT_EQ(pkcs7_control(p7.get(), PKCS7_OP_SET_DETACHED_SIGNATURE, 1, nullptr), 1);
  tovel::UniquePtr<BIO> chain(pkcs7_data_init(p7.get(), nullptr));
  ASSERT_NE(chain, nullptr);
  EXPECT_EQ(ChainTypes(chain.get()), (std::vector<int>{BIO_TYPE_MD, BIO_TYPE_NULL}));
  BIO_write(chain.get(), content.data(), static_cast<int>(content.size()));
  ASSERT_EQ(pkcs7_data_final(p7.get(), chain.get()), 1);
  EXPECT_EQ(p7->d.sign->contents->d.data, nullptr);
  EXPECT_EQ(StockCheckSignature(sk_PKCS7_SIGNER_INFO_value(p7->d.sign->signer_info, 0),
                                sm2.pkey.get(), sm3, content),
            1);
  // Marked detached after the set-up: the finish drops the inner data.
  SmPkcs7Ptr marked =
      NewSmSigned({{p256.get(), NID_sha256, NID_ecdsa_with_SHA256}}, "kept until the finish");
  tovel::UniquePtr<BIO> markedChain(pkcs7_data_init(marked.get(), nullptr));
  ASSERT_NE(markedChain, nullptr);
  marked->detached = 1;
  ASSERT_EQ(pkcs7_data_final(marked.get(), markedChain.get()), 1);
  EXPECT_EQ(marked->d.sign->contents->d.data, nullptr);
  EXPECT_EQ(StockCheckSignature(sk_PKCS7_SIGNER_INFO_value(marked->d.sign->signer_info, 0),
                                p256.get(), NID_sha256, ""),
            1);
  ERR_clear_error();
}

TEST_F(SmPkcs7Test, DataFinalOfSmDataTakesTheWrittenContent) {
  SmPkcs7Ptr p7 = NewSmData("");
  tovel::UniquePtr<BIO> chain(pkcs7_data_init(p7.get(), nullptr));
  BIO_write(chain.get(), "written", 7);
  ASSERT_EQ(pkcs7_data_final(p7.get(), chain.get()), 1);
  EXPECT_EQ(Text(p7->d.data), "written");
  EXPECT_EQ(Encode(p7.get()), Encode(Decode(Encode(p7.get())).get()));
}

TEST_F(SmPkcs7Test, DataFinalWithoutContentOctetsFailsCleanly) {
  tovel::UniquePtr<BIO> mem(BIO_new(BIO_s_mem()));
  BIO_write(mem.get(), "data", 4);
  {
    SmPkcs7Ptr empty = NewSmData(nullptr);
    EXPECT_EQ(pkcs7_data_final(empty.get(), mem.get()), 0);
    ExpectNewestPkcs7Error(PKCS7_R_NO_CONTENT);
  }
  {
    // Not detached (the inner content is there) but no octets: an INTEGER.
    SmPkcs7Ptr p7 = NewSmSigned({}, nullptr);
    PKCS7* inner = p7->d.sign->contents;
    inner->type = OBJ_txt2obj("1.2.3.4.5", 1);
    inner->d.other = IntegerValue(3);
    EXPECT_EQ(pkcs7_data_final(p7.get(), mem.get()), 0);
    ExpectNewestPkcs7Error(PKCS7_R_NO_CONTENT);
    EXPECT_EQ(inner->d.other->type, V_ASN1_INTEGER);
  }
}

TEST_F(SmPkcs7Test, DataFinalOfDigestedDataDropsDetachedSmData) {
  tovel::UniquePtr<PKCS7> p7 = NewLibraryType(NID_pkcs7_digest);
  ASSERT_EQ(PKCS7_set_digest(p7.get(), EVP_sha256()), 1);
  PKCS7* inner = PKCS7_new();
  inner->type = OBJ_nid2obj(SmData());
  inner->d.other = OctetValue("digested");
  PKCS7_free(p7->d.digest->contents);
  p7->d.digest->contents = inner;
  tovel::UniquePtr<BIO> chain(pkcs7_data_init(p7.get(), nullptr));
  ASSERT_NE(chain, nullptr);
  char buf[16] = {};
  EXPECT_EQ(BIO_read(chain.get(), buf, sizeof(buf)), 8);
  p7->detached = 1;
  pkcs7_data_final(p7.get(), chain.get());  // the rest is the library's
  EXPECT_EQ(inner->d.other, nullptr);
  ERR_clear_error();
}

TEST_F(SmPkcs7Test, StreamPreparationByType) {
  unsigned char** boundary = nullptr;
  SmPkcs7Ptr smData = NewSmData("stream");
  EXPECT_EQ(pkcs7_stream_content(&boundary, smData.get()), 1);
  EXPECT_EQ(boundary, &smData->d.data->data);
  EXPECT_TRUE(smData->d.data->flags & ASN1_STRING_FLAG_NDEF);
  smData->d.data->flags &=
      ~ASN1_STRING_FLAG_NDEF;  // a flagged string's bytes are not freed with it

  SmPkcs7Ptr withInner = NewSmSigned({}, "inner");
  EXPECT_EQ(pkcs7_stream_content(&boundary, withInner.get()), 1);
  EXPECT_EQ(boundary, &withInner->d.sign->contents->d.data->data);
  withInner->d.sign->contents->d.data->flags &= ~ASN1_STRING_FLAG_NDEF;

  SmPkcs7Ptr withoutInner = NewSmSigned({}, nullptr);
  boundary = nullptr;
  EXPECT_EQ(pkcs7_stream_content(&boundary, withoutInner.get()), 0);
  EXPECT_EQ(boundary, nullptr);
  EXPECT_EQ(withoutInner->d.sign->contents->d.data, nullptr);

  tovel::UniquePtr<PKCS7> enveloped = NewLibraryType(NID_pkcs7_enveloped);
  EXPECT_EQ(pkcs7_stream_content(&boundary, enveloped.get()), 1);
  ASSERT_NE(enveloped->d.enveloped->enc_data->enc_data, nullptr);
  EXPECT_EQ(boundary, &enveloped->d.enveloped->enc_data->enc_data->data);

  EXPECT_EQ(pkcs7_stream_content(&boundary, NewLibraryType(NID_pkcs7_encrypted).get()), 0);
  EXPECT_EQ(pkcs7_stream_content(&boundary, NewOther(OctetValue("x")).get()), 0);
}

Bytes StreamOut(PKCS7* p7, const std::string& content) {
  tovel::UniquePtr<BIO> in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  tovel::UniquePtr<BIO> out(BIO_new(BIO_s_mem()));
  EXPECT_EQ(i2d_ASN1_bio_stream(out.get(), reinterpret_cast<ASN1_VALUE*>(p7), in.get(),
                                SMIME_STREAM, ASN1_ITEM_rptr(SM_PKCS7)),
            1);
  char* data = nullptr;
  const long len = BIO_get_mem_data(out.get(), &data);
  return Bytes(data, data + len);
}

TEST_F(SmPkcs7Test, StreamedOutputOfSmTypesDecodesBack) {
  const std::string content = "streamed content";
  // The content strings start without bytes: streaming points them into
  // the encoder's buffer.
  {
    SmPkcs7Ptr p7 = NewSmData(nullptr);
    p7->d.data = ASN1_OCTET_STRING_new();
    const Bytes der = StreamOut(p7.get(), content);
    ASSERT_GE(der.size(), 2u);
    EXPECT_EQ(der[1], 0x80);  // indefinite length
    EXPECT_EQ(Text(Decode(der)->d.data), content);
  }
  {
    SmPkcs7Ptr p7 = NewSmSigned({{sm2.pkey.get(), sm3, sm2Pkcs7}}, nullptr);
    p7->d.sign->contents->d.data = ASN1_OCTET_STRING_new();
    const Bytes der = StreamOut(p7.get(), content);
    ASSERT_GE(der.size(), 2u);
    EXPECT_EQ(der[1], 0x80);
    SmPkcs7Ptr back = Decode(der);
    EXPECT_EQ(OBJ_obj2nid(back->type), SmSigned());
    EXPECT_EQ(Text(back->d.sign->contents->d.data), content);
    EXPECT_EQ(StockCheckSignature(sk_PKCS7_SIGNER_INFO_value(back->d.sign->signer_info, 0),
                                  sm2.pkey.get(), sm3, content),
              1);
  }
  ERR_clear_error();
}

}  // namespace
}  // namespace sm2test
