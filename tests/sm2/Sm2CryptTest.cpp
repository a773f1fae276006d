// SM2 encryption, decryption and the key derivation function.
#include <cstring>

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include "smext/sm2.h"
#include "smext/sm2_asn1.h"
#include "smext/sm_objects.h"
#include "tests/sm2/Sm2TestUtil.h"

namespace {

using namespace sm2test;

Bytes RandomBytes(size_t n) {
  Bytes b(n);
  if (n > 0) {
    EXPECT_EQ(RAND_bytes(b.data(), static_cast<int>(n)), 1);
  }
  return b;
}

Bytes Encrypt(int nid, const Bytes& m, const BIGNUM* x, const BIGNUM* y) {
  Bytes c(m.size() + SM2_CIPHERTEXT_OVERHEAD);
  EXPECT_EQ(sm2_encrypt(nid, m.data(), static_cast<int>(m.size()), x, y, c.data()), 1);
  return c;
}

// Decrypts into a buffer prefilled with 0xEE; returns the result and the buffer.
int Decrypt(int nid, const Bytes& c, const BIGNUM* d, Bytes* out) {
  out->assign(c.size() > SM2_CIPHERTEXT_OVERHEAD ? c.size() - SM2_CIPHERTEXT_OVERHEAD : 1, 0xEE);
  return sm2_decrypt(nid, c.data(), static_cast<int>(c.size()), d, out->data());
}

using Sm2CryptTest = Sm2Test;

TEST_F(Sm2CryptTest, ReproducesTheWorkedExampleOnTheTestCurve) {
  const Bytes message = FromText("encryption standard");
  BnPtr dB = BnFromHex("1649AB77A00637BD5E2EFE283FBF353534AA7F7CB89463F208DDBC2920BB0DA0");
  BnPtr xB = BnFromHex("435B39CCA8F3B508C1488AFC67BE491A0F7BA07E581A0E4849A5CF70628A7E0A");
  BnPtr yB = BnFromHex("75DDBA78F15FEECB4C7895E2C1CDF5FE01DEBB2CDBADF45399CCF77BBA076A42");
  BnPtr k = BnFromHex("4C62EEFD6ECFC2B95B92FD6C3D9575148AFA17425546D49018E5388D49DD7B4F");
  QueueK(k.get());
  const Bytes c = Encrypt(Sm2TestCurveNid(), message, xB.get(), yB.get());
  EXPECT_EQ(PendingK(), 0u);
  const std::string hex = ToHex(c);
  EXPECT_EQ(hex.substr(0, 130),
            "04245C26FB68B1DDDDB12C4B6BF9F2B6D5FE60A383B0D18D1C4144ABF17F6252E7"
            "76CB9264C2A7E88E52B19903FDC47378F605E36811F5C07423A24B84400F01B8");
  EXPECT_EQ(hex.substr(130, 38), "650053A89B41C418B0C3AAD00D886C00286467");
  EXPECT_EQ(hex.substr(168), "9C3D7360C30156FAB7C80A0276712DA9D8094A634B766D3A285E07480653426D");

  Bytes plain;
  ASSERT_EQ(Decrypt(Sm2TestCurveNid(), c, dB.get(), &plain), 1);
  EXPECT_EQ(plain, message);
}

TEST_F(Sm2CryptTest, RoundTripsMessagesOfManyLengths) {
  PeerKey key = NewPeerKey();
  for (size_t len : {1u, 31u, 32u, 33u, 1000u}) {
    SCOPED_TRACE(len);
    const Bytes m = RandomBytes(len);
    const Bytes c1 = Encrypt(Sm2CurveNid(), m, key.x.get(), key.y.get());
    const Bytes c2 = Encrypt(Sm2CurveNid(), m, key.x.get(), key.y.get());
    EXPECT_EQ(c1.size(), len + 97);
    EXPECT_EQ(c1[0], 0x04);
    EXPECT_NE(c1, c2);
    for (const Bytes* c : {&c1, &c2}) {
      Bytes plain;
      ASSERT_EQ(Decrypt(Sm2CurveNid(), *c, key.d.get(), &plain), 1);
      EXPECT_EQ(plain, m);
    }
  }
  EXPECT_TRUE(DrainErrors().empty());
}

TEST_F(Sm2CryptTest, EveryChangedByteFailsAndLeavesTheOutputUntouched) {
  PeerKey key = NewPeerKey();
  const Bytes m = RandomBytes(20);
  const Bytes c = Encrypt(Sm2CurveNid(), m, key.x.get(), key.y.get());
  for (size_t i = 0; i < c.size(); ++i) {
    SCOPED_TRACE(i);
    Bytes changed = c;
    changed[i] ^= 0x01;
    Bytes plain;
    EXPECT_EQ(Decrypt(Sm2CurveNid(), changed, key.d.get(), &plain), 0);
    EXPECT_EQ(plain, Bytes(m.size(), 0xEE));
  }
  // Another key does not decrypt either.
  PeerKey other = NewPeerKey();
  Bytes plain;
  EXPECT_EQ(Decrypt(Sm2CurveNid(), c, other.d.get(), &plain), 0);
  EXPECT_EQ(plain, Bytes(m.size(), 0xEE));
}

TEST_F(Sm2CryptTest, RefusesACompressedOrOffCurveC1) {
  PeerKey key = NewPeerKey();
  const Bytes c = Encrypt(Sm2CurveNid(), RandomBytes(5), key.x.get(), key.y.get());
  BnPtr y1 = BnFromBytes(Bytes(c.begin() + 33, c.begin() + 65));
  BN_add_word(y1.get(), 1);
  Bytes offCurve = c;
  const Bytes y1Bytes = BnTo32(y1.get());
  std::copy(y1Bytes.begin(), y1Bytes.end(), offCurve.begin() + 33);
  struct Case {
    const char* name;
    Bytes c;
  };
  std::vector<Case> cases = {{"0x02", c}, {"0x03", c}, {"0x00", c}, {"off the curve", offCurve}};
  cases[0].c[0] = 0x02;
  cases[1].c[0] = 0x03;
  cases[2].c[0] = 0x00;
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    Bytes plain;
    EXPECT_EQ(Decrypt(Sm2CurveNid(), tc.c, key.d.get(), &plain), 0);
  }
}

