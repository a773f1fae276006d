// The device identity agent behind "GetMacAddress" and "GetLastErrorDesc".
#pragma once

#include <cstddef>

#include "Host/StatusCodes.h"
#include "agent/TrustPolicy.h"
#include "platform/WinTypes.h"

// Room of a status description: a zeroed buffer of DESC_BUFFER_CHARS, used with
// a size of DESC_MAX_CHARS (at most DESC_MAX_CHARS - 1 characters and the
// terminator).
constexpr int DESC_BUFFER_CHARS = 512;
constexpr int DESC_MAX_CHARS = DESC_BUFFER_CHARS - 1;

// The longest certificate text GetMacAddress takes, in UTF-16 units: far
// beyond any server certificate in Base64. A longer one is E_INVALIDARG.
constexpr std::size_t MAX_CERT_TEXT_LEN = 1024 * 1024;

class CTovelAgent {
 public:
  // Registers all of the crypto library's algorithms and the SM extension's,
  // and mounts the network adapter class key. Server certificates are checked
  // under stPolicy (borrowed: it outlives the agent); the program passes
  // BuiltInCertPolicy().
  explicit CTovelAgent(const CertPolicy& stPolicy);
  // Releases the crypto library's global tables. Not virtual: the agent is
  // never deleted through another type.
  ~CTovelAgent();
  CTovelAgent(const CTovelAgent&) = delete;
  CTovelAgent& operator=(const CTovelAgent&) = delete;

  // Checks the Base64 server certificate (zero-terminated UTF-16, the
  // caller's; exactly one DER certificate, nothing beside it), encrypts the
  // machine's MAC list under its RSA key and returns the ciphertext in Base64
  // as a new system string in *pbstrMacAddress (the empty string on failure;
  // the caller frees it). Returns the status, which also becomes
  // m_hLastResult.
  virtual HRESULT GetMacAddress(const char16_t* bstrBase64ServerCert, char16_t** pbstrMacAddress);
  // Describes m_hLastResult in a new system string: the string-table text of an
  // own code or the system's text of any other, then "\n(0x%08x)". S_OK, or
  // E_OUTOFMEMORY when the string cannot be made.
  virtual HRESULT GetLastErrorDesc(char16_t** pbstrDesc);

  HRESULT m_hLastResult = 0;

 private:
  const CertPolicy& m_stPolicy;
};

// Appends "\n(0x%08x)" with hCode to the description in pszDesc (a buffer of
// DESC_BUFFER_CHARS), cutting the text first when the suffix would not fit.
void AppendStatusSuffix(char16_t* pszDesc, HRESULT hCode);
