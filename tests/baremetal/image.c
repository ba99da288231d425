/* The bare-metal test image: rawcrypt.o linked beside libcrypto 1.0.2 into
 * one image for an emulated Cortex-A9 board, as on the device (no OS, no
 * loader, newlib). Arguments (qemu's -append): the shared vectors folder and
 * the host's calendar time. It checks the helpers' known answers, their
 * console lines, the entropy poll the library calls and each helper's
 * stack, prints the instruction table and every signature it made (for an
 * independent check on the host), and ends with "N passed, M failed". */
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "helpers/encrypt.h"
#include "probes.h"
#include "vector_file.h"

void print_instruction_counts(const uint8_t d[32], const uint8_t x[32], const uint8_t y[32]);

static const char *vectors;
static struct {
  uint8_t d[32], x[32], y[32]; /* RFC 6979's P-256 key */
} key;

static int open_vectors(struct vector_file *file, const char *name) {
  const int opened = vector_open(file, vectors, name);
  check(opened, "read %s/%s", vectors, name);
  return opened;
}

/* The library's generator polls through the module at the system's first
 * request, wherever it comes from, once per lifetime of the generator. */
static void first_request_polls(long host_time) {
  uint8_t buf[32];
  const unsigned srands = srand_calls, rands = rand_calls;
  check(RAND_bytes(buf, sizeof buf) == 1, "the application's first RAND_bytes, before any helper, is served");
  check(srand_calls - srands == 1 && rand_calls - rands == 32, "it polled once: srand(time) and 32 draws (%u, %u)",
        srand_calls - srands, rand_calls - rands);
  check(labs((long)last_seed - host_time) <= 120, "the poll's seed %u is the board's clock (host %ld)", last_seed,
        host_time);
}

static void later_requests_poll_only_after_cleanup(void) {
  uint8_t buf[32], sig[64];
  const unsigned srands = srand_calls;
  check(ecc_sign(key.d, buf, sig, sizeof buf) == 1 && srand_calls == srands, "a later ecc_sign does not poll");
  RAND_cleanup();
  check(RAND_bytes(buf, sizeof buf) == 1 && srand_calls - srands == 1, "after RAND_cleanup the next request polls");
}

static void aes_known_answers(void) {
  struct vector_file file;
  if (!open_vectors(&file, "extra/sp800-38a_cbc_aes256.txt")) return;
  uint8_t k[32], iv[16], pt[64], ct[64], got[64];
  size_t pt_n = 0, ct_n = 0;
  const char *name, *value;
  while (vector_next(&file, &name, &value)) {
    if (!strcmp(name, "Key")) hex_bytes(value, k, 32);
    if (!strcmp(name, "IV")) hex_bytes(value, iv, 16);
    if (!strcmp(name, "Plaintext") && pt_n < 64) pt_n += hex_bytes(value, pt + pt_n, 16);
    if (!strcmp(name, "Ciphertext") && ct_n < 64) ct_n += hex_bytes(value, ct + ct_n, 16);
  }
  vector_close(&file);
  aes_enc(pt, 64, k, iv, got);
  check(pt_n == 64 && !memcmp(got, ct, 64), "aes_enc: SP 800-38A F.2.5");
  aes_dec(ct, 64, k, iv, got);
  check(ct_n == 64 && !memcmp(got, pt, 64), "aes_dec: SP 800-38A F.2.6");
}

static void des3_known_answers(void) {
  struct vector_file file;
  if (!open_vectors(&file, "nist-cavp/tdes/TECBMMT3.rsp")) return;
  uint8_t k[24], pt[160], ct[160], got[160];
  size_t pt_n = 0, ct_n = 0;
  int records = 0, right = 0;
  const char *name, *value;
  while (vector_next(&file, &name, &value)) {
    if (!strcmp(name, "COUNT")) pt_n = ct_n = 0;
    if (!strncmp(name, "KEY", 3) && name[3] >= '1' && name[3] <= '3') hex_bytes(value, k + 8 * (name[3] - '1'), 8);
    if (!strcmp(name, "PLAINTEXT")) pt_n = hex_bytes(value, pt, sizeof pt);
    if (!strcmp(name, "CIPHERTEXT")) ct_n = hex_bytes(value, ct, sizeof ct);
    if (pt_n && ct_n) {
      des3_dec(ct, (uint32_t)ct_n, k, got);
      ++records;
      right += pt_n == ct_n && !memcmp(got, pt, pt_n);
      pt_n = ct_n = 0;
    }
  }
  vector_close(&file);
  check(records == 20 && right == records, "des3_dec: TECBMMT3, %d of %d records", right, records);
}