// x1 + p and y1 + p name the same point as x1 and y1, and for the worked
// example's C1 on the test curve both still fit 32 bytes. C3 does not cover
// C1, so only the coordinate range check keeps such a changed ciphertext out.
TEST_F(Sm2CryptTest, RefusesC1CoordinatesNotBelowTheFieldPrime) {
  const Bytes message = FromText("encryption standard");
  BnPtr dB = BnFromHex("1649AB77A00637BD5E2EFE283FBF353534AA7F7CB89463F208DDBC2920BB0DA0");
  BnPtr k = BnFromHex("4C62EEFD6ECFC2B95B92FD6C3D9575148AFA17425546D49018E5388D49DD7B4F");
  BnPtr p = BnFromHex("8542D69E4C044F18E8B92435BF6FF7DE457283915C45517D722EDB8B08F1DFC3");
  BnPtr xB, yB;
  PublicPoint(Sm2TestCurveNid(), dB.get(), &xB, &yB);
  QueueK(k.get());
  const Bytes c = Encrypt(Sm2TestCurveNid(), message, xB.get(), yB.get());
  struct Case {
    const char* name;
    long offset;  // of the coordinate in the raw ciphertext
  };
  const Case cases[] = {{"x1 + p", 1}, {"y1 + p", 33}};
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    BnPtr v = BnFromBytes(Bytes(c.begin() + tc.offset, c.begin() + tc.offset + 32));
    ASSERT_EQ(BN_add(v.get(), v.get(), p.get()), 1);
    ASSERT_LE(BN_num_bytes(v.get()), 32);
    Bytes changed = c;
    const Bytes vBytes = BnTo32(v.get());
    std::copy(vBytes.begin(), vBytes.end(), changed.begin() + tc.offset);
    Bytes plain;
    EXPECT_EQ(Decrypt(Sm2TestCurveNid(), changed, dB.get(), &plain), 0);
    EXPECT_EQ(plain, Bytes(message.size(), 0xEE));
  }
}

TEST_F(Sm2CryptTest, AFailingGeneratorWritesNothing) {
  PeerKey key = NewPeerKey();
  const Bytes m = RandomBytes(16);
  Bytes out(m.size() + SM2_CIPHERTEXT_OVERHEAD, 0xEE);
  QueueK(nullptr);
  EXPECT_EQ(sm2_encrypt(Sm2CurveNid(), m.data(), 16, key.x.get(), key.y.get(), out.data()), 0);
  EXPECT_EQ(PendingK(), 0u);
  EXPECT_EQ(out, Bytes(out.size(), 0xEE));
}

