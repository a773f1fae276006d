// The SM2 DER decoders and decryption of the raw ciphertext. The first byte
// picks the target, the rest is the input:
//   0  SM2Cipher: a decoded value re-encodes stably, and when it has a raw
//      form, raw -> SM2Cipher -> DER gives the same encoding again.
//   1  SM2_PRIVATEKEY: the item re-encodes stably; decode_sm2_private_key into
//      a new key and into a given key.
//   2  ec_key_legacy_decode into a new key: success leaves an EC key.
//   3  the key-container items (second byte picks one): re-encode stably.
//   4  sm2_decrypt of the bytes as a raw ciphertext with a fixed key: a
//      ciphertext shorter than 98 bytes fails, and a failure leaves the
//      output untouched; a raw form SM2Cipher takes comes back unchanged.
//   5  the bytes as a message: encryption then decryption gives it back, the
//      raw form survives SM2Cipher and back, and a ciphertext with one byte
//      changed fails to decrypt.
//   6  the bytes as a DER SM2Cipher, decrypted through its raw form with the
//      key of fuzz/seeds/pki (whose seed ciphertexts the installed library's
//      own SM2 made): a failure leaves the output untouched.
// The key is checked at start-up against the peer's ciphertext of a known
// message.
#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "smext/sm2.h"
#include "smext/sm2_asn1.h"
#include "smext/sm_objects.h"
#include "smext/smext.h"

