// The road of a signature, helper down to generator. "module" marks the
// module's own functions (namespace rawcrypt, always called qualified, so a
// missing declaration cannot quietly reach libcrypto's function of the same
// name); "libcrypto" marks the library's.
//
//   ecc_sign                                   module    helpers/encrypt.cpp
//     EVP_Digest*, EC_KEY_*, BN_bin2bn         libcrypto
//     rawcrypt::ECDSA_do_sign                  module    this file
//       rawcrypt::ECDSA_do_sign_ex             module    this file
//         rawcrypt::ecdsa_do_sign              module    this file
//           BN_* arithmetic, EC_GROUP_*        libcrypto
//           rawcrypt::ecdsa_sign_setup         module    this file
//             rawcrypt::BN_rand_range          module    target/bn_rand.cpp
//               rawcrypt::bn_rand_range        module
//                 rawcrypt::BN_rand            module
//                   rawcrypt::bnrand           module
//                     rawcrypt::RAND_add       module    target/generator.cpp
//                     rawcrypt::RAND_bytes     module    target/generator.cpp
//                       rawcrypt::RAND_poll    module    target/rand_poll.cpp (1.1+: first request)
//                         rawcrypt::RAND_add   module    -> ::RAND_add, libcrypto
//                       ::RAND_bytes           libcrypto (the bytes themselves)
//                         ::RAND_poll          module    target/rand_poll.cpp (1.0.2: the library's
//                                                        first request, exported for it)
//             rawcrypt::derive_nonce           module    target/nonce.cpp (the hedge)
//               SHA256_*, BN_*                 libcrypto
//             EC_POINT_mul, BN_mod_exp_mont_consttime   libcrypto
//
// Every module function on the road prints its line at each failure
// (target/console.h), innermost first.
#include "target/ecdsa_sign.h"


#include "target/bn_rand.h"
#include "target/generator.h"
#include "target/nonce.h"
#include "target/owners.h"
#include "target/console.h"
#include "target/secret.h"

RAWCRYPT_SHORT_CALLS_BEGIN
namespace rawcrypt {
namespace {

// The context a caller passed, or one of our own that we free.
class ContextInUse {
 public:
  explicit ContextInUse(BN_CTX* given) : ctx_(given), own_(given == nullptr ? BN_CTX_new() : nullptr) {
    if (own_) ctx_ = own_.get();
  }
  BN_CTX* get() const { return ctx_; }

