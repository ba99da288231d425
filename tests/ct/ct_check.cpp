// Constant-time check, run under valgrind memcheck: the private scalar, the
// generator's draws (from which the nonce is made) and the cipher keys are
// marked undefined, so that memcheck reports every branch and every memory
// index that depends on them. libcrypto's own frames are suppressed
// (ct_check.supp); the module's frames must show nothing. The module is
// built for this with RAWCRYPT_CT_CHECK, which declassifies what becomes
// public (a rejected candidate, a refusal, the signature's halves).
//
// Two runs must fail, each proof that the suppressions hide too little to
// matter: "--leaky" adds a branch on a secret in a frame of the program's
// own; "--leaky-inverse" inverts the nonce by the library's variable-time
// path (a switch of this build of the module), inside libcrypto's frames.
#include "target/compat.h"

#include <valgrind/memcheck.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "helpers/encrypt.h"
#include "target/secret.h"

namespace {

int secret_draws(unsigned char* buf, int num) {
  const int ok = rawcrypt::default_rand_method()->bytes(buf, num);  // libcrypto's own generator
  VALGRIND_MAKE_MEM_UNDEFINED(buf, num);
  return ok;
}
int always_seeded() { return 1; }
RAND_METHOD draws = {nullptr, secret_draws, nullptr, nullptr, secret_draws, always_seeded};

void secret(void* p, size_t n) { VALGRIND_MAKE_MEM_UNDEFINED(p, n); }
void now_public(const void* p, size_t n) { VALGRIND_MAKE_MEM_DEFINED(p, n); }

volatile int leak_sink;

__attribute__((noinline)) void leaky_branch(const unsigned char* key) {
  if (key[0] & 1) leak_sink = 1;  // a store: no conditional move can stand in for the jump
}

}  // namespace

int main(int argc, char** argv) {
  int failures = 0;
  // A private scalar in [1, n-1] and a message.
  unsigned char d[32], pub_x[32], pub_y[32];
  memset(d, 0x11, sizeof d);
  const unsigned char message[] = "constant time";
  {  // its public point, computed before anything is marked
    EC_KEY* key = EC_KEY_new_by_curve_name(NID_X9_62_prime256v1);
    BIGNUM* scalar = BN_bin2bn(d, 32, nullptr);
    EC_POINT* q = EC_POINT_new(EC_KEY_get0_group(key));
    BIGNUM *x = BN_new(), *y = BN_new();
    EC_POINT_mul(EC_KEY_get0_group(key), q, scalar, nullptr, nullptr, nullptr);
    rawcrypt::ec_point_get_affine(EC_KEY_get0_group(key), q, x, y, nullptr);
    rawcrypt::bn_to_be32(x, pub_x);
    rawcrypt::bn_to_be32(y, pub_y);
    BN_free(x);
    BN_free(y);
    EC_POINT_free(q);
    BN_free(scalar);
    EC_KEY_free(key);
  }
  unsigned char sig[64];
  ecc_sign(d, message, sig, sizeof message);  // the poll and libcrypto's set-up, unmarked

  const char* leak = argc > 1 ? argv[1] : "";
  rawcrypt::ct_check::variable_time_inverse = strcmp(leak, "--leaky-inverse") == 0;
  unsigned char sigs[4][64];
  int signed_ok[4];
  RAND_set_rand_method(&draws);
  for (int round = 0; round < 4; ++round) {
    secret(d, sizeof d);
    signed_ok[round] = ecc_sign(d, message, sigs[round], sizeof message);
    now_public(&signed_ok[round], sizeof signed_ok[round]);
    now_public(sigs[round], sizeof sigs[round]);
    now_public(d, sizeof d);
  }
  // Checked with the library's own draws again: 1.1.1 blinds the
  // verification's coordinates with random numbers, which are no secret.
  RAND_set_rand_method(rawcrypt::default_rand_method());
  for (int round = 0; round < 4; ++round) {
    if (signed_ok[round] != 1 || ecc_verify(pub_x, pub_y, message, sigs[round], sizeof message) != 1) {
      std::printf("ct_check: signature %d not made or not valid\n", round);
      ++failures;
    }
  }

  unsigned char aes_key[32], iv[16], des_key[24];
  memset(aes_key, 0x22, sizeof aes_key);
  memset(iv, 0x33, sizeof iv);
  memset(des_key, 0x44, sizeof des_key);
  static unsigned char in[4112], out[4112];  // decryption reads a whole final block
  memset(in, 0x55, sizeof in);
  for (uint32_t length : {100u, 4100u}) {  // the low-level path and the EVP one
    secret(aes_key, sizeof aes_key);
    aes_enc(in, length, aes_key, iv, out);
    aes_dec(in, length, aes_key, iv, out);
    now_public(aes_key, sizeof aes_key);
    now_public(out, sizeof out);
  }
  secret(des_key, sizeof des_key);
  des3_dec(in, 4096, des_key, out);
  now_public(des_key, sizeof des_key);
  now_public(out, sizeof out);

  if (strcmp(leak, "--leaky") == 0) {
    secret(aes_key, sizeof aes_key);
    leaky_branch(aes_key);
  }
  std::printf("ct_check: %s\n", failures == 0 ? "done" : "FAILED");
  return failures == 0 ? 0 : 1;
}
