// The built-in server certificate policy. The two accepted host names come from
// the build (TOVEL_SERVER_NAME_1 and TOVEL_SERVER_NAME_2, CMake cache
// variables); without them the build accepts no real name.
#include "agent/TrustPolicy.h"

#ifndef TOVEL_SERVER_NAME_1
#define TOVEL_SERVER_NAME_1 "server1.tovel.invalid"
#endif
#ifndef TOVEL_SERVER_NAME_2
#define TOVEL_SERVER_NAME_2 "server2.tovel.invalid"
#endif

const char g_szCarriedTrustCertData[] =
#include "agent/TrustList.inc"
    ;

static_assert(sizeof(g_szCarriedTrustCertData) == 3013 + 1,
              "the carried trust list is 3013 characters");

const CertPolicy& BuiltInCertPolicy() {
  static constexpr CertPolicy stPolicy{g_szCarriedTrustCertData, TOVEL_SERVER_NAME_1,
                                       TOVEL_SERVER_NAME_2};
  return stPolicy;
}