TEST_F(Sm2CryptTest, RefusesLengthsThatCarryNoMessageOrDoNotFitTheKeyStream) {
  PeerKey key = NewPeerKey();
  unsigned char buf[200] = {0x04};
  unsigned char out[200];
  for (int mlen : {0, -1, SM2_MAX_MESSAGE_LEN + 1, INT32_MIN}) {
    SCOPED_TRACE(mlen);
    EXPECT_EQ(sm2_encrypt(Sm2CurveNid(), buf, mlen, key.x.get(), key.y.get(), out), 0);
  }
  for (int clen : {97, 96, 1, 0, -5, SM2_MAX_MESSAGE_LEN + 98}) {
    SCOPED_TRACE(clen);
    EXPECT_EQ(sm2_decrypt(Sm2CurveNid(), buf, clen, key.d.get(), out), 0);
  }
}

TEST_F(Sm2CryptTest, RefusesARecipientPointOffTheCurve) {
  PeerKey key = NewPeerKey();
  BnPtr y(BN_dup(key.y.get()));
  BN_add_word(y.get(), 1);
  unsigned char m[4] = {1, 2, 3, 4};
  Bytes out(4 + 97, 0xEE);
  EXPECT_EQ(sm2_encrypt(Sm2CurveNid(), m, 4, key.x.get(), y.get(), out.data()), 0);
  EXPECT_EQ(out, Bytes(out.size(), 0xEE));
}

// The curve number is not tested: any curve whose coordinates fit 32 bytes
// works, each named by the library's own number (921 is brainpoolP160r1 there,
// not the SM2 test curve).
TEST_F(Sm2CryptTest, ComputesOnOtherCurvesWhoseCoordinatesFit) {
  struct Case {
    int nid;
    bool fits;
  };
  const Case cases[] = {
      {NID_X9_62_prime256v1, true}, {NID_brainpoolP160r1, true}, {NID_secp384r1, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nid);
    const CurveParams params = ParamsOf(c.nid);
    BnPtr d(BN_new()), x, y;
    ASSERT_EQ(BN_rand_range(d.get(), params.n.get()), 1);
    PublicPoint(c.nid, d.get(), &x, &y);
    const Bytes m = RandomBytes(40);
    Bytes ct(m.size() + 97);
    ASSERT_EQ(sm2_encrypt(c.nid, m.data(), 40, x.get(), y.get(), ct.data()), c.fits ? 1 : 0);
    if (c.fits) {
      Bytes plain;
      ASSERT_EQ(Decrypt(c.nid, ct, d.get(), &plain), 1);
      EXPECT_EQ(plain, m);
    }
  }
}

TEST_F(Sm2CryptTest, KdfCountsBlocksFromOne) {
  const Bytes z = RandomBytes(64);
  const Bytes block1 = LibrarySm3({z, FromHex("00000001")});
  const Bytes block2 = LibrarySm3({z, FromHex("00000002")});
  Bytes both = block1;
  both.insert(both.end(), block2.begin(), block2.end());
  struct Case {
    uint32_t klen;
    size_t bytes;  // written bytes
  };
  // A last partial byte is dropped: 7 bits give no byte at all.
  const Case cases[] = {{7, 0}, {8, 1}, {255, 31}, {256, 32}, {260, 32}, {264, 33}, {512, 64}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.klen);
    Bytes out(70, 0xEE);
    ASSERT_EQ(sm2_kdf(z.data(), 64, c.klen, out.data()), 1);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(c.bytes)),
              Bytes(both.begin(), both.begin() + static_cast<long>(c.bytes)));
    EXPECT_EQ(out[c.bytes], 0xEE);
  }
  Bytes out(4, 0xEE);
  EXPECT_EQ(sm2_kdf(z.data(), 64, 0, out.data()), 0);
  EXPECT_EQ(sm2_kdf(z.data(), -1, 8, out.data()), 0);
  EXPECT_EQ(out, Bytes(4, 0xEE));
}

