// Error entries of the SM2 code (usable from C and C++).
#pragma once

#include <openssl/err.h>

// The function codes of the 1.x error tables. 3.0 records no function code,
// so each entry carries its code as error data, "func=<code>".
enum {
  SM2_FUNC_ECDSA_DO_SIGN = 101,
  SM2_FUNC_ECDSA_DO_VERIFY = 102,
  SM2_FUNC_ECDSA_SIGN_SETUP = 103,
  SM2_FUNC_D2I_ECPRIVATEKEY = 146,
  SM2_FUNC_PKEY_EC_CTRL = 197,
  SM2_FUNC_PKEY_EC_SIGN = 218,
  SM2_FUNC_OLD_EC_PRIV_DECODE = 222,
};

// The 1.x reason "random number generation failed" of the ECDSA library,
// which 3.0 no longer defines.
#define SM2_R_RANDOM_NUMBER_GENERATION_FAILED 104

#define SM2_RAISE(lib, func, reason) ERR_raise_data((lib), (reason), "func=%d", (int)(func))
