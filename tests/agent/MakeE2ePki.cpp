// Makes the end-to-end test PKI into the folder given as the only argument:
//   TestPolicy.inc   the trust list and accepted names of the test build
//   server.b64       Base64 DER of a server certificate for the first name
//   server-key.pem   its private key
//   ecdsa.b64        the same name, signed with ECDSA (refused by type)
//   expired.b64      the same name under the test CA, expired a day ago
#include <openssl/pem.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "tests/cert/SharedPki.h"

namespace {

using namespace testpki;

void WriteText(const std::filesystem::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::string KeyPem(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr || PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
    throw std::runtime_error("cannot write the key");
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<std::size_t>(length));
  BIO_free(bio);
  return pem;
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
    WriteText(dir / "TestPolicy.inc", "#define E2E_TRUST_LIST \"" + pki.trustList + "\"\n#define E2E_NAME_1 \"" +
                                          kName1 + "\"\n#define E2E_NAME_2 \"" + kName2 + "\"\n");

    CertSpec server = pki.Leaf({{"CN", kName1}});
    server.notAfter = Now() + 3650 * kDay;
    WriteText(dir / "server.b64", Base64(ToDer(pki.IssueByInter(server).get())));
    WriteText(dir / "server-key.pem", KeyPem(pki.leafKey.get()));

    CertSpec ecdsa = pki.Leaf({{"CN", kName1}});
    ecdsa.signature = Signature::EcdsaWithSha256;
    WriteText(dir / "ecdsa.b64", Base64(ToDer(Issue(ecdsa, pki.leafKey.get(), nullptr, pki.ecKey.get()).get())));

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
