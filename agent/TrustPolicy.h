// The server certificate policy: the carried CA certificates and the two
// accepted server host names.
#pragma once

struct CertPolicy {
  // The trust list: the Base64 DER of each CA certificate, joined by "|",
  // intermediate first and root second.
  const char* pszTrustCertData;
  // The accepted subject common names, compared in this order, byte for byte.
  const char* pszAcceptedName1;
  const char* pszAcceptedName2;
};

// The policy the program hands its agent: the carried intermediate and root CA
// certificates and the host names fixed at build time. No run-time input
// changes it.
const CertPolicy& BuiltInCertPolicy();

// The carried trust list itself (3013 characters), whatever policy an agent is given.
extern const char g_szCarriedTrustCertData[];