 private:
  BN_CTX* ctx_;
  Owned<BN_CTX> own_;
};

// mul_mod_order: out = a * b mod order. With the group's Montgomery data one
// factor goes into Montgomery form, and the product comes out in plain form.
bool mul_mod_order(BIGNUM* out, const BIGNUM* a, const BIGNUM* b, const BIGNUM* order,
                   BN_MONT_CTX* mont, BN_CTX* ctx) {
  if (mont == nullptr) return BN_mod_mul(out, a, b, order, ctx);
  return BN_to_montgomery(out, a, mont, ctx) && BN_mod_mul_montgomery(out, out, b, mont, ctx);
}

// multiply_generator: point = G * k, on a context of its own that is freed,
// which clears its numbers, before any other arithmetic. 1.0.2 grows a
// number by copying it and gives the old array back uncleared: temporaries
// of the multiplication hold parts of k, and a later step that grew them
// would leave those in the heap.
bool multiply_generator(const EC_GROUP* group, EC_POINT* point, const BIGNUM* k) {
  Owned<BN_CTX> ctx(BN_CTX_new());
  return ctx && EC_POINT_mul(group, point, k, nullptr, nullptr, ctx.get()) == 1;
}

// affine_x_on_curve: the affine x of a point on a prime-field curve, read
// with its y and refused unless (x, y) lies on the curve. 1.0.2's division
// ignores a failed allocation for its remainder, so a starved heap could
// otherwise pass a wrong x on as read, and ecc_sign would report a signature
// that verifies under no key.
bool affine_x_on_curve(const EC_GROUP* group, const EC_POINT* point, BIGNUM* x, BN_CTX* ctx) {
  BN_CTX_start(ctx);
  BIGNUM* y = BN_CTX_get(ctx);
  Owned<EC_POINT> read_back(y != nullptr ? EC_POINT_new(group) : nullptr);
  const bool ok = read_back && ec_point_get_affine(group, point, x, y, ctx) == 1 &&
                  ec_point_set_affine(group, read_back.get(), x, y, ctx) == 1;
  BN_CTX_end(ctx);
  return ok;
}

// invert_by_fermat: out = k^exponent mod order, in constant time. The
// constant-time check can swap in the library's variable-time inverse, the
// fault it must catch.
bool invert_by_fermat(BIGNUM* out, const BIGNUM* k, const BIGNUM* exponent, const BIGNUM* order,
                      BN_CTX* ctx, BN_MONT_CTX* mont) {
#ifdef RAWCRYPT_CT_CHECK
  if (ct_check::variable_time_inverse) {
    Owned<BIGNUM> plain(BN_new());  // a copy without BN_FLG_CONSTTIME
    return plain && BN_copy(plain.get(), k) && BN_mod_inverse(out, plain.get(), order, ctx);
  }
#endif
  return BN_mod_exp_mont_consttime(out, k, exponent, order, ctx, mont) == 1;
}

}  // namespace

#ifdef RAWCRYPT_CT_CHECK
bool ct_check::variable_time_inverse = false;
#endif

int ecdsa_sign_setup(EC_KEY* key, BN_CTX* ctx_in, BIGNUM** kinvp, BIGNUM** rp,
                     const unsigned char* dgst, int dgst_len) {
  const EC_GROUP* group = key != nullptr ? EC_KEY_get0_group(key) : nullptr;
  if (group == nullptr) {
    say(Line::kNoKey);
    return 0;
  }
  ContextInUse ctx(ctx_in);
  if (ctx.get() == nullptr) {
    say(Line::kNoContext);
    return 0;
  }
  SecretBn k(BN_new()), r(BN_new()), X(BN_new());
  Owned<BIGNUM> order(BN_new());
  if (!k || !r || !order || !X) {
    say(Line::kSetupNumbers);
    return 0;
  }
  Owned<EC_POINT> point(EC_POINT_new(group));
  if (!point) {
    say(Line::kPoint);
    return 0;
  }
  if (!EC_GROUP_get_order(group, order.get(), ctx.get())) {
    say(Line::kGroupOrder);
    return 0;
  }
  // Sized up front, so the numbers' lengths tell nothing of their values. X
  // later takes the affine x, which the library forms as a product of two
  // field elements: it is sized for that too, so that it never grows while
  // it holds k + 2n (1.0.2 grows a number by copying it and gives the old
  // array back uncleared).
  const int order_bits = BN_num_bits(order.get());
  if (!BN_set_bit(k.get(), order_bits) || !BN_set_bit(r.get(), order_bits) ||
      !BN_set_bit(X.get(), 2 * order_bits + BN_BITS2)) {
    say(Line::kSetBit);
    return 0;
  }
  // The four numbers of the step's line are reused, each under the name of
  // what it holds at the time: r holds k + n before it holds r, and X holds
  // k + 2n, then the point's affine x, then the exponent n - 2.
  BIGNUM* const k_plus_n = r.get();
  BIGNUM* const k_plus_2n = X.get();
  BIGNUM* const affine_x = X.get();
  BIGNUM* const exponent = X.get();
  const BIGNUM* priv = EC_KEY_get0_private_key(key);
  BN_set_flags(k.get(), BN_FLG_CONSTTIME);
  do {
    do {
      if (!rawcrypt::BN_rand_range(k.get(), order.get())) {
        say(Line::kRandRange);
        return 0;
      }
    } while (BN_is_zero(k.get()));
    // The hedge: the draw only adds to a nonce that the key and the digest
    // already make secret and unique.
    if (dgst != nullptr && priv != nullptr &&
        !rawcrypt::derive_nonce(k.get(), order.get(), priv, dgst, dgst_len, k.get(), ctx.get())) {
      say(Line::kDeriveNonce);
      return 0;
    }
    // The step's equivalent scalars of fixed length, k + order and
    // k + 2 * order, as the road has always made them. The multiplication
    // and the inversion take k itself, below the order: the libraries'
    // ladders (1.0.2's, 1.1.1's, 3.x's P-256 code) fix its length
    // themselves, in constant time, and would first reduce a longer scalar
    // with their variable-time division.
    if (!BN_add(k_plus_n, k.get(), order.get()) || !BN_add(k_plus_2n, k_plus_n, order.get())) {
      say(Line::kFixedLength);
      return 0;
    }
    if (!multiply_generator(group, point.get(), k.get())) {
      say(Line::kPointMul);
      return 0;
    }
    if (!ec_group_is_binary(group)) {
      if (!affine_x_on_curve(group, point.get(), affine_x, ctx.get())) {
        say(Line::kAffineX);
        return 0;
      }
    } else if (!ec_point_get_affine_x_binary(group, point.get(), affine_x, ctx.get())) {
      say(Line::kAffineXBinary);
      return 0;
    }
    if (!BN_nnmod(r.get(), affine_x, order.get(), ctx.get())) {
      say(Line::kNnmod);
      return 0;
    }
  } while (BN_is_zero(r.get()));

  // The inverse of k: in constant time by Fermat (k^(order-2)) where the
  // group keeps Montgomery data for its order.
  if (BN_MONT_CTX* mont = EC_GROUP_get_mont_data(group)) {
    if (!BN_set_word(exponent, 2)) {
      say(Line::kSetWord);
      return 0;
    }
    if (!BN_mod_sub(exponent, order.get(), exponent, order.get(), ctx.get())) {
      say(Line::kModSub);
      return 0;
    }
    BN_set_flags(exponent, BN_FLG_CONSTTIME);
    if (!invert_by_fermat(k.get(), k.get(), exponent, order.get(), ctx.get(), mont)) {
      say(Line::kModExp);
      return 0;
    }
  } else if (!BN_mod_inverse(k.get(), k.get(), order.get(), ctx.get())) {
    say(Line::kModInverse);
    return 0;
  }
  BN_clear_free(*rp);
  BN_clear_free(*kinvp);
  *rp = r.release();
  *kinvp = k.release();
  return 1;
}

int ECDSA_sign_setup(EC_KEY* key, BN_CTX* ctx, BIGNUM** kinvp, BIGNUM** rp) {
  return rawcrypt::ecdsa_sign_setup(key, ctx, kinvp, rp, nullptr, 0);
}

ECDSA_SIG* ecdsa_do_sign(const unsigned char* dgst, int dgst_len, const BIGNUM* in_kinv,
                         const BIGNUM* in_r, EC_KEY* key) {
  const EC_GROUP* group = key != nullptr ? EC_KEY_get0_group(key) : nullptr;
  const BIGNUM* priv = key != nullptr ? EC_KEY_get0_private_key(key) : nullptr;
  if (group == nullptr || priv == nullptr) {
    say(Line::kParaError);
    return nullptr;
  }
  // The signature object with its two numbers (1.1 and later no longer make
  // them with the object); s holds r * d on the way, so it is wiped.
  Owned<ECDSA_SIG> sig(ECDSA_SIG_new());
  SecretBn r(BN_new()), s(BN_new());
  if (!sig || !r || !s) {
    say(Line::kSigNew);
    return nullptr;
  }
  Owned<BN_CTX> ctx(BN_CTX_new());
  Owned<BIGNUM> order(BN_new());
  SecretBn m(BN_new());
  if (!ctx || !order || !m) {
    say(Line::kBnNew);
    return nullptr;
  }
  if (!EC_GROUP_get_order(group, order.get(), ctx.get())) {
    say(Line::kGroupOrder);
    return nullptr;
  }
  BN_MONT_CTX* mont = EC_GROUP_get_mont_data(group);
  // A digest longer than the order is cut to its leftmost order bits.
  const int order_bits = BN_num_bits(order.get());
  int used_len = dgst_len;
  if (8 * used_len > order_bits) used_len = (order_bits + 7) / 8;
  if (!BN_bin2bn(dgst, used_len, m.get())) {
    say(Line::kDigestBin2bn);
    return nullptr;
  }
  if (8 * used_len > order_bits && !BN_rshift(m.get(), m.get(), 8 - (order_bits & 0x7))) {
    say(Line::kTooLong);
    return nullptr;
  }
  SecretBn kinv;
  const BIGNUM* ckinv = in_kinv;
  for (;;) {
    if (in_kinv == nullptr || in_r == nullptr) {
      BIGNUM* new_kinv = kinv.release();
      BIGNUM* new_r = r.release();
      const int ok = rawcrypt::ecdsa_sign_setup(key, ctx.get(), &new_kinv, &new_r, dgst, dgst_len);
      kinv.reset(new_kinv);
      r.reset(new_r);
      if (!ok) {
        say(Line::kSignSetup);
        return nullptr;
      }
      ckinv = kinv.get();
    } else if (BN_copy(r.get(), in_r) == nullptr) {
      say(Line::kBnCopy);
      return nullptr;
    }
    // s = (m + r * d) / k
    if (!mul_mod_order(s.get(), r.get(), priv, order.get(), mont, ctx.get())) {
      say(Line::kRTimesKey);
      return nullptr;
    }
    // m is below twice the order (cut to its bits), so one subtraction
    // reduces it; the addition of the two reduced values then runs in
    // constant time on 1.1 and later.
    if ((BN_cmp(m.get(), order.get()) >= 0 && !BN_sub(m.get(), m.get(), order.get())) ||
        !BN_mod_add_quick(s.get(), s.get(), m.get(), order.get())) {
      say(Line::kAddMessage);
      return nullptr;
    }
    if (!mul_mod_order(s.get(), s.get(), ckinv, order.get(), mont, ctx.get())) {
      say(Line::kTimesInverse);
      return nullptr;
    }
    if (!BN_is_zero(s.get())) break;
    if (in_kinv != nullptr && in_r != nullptr) {  // the caller's pair cannot be redrawn
      say(Line::kPrecomputedZero);
      return nullptr;
    }
  }
  if (!ecdsa_sig_set0(sig.get(), r.get(), s.get())) {
    say(Line::kSigNew);
    return nullptr;
  }
  r.release();
  s.release();
  return sig.release();
}

ECDSA_SIG* ECDSA_do_sign_ex(const unsigned char* dgst, int dgst_len, const BIGNUM* kinv,
                            const BIGNUM* r, EC_KEY* key) {
  if (key == nullptr) {
    say(Line::kEcdsaCheck);
    return nullptr;
  }
  ECDSA_SIG* sig = rawcrypt::ecdsa_do_sign(dgst, dgst_len, kinv, r, key);
  if (sig == nullptr) say(Line::kEcdsaDoSign);
  return sig;
}

ECDSA_SIG* ECDSA_do_sign(const unsigned char* dgst, int dgst_len, EC_KEY* key) {
  return rawcrypt::ECDSA_do_sign_ex(dgst, dgst_len, nullptr, nullptr, key);
}

int ECDSA_sign_ex(int, const unsigned char* dgst, int dgst_len, unsigned char* sig,
                  unsigned int* siglen, const BIGNUM* kinv, const BIGNUM* r, EC_KEY* key) {
  rawcrypt::RAND_seed(dgst, dgst_len);
  Owned<ECDSA_SIG> s(rawcrypt::ECDSA_do_sign_ex(dgst, dgst_len, kinv, r, key));
  if (!s) {
    *siglen = 0;
    return 0;
  }
  *siglen = static_cast<unsigned int>(i2d_ECDSA_SIG(s.get(), &sig));
  return 1;
}

int ECDSA_sign(int type, const unsigned char* dgst, int dgst_len, unsigned char* sig,
               unsigned int* siglen, EC_KEY* key) {
  return rawcrypt::ECDSA_sign_ex(type, dgst, dgst_len, sig, siglen, nullptr, nullptr, key);
}

}  // namespace rawcrypt
RAWCRYPT_SHORT_CALLS_END
