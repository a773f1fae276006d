// Shared pieces of the fuzz harnesses: strict text checks, a failure report
// that ends the run, the fake network and the certificate policy they run
// with, and the faults that are known and still open.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace fuzz {

// Reports a broken property and aborts, so that libFuzzer keeps the input.
[[noreturn]] void Fail(const char* pszWhat, std::string_view detail = {});
inline void Check(bool bHolds, const char* pszWhat, std::string_view detail = {}) {
  if (!bHolds) Fail(pszWhat, detail);
}

// Well-formed UTF-8: shortest forms only, no surrogates, nothing above
// U+10FFFF, no truncated sequence.
bool IsWellFormedUtf8(std::string_view text);
// Well-formed UTF-16: every surrogate in a high-low pair.
bool IsWellFormedUtf16(std::u16string_view text);
// The text with every maximal ill-formed subpart replaced by U+FFFD (EF BF BD).
std::string ReplaceIllFormedUtf8(std::string_view text);

// A file of the seed folder (fuzz/seeds/<relative>), read whole.
std::string ReadSeedFile(const char* pszRelative);

// Installs a fake adapter list (a physical connected adapter and a virtual
// one) and its network adapter class key; call after the agent is made.
void InstallFakeNetwork();

// The private key of the seed server certificate (fuzz/seeds/pki).
EVP_PKEY* SeedServerKey();

// True when the fault is named in TOVEL_FUZZ_EXPECTED_FAULTS (comma
// separated): a fault that is known, reported and not fixed yet, whose
// property is then not asserted so that a run can look for other faults.
bool FaultExpected(const char* pszName);

}  // namespace fuzz