/* RFC 6979 A.2.5: the key, and its SHA-256 signatures to verify. */
static void ecdsa_known_answers(void) {
  struct vector_file file;
  if (!open_vectors(&file, "extra/rfc6979_p256.txt")) return;
  char msg[32] = "";
  int sha256 = 0, verified = 0, refused = 0, records = 0;
  uint8_t sig[64];
  const char *name, *value;
  while (vector_next(&file, &name, &value)) {
    if (!strcmp(name, "x")) hex_bytes(value, key.d, 32);
    if (!strcmp(name, "Ux")) hex_bytes(value, key.x, 32);
    if (!strcmp(name, "Uy")) hex_bytes(value, key.y, 32);
    if (!strcmp(name, "msg")) snprintf(msg, sizeof msg, "%s", value);
    if (!strcmp(name, "hash")) sha256 = !strcmp(value, "SHA-256");
    if (!strcmp(name, "r")) hex_bytes(value, sig, 32);
    if (!strcmp(name, "s") && sha256) {
      hex_bytes(value, sig + 32, 32);
      ++records;
      const uint32_t n = (uint32_t)strlen(msg);
      verified += ecc_verify(key.x, key.y, (const uint8_t *)msg, sig, n) == 1;
      sig[63] ^= 1;
      refused += ecc_verify(key.x, key.y, (const uint8_t *)msg, sig, n) == 0;
    }
  }
  vector_close(&file);
  check(records == 2 && verified == 2, "ecc_verify: RFC 6979 A.2.5 SHA-256 signatures (%d of %d)", verified, records);
  check(refused == records, "ecc_verify: the same with one bit changed gives 0");
}

/* RFC 4648 section 10, both ways: BASE64("fo") = "Zm8=". */
static void base64_known_answers(void) {
  struct vector_file file;
  if (!open_vectors(&file, "rfc4648_base64.txt")) return;
  int records = 0, right = 0;
  const char *name, *value;
  while (vector_next(&file, &name, &value)) {
    char plain[16] = "", text[32] = "", encoded[32];
    uint8_t decoded[16];
    int32_t length = -1;
    if (sscanf(name, "BASE64(\"%15[^\"]", plain) < 0 || sscanf(value, "\"%31[^\"]", text) < 0) continue;
    const int32_t n = (int32_t)strlen(plain);
    base64_encode((const uint8_t *)plain, n, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/",
                  encoded);
    ++records;
    right += !strcmp(encoded, text) && base64_decode(text, &length, decoded) == 0 && length == n &&
             !memcmp(decoded, plain, (size_t)n);
  }
  vector_close(&file);
  check(records == 7 && right == records, "base64 both ways: RFC 4648, %d of %d", right, records);
}

/* The exact console lines: a refused text, and the road of a signature
 * when the generator gives no bytes or is not seeded. */
static void console_lines(void) {
  uint8_t bytes[8] = {0x5a}, sig[64];
  int32_t length = 77;
  capture_start();
  const int refused = base64_decode("Zm9v!A==", &length, bytes);
  check(refused == -1 && !strcmp(capture_stop(), "Zm9v!A== is not base64 encoded") && length == 0 && bytes[0] == 0x5a,
        "base64_decode: a character outside the set");
  capture_start();
  const int lone = base64_decode("Y===", &length, bytes);
  check(lone == -1 && !strcmp(capture_stop(), "invalid base64 encoded str Y==="), "base64_decode: a lone character");

  static const char *const road = "rand bytes failed\n4\nbn rand range failed\nsign setup failed\n"
                                  "ecdsa do sign failed\ndo sign failed\n";
  static RAND_METHOD without_bytes; /* no operation at all */
  char expected[256];
  snprintf(expected, sizeof expected, "meth = %p, bytes = %p\n%s", (void *)&without_bytes, (void *)NULL, road);
  memset(sig, 0x3c, sizeof sig);
  RAND_set_rand_method(&without_bytes);
  capture_start();
  int result = ecc_sign(key.d, bytes, sig, sizeof bytes);
  const char *printed = capture_stop();
  RAND_set_rand_method(RAND_SSLeay());
  check(result == 0 && !strcmp(printed, expected) && sig[0] == 0x3c && sig[63] == 0x3c,
        "ecc_sign with a generator without bytes: the road's lines, the buffer untouched");

  snprintf(expected, sizeof expected, "else\n%s", road);
  RAND_cleanup();
  credit_scale = 0.5;
  capture_start();
  result = ecc_sign(key.d, bytes, sig, sizeof bytes);
  printed = capture_stop();
  credit_scale = 1.0;
  check(result == 0 && !strcmp(printed, expected) && sig[0] == 0x3c,
        "ecc_sign with an unseeded generator: the road's lines, the buffer untouched");
  ERR_clear_error();
  RAND_cleanup();
}

