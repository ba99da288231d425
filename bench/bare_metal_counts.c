/* Instructions per call of each helper beside libcrypto 1.0.2's own path
 * for the same work, on the bare-metal image (qemu -icount: one instruction
 * per virtual nanosecond, counted on the Cortex-A9 global timer). The clock
 * is held and the generator polled again under it, so the nonces and with
 * them the counts repeat from run to run.
 * A bench, not a check: it prints, it judges nothing. */
#include <openssl/aes.h>
#include <openssl/des.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/rand.h>
#include <string.h>

#include "helpers/encrypt.h"
#include "tests/baremetal/probes.h"

void print_instruction_counts(const uint8_t d[32], const uint8_t x[32], const uint8_t y[32]);

static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

static struct {
  const uint8_t *d, *x, *y;
  uint8_t message[1024], signature[64], out[1040], key[32], iv[16];
  char text[1400];
  uint32_t length;
} work;

static void sha256(const uint8_t *m, uint32_t n, uint8_t digest[32]) {
  EVP_MD_CTX ctx;
  unsigned int size = 0;
  EVP_MD_CTX_init(&ctx);
  EVP_DigestInit(&ctx, EVP_sha256());
  EVP_DigestUpdate(&ctx, m, n);
  EVP_DigestFinal(&ctx, digest, &size);
}

static void be32(const BIGNUM *bn, uint8_t out[32]) {
  memset(out, 0, 32);
  BN_bn2bin(bn, out + 32 - BN_num_bytes(bn));
}

/* The library's own paths. */
static void library_sign(void) {
  EC_KEY *key = EC_KEY_new_by_curve_name(NID_X9_62_prime256v1);
  BIGNUM *d = BN_bin2bn(work.d, 32, NULL);
  uint8_t digest[32];
  EC_KEY_set_private_key(key, d);
  sha256(work.message, work.length, digest);
  ECDSA_SIG *sig = ECDSA_do_sign(digest, 32, key);
  be32(sig->r, work.out);
  be32(sig->s, work.out + 32);
  ECDSA_SIG_free(sig);
  BN_clear_free(d);
  EC_KEY_free(key);
}
static void library_verify(void) {
  EC_KEY *key = EC_KEY_new_by_curve_name(NID_X9_62_prime256v1);
  BIGNUM *x = BN_bin2bn(work.x, 32, NULL), *y = BN_bin2bn(work.y, 32, NULL);
  uint8_t digest[32];
  EC_KEY_set_public_key_affine_coordinates(key, x, y);
  sha256(work.message, work.length, digest);
  ECDSA_SIG *sig = ECDSA_SIG_new();
  BN_bin2bn(work.signature, 32, sig->r);
  BN_bin2bn(work.signature + 32, 32, sig->s);
  ECDSA_do_verify(digest, 32, sig, key);
  ECDSA_SIG_free(sig);
  BN_free(x);
  BN_free(y);
  EC_KEY_free(key);
}
static void library_aes(int encrypt) {
  AES_KEY schedule;
  uint8_t iv[16];
  memcpy(iv, work.iv, 16);
  encrypt ? AES_set_encrypt_key(work.key, 256, &schedule) : AES_set_decrypt_key(work.key, 256, &schedule);
  AES_cbc_encrypt(work.message, work.out, work.length, &schedule, iv, encrypt);
}
static void library_aes_enc(void) { library_aes(AES_ENCRYPT); }
static void library_aes_dec(void) { library_aes(AES_DECRYPT); }
static void library_des3_dec(void) {
  DES_key_schedule k1, k2, k3;
  DES_set_key_unchecked((const_DES_cblock *)work.key, &k1);
  DES_set_key_unchecked((const_DES_cblock *)(work.key + 8), &k2);
  DES_set_key_unchecked((const_DES_cblock *)(work.key + 16), &k3);
  for (uint32_t at = 0; at < work.length; at += 8)
    DES_ecb3_encrypt((const_DES_cblock *)(work.message + at), (DES_cblock *)(work.out + at), &k1, &k2, &k3,
                     DES_DECRYPT);
}
static void library_encode(void) { EVP_EncodeBlock((uint8_t *)work.text, work.message, (int)work.length); }
static void library_decode(void) { EVP_DecodeBlock(work.out, (const uint8_t *)work.text, (int)work.length); }

