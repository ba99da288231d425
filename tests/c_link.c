/* The module as a C firmware engineer links it: the header from C by its
 * installed name, the object beside libcrypto, no C++ run time; built here
 * and, against an installed package, by tests/install/consumer. Exits 0 when a signature made by
 * the object verifies and a tampered one does not. The key is the first
 * P-256 pair of NIST's KeyPair.rsp. */
#include <stdio.h>

#include <rawcrypt/encrypt.h>

static void from_hex(const char *hex, unsigned char *out) {
  for (int i = 0; i < 32; ++i) sscanf(hex + 2 * i, "%2hhx", &out[i]);
}

int main(void) {
  unsigned char d[32], x[32], y[32], sig[64];
  from_hex("c9806898a0334916c860748880a541f093b579a9b1f32934d86c363c39800357", d);
  from_hex("d0720dc691aa80096ba32fed1cb97c2b620690d06de0317b8618d5ce65eb728f", x);
  from_hex("9681b517b1cda17d0d83d335d9c4a8a9a9b0b1b3c7106d8f3c72bc5093dc275f", y);
  const unsigned char msg[] = "linked from C";
  if (ecc_sign(d, msg, sig, sizeof msg - 1) != 1) return 1;
  if (ecc_verify(x, y, msg, sig, sizeof msg - 1) != 1) return 2;
  sig[5] ^= 1;
  if (ecc_verify(x, y, msg, sig, sizeof msg - 1) == 1) return 3;
  puts("signed and verified from C");
  return 0;
}
