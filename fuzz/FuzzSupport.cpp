#include "fuzz/FuzzSupport.h"

#include <openssl/pem.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/IpHelper.h"
#include "platform/NetClassKey.h"
#include "platform/Registry.h"

namespace fuzz {

void Fail(const char* pszWhat, std::string_view detail) {
  std::fprintf(stderr, "\nPROPERTY BROKEN: %s\n", pszWhat);
  if (!detail.empty()) {
    std::fprintf(stderr, "detail (%zu bytes, hex):", detail.size());
    for (std::size_t i = 0; i < detail.size() && i < 512; ++i)
      std::fprintf(stderr, "%s%02x", i % 32 == 0 ? "\n  " : " ",
                   static_cast<unsigned char>(detail[i]));
    std::fprintf(stderr, "\n");
  }
  std::abort();
}

namespace {

// Decodes one sequence at text[i]. Returns its length when it is a
// well-formed scalar value, else 0 with *pnSubpart the length of the maximal
// ill-formed subpart (at least 1).
std::size_t DecodeOne(std::string_view text, std::size_t i, std::size_t* pnSubpart) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = b(i);
  *pnSubpart = 1;
  if (c < 0x80) return 1;
  std::size_t nNeed = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    nNeed = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    nNeed = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    nNeed = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k <= nNeed; ++k) {
    if (i + k >= text.size()) return 0;
    const unsigned char t = b(i + k);
    const bool bOk = k == 1 ? (t >= lo && t <= hi) : (t >= 0x80 && t <= 0xBF);
    if (!bOk) return 0;
    *pnSubpart = k + 1;
  }
  return nNeed + 1;
}

}  // namespace

bool IsWellFormedUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    std::size_t nSubpart = 0;
    const std::size_t n = DecodeOne(text, i, &nSubpart);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string ReplaceIllFormedUtf8(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t nSubpart = 0;
    const std::size_t n = DecodeOne(text, i, &nSubpart);
    if (n != 0) {
      out.append(text.substr(i, n));
      i += n;
    } else {
      out.append("\xEF\xBF\xBD");
      i += nSubpart;
    }
  }
  return out;
}

bool IsWellFormedUtf16(std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xDC00 && c <= 0xDFFF) return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      ++i;
    }
  }
  return true;
}

std::string ReadSeedFile(const char* pszRelative) {
  const std::string path = std::string(FUZZ_SEED_DIR) + "/" + pszRelative;
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail("seed file missing", path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void InstallFakeNetwork() {
  SetNetAdapterSourceForTesting([](std::vector<NetAdapter>& list) -> DWORD {
    list.push_back(
        NetAdapter{"eth0", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, "192.0.2.10", "192.0.2.1"});
    list.push_back(NetAdapter{"veth1", {0x02, 0x42, 0xAC, 0x11, 0x00, 0x02}, "", ""});
    return ERROR_SUCCESS;
  });
  RegMountVirtualKey(kNetClassKeyPath,
                     [](const std::u16string& path) -> std::optional<RegVirtualKey> {
                       RegVirtualKey key;
                       if (path.empty()) {
                         key.subKeys = {u"0000", u"0001"};
                       } else if (path == u"0000") {
                         key.textValues[u"NetCfgInstanceId"] = u"eth0";
                         key.dwordValues[u"Characteristics"] = NCF_PHYSICAL | NCF_HAS_UI;
                       } else if (path == u"0001") {
                         key.textValues[u"NetCfgInstanceId"] = u"veth1";
                         key.dwordValues[u"Characteristics"] = NCF_VIRTUAL;
                       } else {
                         return std::nullopt;
                       }
                       return key;
                     });
}

EVP_PKEY* SeedServerKey() {
  static EVP_PKEY* const pKey = [] {
    const std::string pem = ReadSeedFile("pki/server-key.pem");
    BIO* pBio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* pRead = PEM_read_bio_PrivateKey(pBio, nullptr, nullptr, nullptr);
    BIO_free(pBio);
    if (pRead == nullptr) Fail("seed server key unreadable");
    return pRead;
  }();
  return pKey;
}

bool FaultExpected(const char* pszName) {
  const char* pszList = std::getenv("TOVEL_FUZZ_EXPECTED_FAULTS");
  if (pszList == nullptr) return false;
  const std::string_view list(pszList), name(pszName);
  for (std::size_t nPos = 0; nPos <= list.size();) {
    std::size_t nEnd = list.find(',', nPos);
    if (nEnd == std::string_view::npos) nEnd = list.size();
    if (list.substr(nPos, nEnd - nPos) == name) return true;
    nPos = nEnd + 1;
  }
  return false;
}

}  // namespace fuzz
