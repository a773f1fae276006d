#include "tests/cert/SharedPki.h"

namespace testpki {

const SharedPki& Pki() {
  static const SharedPki pki = [] {
    SharedPki p;
    p.rootKey = MakeKey(KeyType::Rsa2048);
    p.interKey = MakeKey(KeyType::Rsa2048);
    p.leafKey = MakeKey(KeyType::Rsa2048);
    p.otherKey = MakeKey(KeyType::Rsa2048);
    p.ecKey = MakeKey(KeyType::EcP256);
    p.sm2Key = MakeKey(KeyType::Sm2);

    CertSpec root;
    root.subject = {{"C", "XX"}, {"O", "Test PKI"}, {"CN", "Test Root CA"}};
    root.keyUsage = "digitalSignature,keyCertSign,cRLSign";
    root.ca = true;
    root.notBefore = Now() - 30 * kDay;
    root.notAfter = Now() + 3650 * kDay;
    root.serial = 1;
    p.root = Issue(root, p.rootKey.get(), nullptr, p.rootKey.get());

    CertSpec inter = root;
    inter.subject = {{"C", "XX"}, {"O", "Test PKI"}, {"CN", "Test Intermediate CA"}};
    inter.pathLength = 0;
    inter.serial = 2;
    p.inter = Issue(inter, p.interKey.get(), p.root.get(), p.rootKey.get());

    p.trustList = Base64(ToDer(p.inter.get())) + "|" + Base64(ToDer(p.root.get()));
    return p;
  }();
  return pki;
}

}  // namespace testpki
