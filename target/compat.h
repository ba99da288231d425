// The one place where libcrypto 1.0.2 (the target's), 1.1.1 and 3.x (hosts')
// differ. Tested against 1.0.2 and 3.0; the 1.1.1 branches follow its API.
// Every module source includes this header before any other libcrypto header, so
// that the rest of the code reads the same against both series.
#ifndef RAWCRYPT_TARGET_COMPAT_H
#define RAWCRYPT_TARGET_COMPAT_H

// 3.x deprecates the low-level interfaces the target's 1.0.2 offers (EC_KEY,
// AES_*, DES_*, SHA256_*, RAND_METHOD); the module uses them on purpose.
#ifndef OPENSSL_SUPPRESS_DEPRECATED
#define OPENSSL_SUPPRESS_DEPRECATED
#endif

#include <openssl/aes.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/des.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <stddef.h>
#include <string.h>

#if OPENSSL_VERSION_NUMBER < 0x10100000L
#define RAWCRYPT_LIBCRYPTO_102 1
#elif OPENSSL_VERSION_NUMBER < 0x30000000L
#define RAWCRYPT_LIBCRYPTO_111 1
#endif

// 1.1 and later make RAND_cleanup a macro that does nothing; the module's generator
// has a RAND_cleanup of its own.
#undef RAND_cleanup

namespace rawcrypt {

// DigestContext: a digest context for one call. 1.0.2 keeps it on the stack;
// 1.1 and later only hand it out from the heap, so get() may be null there.
class DigestContext {
 public:
#ifdef RAWCRYPT_LIBCRYPTO_102
  DigestContext() { EVP_MD_CTX_init(&ctx_); }
  ~DigestContext() { EVP_MD_CTX_cleanup(&ctx_); }
  EVP_MD_CTX* get() { return &ctx_; }
#else
  DigestContext() : ctx_(EVP_MD_CTX_new()) {}
  ~DigestContext() { EVP_MD_CTX_free(ctx_); }
  EVP_MD_CTX* get() { return ctx_; }
#endif
  DigestContext(const DigestContext&) = delete;
  DigestContext& operator=(const DigestContext&) = delete;