namespace {

using Bytes = std::vector<unsigned char>;

int g_nCurve = 0;
BIGNUM* g_pD = nullptr;
BIGNUM* g_pX = nullptr;
BIGNUM* g_pY = nullptr;

std::string_view View(const Bytes& b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

Bytes EncodeItem(const ASN1_VALUE* pValue, const ASN1_ITEM* pItem) {
  unsigned char* pbyOut = nullptr;
  const int nLen = ASN1_item_i2d(const_cast<ASN1_VALUE*>(pValue), &pbyOut, pItem);
  fuzz::Check(nLen > 0 && pbyOut != nullptr, "a decoded value does not encode");
  Bytes out(pbyOut, pbyOut + nLen);
  OPENSSL_free(pbyOut);
  return out;
}

// Decodes with the item; when that works, the encoding decodes again to a
// value that encodes to the same bytes.
void ItemStable(const Bytes& in, const ASN1_ITEM* pItem) {
  const unsigned char* p = in.data();
  ASN1_VALUE* pValue = ASN1_item_d2i(nullptr, &p, static_cast<long>(in.size()), pItem);
  if (pValue == nullptr) return;
  const Bytes first = EncodeItem(pValue, pItem);
  ASN1_item_free(pValue, pItem);
  p = first.data();
  pValue = ASN1_item_d2i(nullptr, &p, static_cast<long>(first.size()), pItem);
  fuzz::Check(pValue != nullptr && p == first.data() + first.size(),
              "an encoding does not decode again", View(in));
  fuzz::Check(EncodeItem(pValue, pItem) == first, "re-encoding is not stable", View(in));
  ASN1_item_free(pValue, pItem);
}

void Sm2CipherTarget(const Bytes& in) {
  ItemStable(in, ASN1_ITEM_rptr(SM2Cipher));
  const unsigned char* p = in.data();
  const tovel::UniquePtr<SM2Cipher> pCipher(
      sm2_cipher_decode(nullptr, &p, static_cast<long>(in.size())));
  if (pCipher == nullptr) return;
  unsigned char* pbyDer = nullptr;
  const int nDer = sm2_cipher_encode(pCipher.get(), &pbyDer);
  fuzz::Check(nDer > 0, "sm2_cipher_encode failed", View(in));
  Bytes raw(in.size() + SM2_CIPHERTEXT_OVERHEAD);
  int nRaw = 0;
  if (sm2_cipher_to_raw(pCipher.get(), raw.data(), raw.size(), &nRaw) == 1) {
    fuzz::Check(nRaw > SM2_CIPHERTEXT_OVERHEAD && static_cast<std::size_t>(nRaw) <= raw.size() &&
                    raw[0] == 0x04,
                "sm2_cipher_to_raw wrote a malformed raw form", View(in));
    const tovel::UniquePtr<SM2Cipher> pBack(sm2_cipher_from_raw(raw.data(), nRaw));
    fuzz::Check(pBack != nullptr, "a raw form made from SM2Cipher is refused", View(in));
    unsigned char* pbyAgain = nullptr;
    const int nAgain = sm2_cipher_encode(pBack.get(), &pbyAgain);
    fuzz::Check(
        nAgain == nDer && Bytes(pbyAgain, pbyAgain + nAgain) == Bytes(pbyDer, pbyDer + nDer),
        "SM2Cipher -> raw -> SM2Cipher changed the value", View(in));
    OPENSSL_free(pbyAgain);
  }
  OPENSSL_free(pbyDer);
}

void PrivateKeyTarget(const Bytes& in) {
  ItemStable(in, ASN1_ITEM_rptr(SM2_PRIVATEKEY));
  const unsigned char* p = in.data();
  EC_KEY* pKey = decode_sm2_private_key(nullptr, &p, static_cast<long>(in.size()));
  if (pKey != nullptr) {
    fuzz::Check(p > in.data() && p <= in.data() + in.size(),
                "decoder moved the cursor out of the input", View(in));
    fuzz::Check(EC_KEY_get0_private_key(pKey) != nullptr, "decoded key without a private scalar",
                View(in));
  }
  EC_KEY_free(pKey);
  EC_KEY* pGiven = EC_KEY_new();
  EC_KEY* pInto = pGiven;
  p = in.data();
  EC_KEY* pResult = decode_sm2_private_key(&pInto, &p, static_cast<long>(in.size()));
  fuzz::Check(pResult == nullptr || pResult == pGiven,
              "decoding into a given key returned another key", View(in));
  fuzz::Check(pInto == pGiven, "decoding into a given key replaced it", View(in));
  EC_KEY_free(pGiven);
}

void LegacyTarget(const Bytes& in) {
  EVP_PKEY* pKey = EVP_PKEY_new();
  const unsigned char* p = in.data();
  if (ec_key_legacy_decode(pKey, &p, static_cast<int>(in.size())) == 1) {
    fuzz::Check(EVP_PKEY_get0_EC_KEY(pKey) != nullptr,
                "legacy decoding succeeded without an EC key", View(in));
    fuzz::Check(ERR_peek_error() == 0, "legacy decoding succeeded with errors queued", View(in));
  }
  EVP_PKEY_free(pKey);
}

void ContainerTarget(const Bytes& in) {
  if (in.empty()) return;
  const ASN1_ITEM* rgpItem[] = {ASN1_ITEM_rptr(PFX_SM2), ASN1_ITEM_rptr(PFX_SM2_PRIVATE_DATA),
                                ASN1_ITEM_rptr(PFX_SM2_PUBLIC_DATA),
                                ASN1_ITEM_rptr(SM2_PRIVATE_DATA), ASN1_ITEM_rptr(SM2_PUBLIC_DATA)};
  ItemStable(Bytes(in.begin() + 1, in.end()), rgpItem[in[0] % 5]);
}

void DecryptTarget(const Bytes& in) {
  const std::size_t nOut =
      in.size() > SM2_CIPHERTEXT_OVERHEAD ? in.size() - SM2_CIPHERTEXT_OVERHEAD : 1;
  Bytes out(nOut, 0xA5);
  const int nOk = sm2_decrypt(g_nCurve, in.data(), static_cast<int>(in.size()), g_pD, out.data());
  if (in.size() <= SM2_CIPHERTEXT_OVERHEAD)
    fuzz::Check(nOk == 0, "decrypted a ciphertext without a message", View(in));
  if (nOk == 0)
    fuzz::Check(out == Bytes(nOut, 0xA5), "a failed decryption wrote its output", View(in));

  const tovel::UniquePtr<SM2Cipher> pCipher(
      sm2_cipher_from_raw(in.data(), static_cast<int>(in.size())));
  if (pCipher == nullptr) return;
  fuzz::Check(in.size() > SM2_CIPHERTEXT_OVERHEAD && in[0] == 0x04,
              "sm2_cipher_from_raw took a malformed raw form", View(in));
  Bytes raw(in.size());
  int nRaw = 0;
  fuzz::Check(sm2_cipher_to_raw(pCipher.get(), raw.data(), raw.size(), &nRaw) == 1 && raw == in,
              "raw -> SM2Cipher -> raw changed the bytes", View(in));
}

void RoundTripTarget(const Bytes& m) {
  if (m.empty() || m.size() > 4096) return;
  const int nLen = static_cast<int>(m.size());
  Bytes c(m.size() + SM2_CIPHERTEXT_OVERHEAD);
  fuzz::Check(sm2_encrypt(g_nCurve, m.data(), nLen, g_pX, g_pY, c.data()) == 1,
              "sm2_encrypt failed", View(m));
  Bytes plain(m.size());
  fuzz::Check(
      sm2_decrypt(g_nCurve, c.data(), static_cast<int>(c.size()), g_pD, plain.data()) == 1 &&
          plain == m,
      "decryption did not give the message back", View(m));

  const tovel::UniquePtr<SM2Cipher> pCipher(
      sm2_cipher_from_raw(c.data(), static_cast<int>(c.size())));
  fuzz::Check(pCipher != nullptr, "sm2_cipher_from_raw refused a ciphertext", View(c));
  Bytes raw(c.size());
  int nRaw = 0;
  fuzz::Check(sm2_cipher_to_raw(pCipher.get(), raw.data(), raw.size(), &nRaw) == 1 && raw == c,
              "raw -> SM2Cipher -> raw changed the ciphertext", View(c));

  // One changed byte, at a place and with a value the message picks.
  std::size_t nHash = 0;
  for (unsigned char b : m) nHash = nHash * 131 + b;
  Bytes changed = c;
  changed[nHash % changed.size()] ^= static_cast<unsigned char>(1u << (nHash / 7 % 8));
  Bytes untouched(m.size(), 0x5A);
  fuzz::Check(sm2_decrypt(g_nCurve, changed.data(), static_cast<int>(changed.size()), g_pD,
                          untouched.data()) == 0,
              "a changed ciphertext decrypted", View(changed));
  fuzz::Check(untouched == Bytes(m.size(), 0x5A), "a failed decryption wrote its output",
              View(changed));
}

// Decodes a DER SM2Cipher and decrypts its raw form; nullopt when either fails.
std::optional<Bytes> DecryptDer(const Bytes& in) {
  const unsigned char* p = in.data();
  tovel::UniquePtr<SM2Cipher> pCipher(sm2_cipher_decode(nullptr, &p, static_cast<long>(in.size())));
  if (pCipher == nullptr) return std::nullopt;
  Bytes raw(in.size() + SM2_CIPHERTEXT_OVERHEAD);
  int nRaw = 0;
  const bool bRaw = sm2_cipher_to_raw(pCipher.get(), raw.data(), raw.size(), &nRaw) == 1;
  pCipher.reset();
  if (!bRaw) return std::nullopt;
  fuzz::Check(nRaw > SM2_CIPHERTEXT_OVERHEAD, "sm2_cipher_to_raw wrote no message", View(in));
  const std::size_t nOut = static_cast<std::size_t>(nRaw) - SM2_CIPHERTEXT_OVERHEAD;
  Bytes out(nOut, 0xC3);
  if (sm2_decrypt(g_nCurve, raw.data(), nRaw, g_pD, out.data()) != 1) {
    fuzz::Check(out == Bytes(nOut, 0xC3), "a failed decryption wrote its output", View(in));
    return std::nullopt;
  }
  return out;
}

void DecryptDerTarget(const Bytes& in) { DecryptDer(in); }

Bytes SeedBytes(const char* pszRelative) {
  const std::string text = fuzz::ReadSeedFile(pszRelative);
  return Bytes(text.begin(), text.end());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  smext_add_all_algorithms();
  g_nCurve = sm_obj_nid(SM_OBJ_SM2_CURVE);
  EC_GROUP* pGroup = sm_ec_group_new(g_nCurve);
  fuzz::Check(pGroup != nullptr, "no SM2 curve");
  g_pD = BN_new();
  g_pX = BN_new();
  g_pY = BN_new();
  EC_POINT* pPoint = EC_POINT_new(pGroup);
  BN_CTX* pCtx = BN_CTX_new();
  const std::string keyHex = fuzz::ReadSeedFile("pki/sm2-key.hex");
  fuzz::Check(BN_hex2bn(&g_pD, keyHex.c_str()) == static_cast<int>(keyHex.size()) &&
                  EC_POINT_mul(pGroup, pPoint, g_pD, nullptr, nullptr, pCtx) == 1 &&
                  EC_POINT_get_affine_coordinates(pGroup, pPoint, g_pX, g_pY, pCtx) == 1,
              "no SM2 key");
  BN_CTX_free(pCtx);
  EC_POINT_free(pPoint);
  EC_GROUP_free(pGroup);
  const std::optional<Bytes> message = DecryptDer(SeedBytes("pki/sm2-message.der"));
  fuzz::Check(message && *message == SeedBytes("pki/sm2-message.txt"),
              "the peer's seed ciphertext does not decrypt to its message");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pbyData, std::size_t nSize) {
  if (nSize == 0) return 0;
  const Bytes in(pbyData + 1, pbyData + nSize);
  ERR_clear_error();
  switch (pbyData[0] % 7) {
    case 0: Sm2CipherTarget(in); break;
    case 1: PrivateKeyTarget(in); break;
    case 2: LegacyTarget(in); break;
    case 3: ContainerTarget(in); break;
    case 4: DecryptTarget(in); break;
    case 5: RoundTripTarget(in); break;
    default: DecryptDerTarget(in); break;
  }
  ERR_clear_error();
  return 0;
}