TEST_F(Sm2CryptTest, KdfEqualsTheLibraryX963KdfWithSm3) {
  EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "X963KDF", "provider=default");
  ASSERT_NE(kdf, nullptr);
  for (size_t len : {1u, 31u, 32u, 33u, 64u, 100u, 1000u}) {
    for (size_t zlen : {1u, 64u, 100u}) {
      SCOPED_TRACE(testing::Message() << "len " << len << " zlen " << zlen);
      Bytes z = RandomBytes(zlen);
      EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
      OSSL_PARAM params[] = {
          OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>("SM3"), 0),
          OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_PROPERTIES,
                                           const_cast<char*>("provider=default"), 0),
          OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, z.data(), z.size()),
          OSSL_PARAM_construct_end()};
      Bytes expected(len);
      ASSERT_EQ(EVP_KDF_derive(ctx, expected.data(), len, params), 1);
      EVP_KDF_CTX_free(ctx);
      Bytes ours(len);
      ASSERT_EQ(
          sm2_kdf(z.data(), static_cast<int>(zlen), static_cast<uint32_t>(8 * len), ours.data()),
          1);
      EXPECT_EQ(ours, expected);
    }
  }
  EVP_KDF_free(kdf);
}

TEST_F(Sm2CryptTest, AllZeroCheck) {
  struct Case {
    Bytes buf;
    int len;
    int expected;
  };
  const Case cases[] = {
      {Bytes(1), 0, 1},
      {Bytes(1), -3, 1},
      {Bytes(64), 64, 1},
      {FromHex("0000010000"), 5, 0},
      {FromHex("0000000080"), 5, 0},
      {FromHex("0000000080"), 4, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToHex(c.buf) + " / " + std::to_string(c.len));
    EXPECT_EQ(sm2_is_all_zero(c.buf.data(), c.len), c.expected);
  }
}

// The installed library's SM2 encryption writes the DER form SM2Cipher.
class Sm2PeerCryptTest : public Sm2CryptTest {
 protected:
  static Bytes PeerCrypt(EVP_PKEY* pkey, bool encrypt, const Bytes& in) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, "provider=default");
    EXPECT_EQ(encrypt ? EVP_PKEY_encrypt_init(ctx) : EVP_PKEY_decrypt_init(ctx), 1);
    size_t len = 0;
    auto run = [&](unsigned char* out) {
      return encrypt ? EVP_PKEY_encrypt(ctx, out, &len, in.data(), in.size())
                     : EVP_PKEY_decrypt(ctx, out, &len, in.data(), in.size());
    };
    Bytes out;
    if (run(nullptr) == 1) {
      out.resize(len);
      if (run(out.data()) == 1) {
        out.resize(len);
      } else {
        out.clear();
      }
    }
    EVP_PKEY_CTX_free(ctx);
    return out;
  }
};

TEST_F(Sm2PeerCryptTest, CiphertextsDecryptInBothDirections) {
  for (size_t len : {1u, 20u, 32u, 200u}) {
    SCOPED_TRACE(len);
    PeerKey key = NewPeerKey();
    const Bytes m = RandomBytes(len);

    const Bytes peerDer = PeerCrypt(key.pkey.get(), true, m);
    ASSERT_FALSE(peerDer.empty());
    const unsigned char* p = peerDer.data();
    tovel::UniquePtr<SM2Cipher> decoded(
        sm2_cipher_decode(nullptr, &p, static_cast<long>(peerDer.size())));
    ASSERT_NE(decoded, nullptr);
    Bytes raw(len + 97);
    int rawLen = 0;
    ASSERT_EQ(sm2_cipher_to_raw(decoded.get(), raw.data(), raw.size(), &rawLen), 1);
    EXPECT_EQ(static_cast<size_t>(rawLen), raw.size());
    Bytes plain;
    ASSERT_EQ(Decrypt(Sm2CurveNid(), raw, key.d.get(), &plain), 1);
    EXPECT_EQ(plain, m);

    const Bytes ours = Encrypt(Sm2CurveNid(), m, key.x.get(), key.y.get());
    tovel::UniquePtr<SM2Cipher> cipher(
        sm2_cipher_from_raw(ours.data(), static_cast<int>(ours.size())));
    ASSERT_NE(cipher, nullptr);
    unsigned char* der = nullptr;
    const int derLen = sm2_cipher_encode(cipher.get(), &der);
    ASSERT_GT(derLen, 0);
    const Bytes ourDer(der, der + derLen);
    OPENSSL_free(der);
    EXPECT_EQ(PeerCrypt(key.pkey.get(), false, ourDer), m);
  }
}

}  // namespace
