// Random big numbers on the road of a signature, drawn from the module's
// generator, each failure printing its line.
#ifndef RAWCRYPT_TARGET_BN_RAND_H
#define RAWCRYPT_TARGET_BN_RAND_H

#include "target/calls.h"
#include "target/compat.h"

RAWCRYPT_SHORT_CALLS_BEGIN
namespace rawcrypt {

// How bnrand draws its buffer: all three modes take it from RAND_bytes;
// kTestPatterns then folds in runs of 0x00 and 0xff to shake out bugs.
enum BnRandMode { kStrong = 0, kPseudo = 1, kTestPatterns = 2 };

// bnrand: rnd = a random number of `bits` bits. top -1: any top bit, 0: the
// top bit set, 1: the top two bits set; bottom 1: odd. Returns 1, or 0 after
// its line ("too small 1\n", "too small 2\n", "malloc %d failed\n",
// "rand bytes failed\n", "rand pseudo bytes failed\n", "bin 2 bn failed\n").
int bnrand(BnRandMode mode, BIGNUM* rnd, int bits, int top, int bottom);

int BN_rand(BIGNUM* rnd, int bits, int top, int bottom);
int BN_pseudo_rand(BIGNUM* rnd, int bits, int top, int bottom);
int BN_bntest_rand(BIGNUM* rnd, int bits, int top, int bottom);

// bn_rand_range: r = a uniform number in [0, range), at most 100 draws.
// Returns 1, or 0 after its line ("range is zero or neg\n", "1\n" .. "4\n",
// "--count\n", "--count 2\n").
int bn_rand_range(bool pseudo, BIGNUM* r, const BIGNUM* range);

int BN_rand_range(BIGNUM* r, const BIGNUM* range);
int BN_pseudo_rand_range(BIGNUM* r, const BIGNUM* range);

}  // namespace rawcrypt
RAWCRYPT_SHORT_CALLS_END

#endif  // RAWCRYPT_TARGET_BN_RAND_H