/* Signatures made here, verified here and printed for the host's check. */
static void round_trips(void) {
  static uint8_t msg[1000];
  static const uint32_t lengths[] = {0, 1, 55, 64, 1000};
  int signed_ok = 0, verified = 0, refused = 0;
  for (size_t i = 0; i < sizeof lengths / sizeof lengths[0]; ++i) {
    const uint32_t n = lengths[i];
    for (uint32_t j = 0; j < n; ++j) msg[j] = (uint8_t)(j * 7 + n);
    uint8_t sig[64];
    signed_ok += ecc_sign(key.d, msg, sig, n) == 1;
    verified += ecc_verify(key.x, key.y, msg, sig, n) == 1;
    out("signature ");
    for (int b = 0; b < 32; ++b) out("%02x", key.x[b]);
    out(" ");
    for (int b = 0; b < 32; ++b) out("%02x", key.y[b]);
    out(" ");
    for (int b = 0; b < 64; ++b) out("%02x", sig[b]);
    out(" %s", n ? "" : "-");
    for (uint32_t j = 0; j < n; ++j) out("%02x", msg[j]);
    out("\n");
    sig[17] ^= 0x10;
    refused += ecc_verify(key.x, key.y, msg, sig, n) == 0;
  }
  check(signed_ok == 5 && verified == 5, "ecc_sign then ecc_verify, messages of 0 to 1000 bytes");
  check(refused == 5, "a changed signature gives 0");
}

/* Each helper's peak on a painted stack, within what helpers/encrypt.h
 * documents for the bare-metal Cortex-A9. */
static uint8_t big[4104], text[1400];
static void call_ecc_sign(void *sig) { ecc_sign(key.d, big, sig, 1000); }
static void call_ecc_verify(void *sig) { ecc_verify(key.x, key.y, big, sig, 1000); }
static void call_aes_enc(void *o) { aes_enc(big, 100, key.d, key.x, o); aes_enc(big, 4100, key.d, key.x, o); }
static void call_aes_dec(void *o) { aes_dec(big, 100, key.d, key.x, o); aes_dec(big, 4100, key.d, key.x, o); }
static void call_des3_dec(void *o) { des3_dec(big, 4096, key.d, o); }
static void call_base64_encode(void *o) { (void)o; base64_encode(big, 1024, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", (char *)text); }
static void call_base64_decode(void *o) {
  int32_t n;
  base64_decode((const char *)text, &n, o);
  base64_decode("YWJjZA==", &n, o);
}

static void stack_peaks(void) {
  static uint8_t sig[64], output[4112];
  static const struct {
    const char *helper;
    void (*call)(void *);
    void *arg;
    size_t documented;
  } peaks[] = {
      {"ecc_sign", call_ecc_sign, sig, 1664},         {"ecc_verify", call_ecc_verify, sig, 960},
      {"aes_enc", call_aes_enc, output, 640},         {"aes_dec", call_aes_dec, output, 640},
      {"des3_dec", call_des3_dec, output, 576},       {"base64_encode", call_base64_encode, NULL, 256},
      {"base64_decode", call_base64_decode, output, 448},
  };
  ecc_sign(key.d, big, sig, 1000);
  call_base64_encode(NULL);
  for (size_t i = 0; i < sizeof peaks / sizeof peaks[0]; ++i) {
    const size_t peak = peak_stack(peaks[i].call, peaks[i].arg);
    check(peak > 0 && peak <= peaks[i].documented, "%-14s %5u bytes of stack (documented %u)", peaks[i].helper,
          (unsigned)peak, (unsigned)peaks[i].documented);
  }
}

int main(int argc, char **argv) {
  /* newlib's argv[0] is the image; then the vectors folder, the host's time. */
  if (argc < 3) {
    out("usage: IMAGE VECTORS-FOLDER HOST-TIME\n");
    return 2;
  }
  vectors = argv[1];
  out("%s, rawcrypt.o\n", SSLeay_version(SSLEAY_VERSION));
  check(fopen("/dev/urandom", "rb") == NULL, "the board has no /dev: nothing seeds from the host's files");
  first_request_polls(atol(argv[2]));
  ecdsa_known_answers();
  /* Counted while the heap holds nothing drawn yet: libcrypto 1.0.2 mixes
   * the caller's buffers, old heap contents included, into its pool. */
  counter_start();
  const unsigned srands = srand_calls;
  print_instruction_counts(key.d, key.x, key.y);
  check(srand_calls - srands == 1, "the counted signatures polled once, after their RAND_cleanup (%u)",
        srand_calls - srands);
  later_requests_poll_only_after_cleanup();
  aes_known_answers();
  des3_known_answers();
  base64_known_answers();
  console_lines();
  round_trips();
  stack_peaks();
  return checks_end();
}
