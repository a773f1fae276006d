// Makes the end-to-end test PKI into the folder given as the only argument:
//   TestPolicy.inc   the trust list and accepted names of the test build
//   server.b64       Base64 DER of a server certificate for the first name
//   server-key.pem   its private key
//   ecdsa.b64        the same name, signed with ECDSA (refused by type)
//   expired.b64      the same name under the test CA, expired a day ago
//   splice-*.b64     bytes around or beside the server certificate that must
//                    be refused: another certificate's DER then the server's
//                    PEM, the server's DER then another DER, the server's DER
//                    then junk, the server's PEM alone, and another DER that
//                    carries the server's PEM inside
#include <openssl/pem.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "platform/UniquePtr.h"
#include "tests/cert/SharedPki.h"

namespace {

using namespace testpki;

void WriteText(const std::filesystem::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::string KeyPem(EVP_PKEY* key) {
  const tovel::UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
  if (bio == nullptr ||
      PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
    throw std::runtime_error("cannot write the key");
  char* data = nullptr;
  long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: agent_e2e_pki <output folder>\n";
    return 2;
  }
  try {
    const std::filesystem::path dir = argv[1];
    const SharedPki& pki = Pki();
    WriteText(dir / "TestPolicy.inc", "#define E2E_TRUST_LIST \"" + pki.trustList +
                                          "\"\n#define E2E_NAME_1 \"" + kName1 +
                                          "\"\n#define E2E_NAME_2 \"" + kName2 + "\"\n");

    CertSpec server = pki.Leaf({{"CN", kName1}});
    server.notAfter = Now() + 3650 * kDay;
    const Cert serverCert = pki.IssueByInter(server);
    const std::vector<unsigned char> serverDer = ToDer(serverCert.get());
    const std::string serverPem = ToPem(serverCert.get());
    WriteText(dir / "server.b64", Base64(serverDer));

    // Someone's own certificate for the same name and usage, self-signed.
    CertSpec own = pki.Leaf({{"CN", kName1}});
    const std::vector<unsigned char> ownDer =
        ToDer(Issue(own, pki.otherKey.get(), nullptr, pki.otherKey.get()).get());
    CertSpec carrier = pki.Leaf({{"OU", "\n" + serverPem}, {"CN", kName1}});
    const std::vector<unsigned char> carrierDer =
        ToDer(Issue(carrier, pki.otherKey.get(), nullptr, pki.otherKey.get()).get());
    auto join = [](std::vector<unsigned char> first, const std::vector<unsigned char>& second) {
      first.insert(first.end(), second.begin(), second.end());
      return first;
    };
    const std::vector<unsigned char> pemBytes(serverPem.begin(), serverPem.end());
    WriteText(dir / "splice-der-pem.b64", Base64(join(ownDer, pemBytes)));
    WriteText(dir / "splice-der-der.b64", Base64(join(serverDer, ownDer)));
    WriteText(dir / "splice-der-junk.b64", Base64(join(serverDer, {'j', 'u', 'n', 'k'})));
    WriteText(dir / "splice-pem.b64", Base64(pemBytes));
    WriteText(dir / "splice-carrier.b64", Base64(carrierDer));
    WriteText(dir / "server-key.pem", KeyPem(pki.leafKey.get()));

    CertSpec ecdsa = pki.Leaf({{"CN", kName1}});
    ecdsa.signature = Signature::EcdsaWithSha256;
    WriteText(dir / "ecdsa.b64",
              Base64(ToDer(Issue(ecdsa, pki.leafKey.get(), nullptr, pki.ecKey.get()).get())));

    CertSpec expired = pki.Leaf({{"CN", kName1}});
    expired.notBefore = Now() - 30 * kDay;
    expired.notAfter = Now() - kDay;
    WriteText(dir / "expired.b64", Base64(ToDer(pki.IssueByInter(expired).get())));
  } catch (const std::exception& e) {
    std::cerr << "agent_e2e_pki: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