 private:
#ifdef RAWCRYPT_LIBCRYPTO_102
  EVP_MD_CTX ctx_;
#else
  EVP_MD_CTX* ctx_;
#endif
};

// ecdsa_sig_get0: reads r and s of a signature object without taking them.
inline void ecdsa_sig_get0(const ECDSA_SIG* sig, const BIGNUM** r, const BIGNUM** s) {
#ifdef RAWCRYPT_LIBCRYPTO_102
  *r = sig->r;
  *s = sig->s;
#else
  ECDSA_SIG_get0(sig, r, s);
#endif
}

// ecdsa_sig_set0: hands r and s to a signature object, which owns them after
// a result of 1. On 0 the caller still owns both.
inline int ecdsa_sig_set0(ECDSA_SIG* sig, BIGNUM* r, BIGNUM* s) {
#ifdef RAWCRYPT_LIBCRYPTO_102
  if (r == nullptr || s == nullptr) return 0;
  BN_clear_free(sig->r);
  BN_clear_free(sig->s);
  sig->r = r;
  sig->s = s;
  return 1;
#else
  return ECDSA_SIG_set0(sig, r, s);
#endif
}

// bn_to_padded: writes a number as `size` big-endian bytes, zero bytes in
// front. Returns 1, or 0 (out untouched) when it needs more bytes.
inline int bn_to_padded(const BIGNUM* bn, unsigned char* out, int size) {
  if (size < 0) return 0;
#ifdef RAWCRYPT_LIBCRYPTO_102
  // No BN_bn2binpad, and BN_num_bytes branches on the top word's bits: the
  // words are written out a byte at a time, their count (which the library
  // keeps public) the only bound on the loops.
  const int bytes = bn->top * BN_BYTES;
  BN_ULONG beyond = 0;  // bits past `size` bytes
  for (int at = size; at < bytes; ++at) beyond |= (bn->d[at / BN_BYTES] >> (8 * (at % BN_BYTES))) & 0xff;
  if (beyond != 0) return 0;
  for (int at = 0; at < size; ++at)
    out[size - 1 - at] = at < bytes ? static_cast<unsigned char>(bn->d[at / BN_BYTES] >> (8 * (at % BN_BYTES))) : 0;
  return 1;
#else
  return BN_bn2binpad(bn, out, size) == size;
#endif
}

// bn_to_be32: a number below 2^256 as a 32-byte big-endian scalar.
inline int bn_to_be32(const BIGNUM* bn, unsigned char out[32]) { return bn_to_padded(bn, out, 32); }

// ec_point_set_affine: sets a prime-field point from its affine coordinates;
// 0 when (x, y) is not on the curve (1.1.1 and later check that themselves).
inline int ec_point_set_affine(const EC_GROUP* group, EC_POINT* point, const BIGNUM* x,
                               const BIGNUM* y, BN_CTX* ctx) {
#ifdef RAWCRYPT_LIBCRYPTO_102
  return EC_POINT_set_affine_coordinates_GFp(group, point, x, y, ctx) == 1 &&
         EC_POINT_is_on_curve(group, point, ctx) == 1;
#else
  return EC_POINT_set_affine_coordinates(group, point, x, y, ctx);
#endif
}

inline int ec_point_get_affine(const EC_GROUP* group, const EC_POINT* point, BIGNUM* x,
                               BIGNUM* y, BN_CTX* ctx) {
#ifdef RAWCRYPT_LIBCRYPTO_102
  return EC_POINT_get_affine_coordinates_GFp(group, point, x, y, ctx);
#else
  return EC_POINT_get_affine_coordinates(group, point, x, y, ctx);
#endif
}

// ec_group_is_binary: 1 for a curve over a binary field, 0 for a prime field.
inline int ec_group_is_binary(const EC_GROUP* group) {
#if defined(RAWCRYPT_LIBCRYPTO_102) || defined(RAWCRYPT_LIBCRYPTO_111)
  return EC_METHOD_get_field_type(EC_GROUP_method_of(group)) == NID_X9_62_characteristic_two_field;
#else
  return EC_GROUP_get_field_type(group) == NID_X9_62_characteristic_two_field;
#endif
}

// ec_point_get_affine_x_binary: the affine x of a point on a binary-field curve;
// 0 where this libcrypto was built without binary curves.
inline int ec_point_get_affine_x_binary(const EC_GROUP* group, const EC_POINT* point,
                                        BIGNUM* x, BN_CTX* ctx) {
#if defined(OPENSSL_NO_EC2M)
  (void)group; (void)point; (void)x; (void)ctx;
  return 0;
#elif defined(RAWCRYPT_LIBCRYPTO_102)
  return EC_POINT_get_affine_coordinates_GF2m(group, point, x, nullptr, ctx);
#else
  return EC_POINT_get_affine_coordinates(group, point, x, nullptr, ctx);
#endif
}

// default_rand_method: the library's own generator, the one the module's
// generator stands in for.
inline const RAND_METHOD* default_rand_method() {
#ifdef RAWCRYPT_LIBCRYPTO_102
  return RAND_SSLeay();
#else
  return RAND_OpenSSL();
#endif
}

#ifndef RAWCRYPT_LIBCRYPTO_102
// raise_not_seeded: records the library's "PRNG not seeded" error with its
// standard explanatory text, as the library's own generator does. (1.0.2's
// generator keeps its own accounting and records it itself.)
inline void raise_not_seeded() {
#ifdef RAWCRYPT_LIBCRYPTO_111
  RANDerr(RAND_F_RAND_BYTES, RAND_R_PRNG_NOT_SEEDED);
  ERR_add_error_data(1, "You need to read the OpenSSL FAQ, https://www.openssl.org/docs/faq.html");
#else  // 3.0 and later
  ERR_new();
  ERR_set_debug(OPENSSL_FILE, OPENSSL_LINE, "RAND_bytes");
  ERR_set_error(ERR_LIB_RAND, RAND_R_PRNG_NOT_SEEDED,
                "You need to read the OpenSSL FAQ, https://www.openssl.org/docs/faq.html");
#endif
}
#endif

// The result type of a RAND_METHOD's seed and add operations (void in 1.0.2).
#ifdef RAWCRYPT_LIBCRYPTO_102
using rand_seed_result = void;
#else
using rand_seed_result = int;
#endif

// Allocator hooks as CRYPTO_set_mem_functions takes them: 1.1 added the
// caller's file and line to each.
#ifdef RAWCRYPT_LIBCRYPTO_102
#define RAWCRYPT_MEM_ARGS
#else
#define RAWCRYPT_MEM_ARGS , const char*, int
#endif

}  // namespace rawcrypt

#endif  // RAWCRYPT_TARGET_COMPAT_H
