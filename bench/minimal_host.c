/* A bare native messaging host, the peer of the start-up and exit
 * benchmarks: it initialises the crypto library's ciphers and digests as the
 * host does, answers every frame with a fixed "GetVersion" response and ends
 * as soon as the channel ends (a count of 0 or 0xFFFFFFFF, or end of input). */
#include <openssl/crypto.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int read_all(void* buffer, size_t size) {
  unsigned char* p = buffer;
  while (size > 0) {
    ssize_t n = read(0, p, size);
    if (n <= 0) return 0;
    p += n;
    size -= (size_t)n;
  }
  return 1;
}

static int write_all(const void* buffer, size_t size) {
  const unsigned char* p = buffer;
  while (size > 0) {
    ssize_t n = write(1, p, size);
    if (n <= 0) return 0;
    p += n;
    size -= (size_t)n;
  }
  return 1;
}

int main(void) {
  static const char response[] =
      "{\"function\":\"GetVersion\",\"errorcode\":0,\"result\":\"1.0.0.2\",\"randomId\":\"bench\"}";
  if (!OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, NULL))
    return 1;
  for (;;) {
    uint32_t count = 0;
    if (!read_all(&count, sizeof(count)) || count == 0 || count == 0xFFFFFFFFu) return 0;
    char* request = malloc(count);
    if (request == NULL || !read_all(request, count)) return 1;
    free(request);
    const uint32_t length = sizeof(response) - 1;
    if (!write_all(&length, sizeof(length)) || !write_all(response, length)) return 1;
  }
}