/* The helpers on the same work. */
static void helper_sign(void) { ecc_sign(work.d, work.message, work.out, work.length); }
static void helper_verify(void) { ecc_verify(work.x, work.y, work.message, work.signature, work.length); }
static void helper_aes_enc(void) { aes_enc(work.message, work.length, work.key, work.iv, work.out); }
static void helper_aes_dec(void) { aes_dec(work.message, work.length, work.key, work.iv, work.out); }
static void helper_des3_dec(void) { des3_dec(work.message, work.length, work.key, work.out); }
static void helper_encode(void) { base64_encode(work.message, (int32_t)work.length, kAlphabet, work.text); }
static void helper_decode(void) {
  int32_t n;
  base64_decode(work.text, &n, work.out);
}

static uint64_t per_call(void (*call)(void), unsigned calls) {
  call(); /* the library's one-time set-up stays out of the count */
  const uint64_t start = instructions();
  for (unsigned i = 0; i < calls; ++i) call();
  return (instructions() - start + calls / 2) / calls;
}

static void row(const char *work_name, void (*helper)(void), void (*library)(void), unsigned calls) {
  const uint64_t h = per_call(helper, calls), l = per_call(library, calls);
  const unsigned permille = (unsigned)((h * 1000 + l / 2) / l);
  out("%-26s %11lu %11lu   %u.%03u\n", work_name, (unsigned long)h, (unsigned long)l, permille / 1000,
      permille % 1000);
}

void print_instruction_counts(const uint8_t d[32], const uint8_t x[32], const uint8_t y[32]) {
  held_clock = 1700000000;
  RAND_cleanup(); /* the generator starts again from the held clock */
  work.d = d;
  work.x = x;
  work.y = y;
  for (unsigned i = 0; i < sizeof work.message; ++i) work.message[i] = (uint8_t)(i * 13 + 5);
  memset(work.key, 0x4b, sizeof work.key);
  memset(work.iv, 0x1f, sizeof work.iv);
  out("instructions per call        helper     libcrypto   ratio\n");
  work.length = 256;
  ecc_sign(d, work.message, work.signature, work.length);
  row("ecc_sign, 256 B", helper_sign, library_sign, 8);
  row("ecc_verify, 256 B", helper_verify, library_verify, 8);
  static const struct {
    const char *name;
    void (*helper)(void), (*library)(void);
    uint32_t length;
    unsigned calls;
  } rows[] = {
      {"aes_enc, 64 B", helper_aes_enc, library_aes_enc, 64, 200},
      {"aes_dec, 64 B", helper_aes_dec, library_aes_dec, 64, 200},
      {"aes_enc, 1 KiB", helper_aes_enc, library_aes_enc, 1024, 200},
      {"aes_dec, 1 KiB", helper_aes_dec, library_aes_dec, 1024, 200},
      {"des3_dec, 1 KiB", helper_des3_dec, library_des3_dec, 1024, 50},
      {"base64_encode, 48 B", helper_encode, library_encode, 48, 200},
      {"base64_encode, 1 KiB", helper_encode, library_encode, 1024, 200},
      {"base64_decode, 64 chars", helper_decode, library_decode, 64, 200},
      {"base64_decode, 1368 chars", helper_decode, library_decode, 1368, 200},
  };
  for (unsigned i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
    work.length = rows[i].length;
    if (rows[i].helper == helper_decode)  /* a text of that many characters */
      base64_encode(work.message, (int32_t)(work.length / 4 * 3), kAlphabet, work.text);
    row(rows[i].name, rows[i].helper, rows[i].library, rows[i].calls);
  }
  held_clock = 0;
}
