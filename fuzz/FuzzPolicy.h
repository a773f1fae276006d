// The certificate policy the harnesses that reach the agent hand it.
#pragma once

#include "agent/TrustPolicy.h"

namespace fuzz {

// The seed PKI's intermediate and root (fuzz/seeds/pki) and the names of its
// server certificates.
const CertPolicy& SeedCertPolicy();

}  // namespace fuzz
