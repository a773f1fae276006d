// Start-up registration of the SM algorithms in the crypto library.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Registers everything: the library's own ciphers and digests, the SM
// objects, then register_all_ciphers() and register_all_digests(), and loads
// the extension's provider "smext" beside "default", preferred. Call once
// at start-up in place of the library's OpenSSL_add_all_algorithms().
void smext_add_all_algorithms(void);

// The library's ciphers, then "sm4-cbc" and "zuc".
void register_all_ciphers(void);
// The library's digests, then "sm3" with its aliases.
void register_all_digests(void);

#ifdef __cplusplus
}
#endif
