#include "target/bn_rand.h"

#include <time.h>

#include "target/generator.h"
#include "target/console.h"

RAWCRYPT_SHORT_CALLS_BEGIN
namespace rawcrypt {

int bnrand(BnRandMode mode, BIGNUM* rnd, int bits, int top, int bottom) {
  if (bits == 0) {
    if (top != -1 || bottom != 0) {
      say(Line::kTooSmall1);
      return 0;
    }
    BN_zero(rnd);
    return 1;
  }
  if (bits < 0 || (bits == 1 && top > 0)) {
    say(Line::kTooSmall2);
    return 0;
  }
  const int bytes = (bits + 7) / 8;
  const int bit = (bits - 1) % 8;
  const unsigned mask = 0xffu << (bit + 1);
  auto* buf = static_cast<unsigned char*>(OPENSSL_malloc(bytes));
  if (buf == nullptr) {
    say(Line::kMalloc, bytes);
    return 0;
  }
  time_t now;
  time(&now);
  rawcrypt::RAND_add(&now, sizeof now, 0.0);

  int ok = 0;
  if (rawcrypt::RAND_bytes(buf, bytes) <= 0) {
    say(Line::kRandBytes);
    goto done;
  }
  if (mode == kTestPatterns) {
    for (int i = 0; i < bytes; ++i) {
      unsigned char c;
      if (rawcrypt::RAND_pseudo_bytes(&c, 1) < 0) {
        say(Line::kRandPseudoBytes);
        goto done;
      }
      if (c >= 128 && i > 0)
        buf[i] = buf[i - 1];
      else if (c < 42)
        buf[i] = 0;
      else if (c < 84)
        buf[i] = 255;
    }
  }
  if (top >= 0) {
    if (top) {
      if (bit == 0) {
        buf[0] = 1;
        buf[1] |= 0x80;
      } else {
        buf[0] |= 3 << (bit - 1);
      }
    } else {
      buf[0] |= 1 << bit;
    }
  }
  buf[0] &= ~mask;
  if (bottom) buf[bytes - 1] |= 1;
  if (BN_bin2bn(buf, bytes, rnd) == nullptr) {
    say(Line::kBin2Bn);
    goto done;
  }
  ok = 1;
done:
  OPENSSL_cleanse(buf, bytes);
  OPENSSL_free(buf);
  return ok;
}

int BN_rand(BIGNUM* rnd, int bits, int top, int bottom) {
  return rawcrypt::bnrand(kStrong, rnd, bits, top, bottom);
}

int BN_pseudo_rand(BIGNUM* rnd, int bits, int top, int bottom) {
  return rawcrypt::bnrand(kPseudo, rnd, bits, top, bottom);
}

int BN_bntest_rand(BIGNUM* rnd, int bits, int top, int bottom) {
  return rawcrypt::bnrand(kTestPatterns, rnd, bits, top, bottom);
}

int bn_rand_range(bool pseudo, BIGNUM* r, const BIGNUM* range) {
  int (*draw)(BIGNUM*, int, int, int) = pseudo ? rawcrypt::BN_pseudo_rand : rawcrypt::BN_rand;
  if (BN_is_negative(range) || BN_is_zero(range)) {
    say(Line::kRangeNotPositive);
    return 0;
  }
  const int n = BN_num_bits(range);  // bit n - 1 is always set
  int count = 100;
  if (n == 1) {
    BN_zero(r);
  } else if (!BN_is_bit_set(range, n - 2) && !BN_is_bit_set(range, n - 3)) {
    // range = 100..._2, so 3 * range (= 11..._2) is one bit longer than
    // range: draw n + 1 bits and reduce by at most two subtractions.
    do {
      if (!draw(r, n + 1, -1, 0)) {
        say(Line::kRangeDraw1);
        return 0;
      }
      if (BN_cmp(r, range) >= 0) {
        if (!BN_sub(r, r, range)) {
          say(Line::kRangeReduce2);
          return 0;
        }
        if (BN_cmp(r, range) >= 0 && !BN_sub(r, r, range)) {
          say(Line::kRangeReduce3);
          return 0;
        }
      }
      if (!--count) {
        say(Line::kRangeCount);
        return 0;
      }
    } while (BN_cmp(r, range) >= 0);
  } else {
    do {  // range = 11..._2 or 101..._2: at least half of the draws fall below
      if (!draw(r, n, -1, 0)) {
        say(Line::kRangeDraw4);
        return 0;
      }
      if (!--count) {
        say(Line::kRangeCount2);
        return 0;
      }
    } while (BN_cmp(r, range) >= 0);
  }
  return 1;
}

int BN_rand_range(BIGNUM* r, const BIGNUM* range) { return bn_rand_range(false, r, range); }

int BN_pseudo_rand_range(BIGNUM* r, const BIGNUM* range) { return bn_rand_range(true, r, range); }

}  // namespace rawcrypt
RAWCRYPT_SHORT_CALLS_END
