// Random numbers of the road: draws of a number of bits and below a range,
// their refusals and their lines.
#include "target/compat.h"

#include <gtest/gtest.h>

#include "target/bn_rand.h"
#include "target/owners.h"
#include "tests/support/console.h"
#include "tests/support/console_lines.h"
#include "tests/support/rand_methods.h"
#include "tests/support/vectors.h"

namespace {

using testing_rand::ScopedRandMethod;
using rawcrypt::Owned;
using vectors::Bytes;

struct Drawn {
  int result;
  std::string lines;
};

Drawn draw(int bits, int top, int bottom, BIGNUM* out) {
  Drawn d{-2, ""};
  d.lines = printed_by([&] { d.result = rawcrypt::BN_rand(out, bits, top, bottom); });
  return d;
}

TEST(RandomNumbers, BitCountsAndTheirRefusals) {
  Owned<BIGNUM> n(BN_new());
  BN_set_word(n.get(), 99);
  struct Case {
    int bits, top, bottom, result;
    const char* lines;
  } cases[] = {
      {0, -1, 0, 1, ""},           {0, 0, 0, 0, lines::kTooSmall1}, {0, -1, 1, 0, lines::kTooSmall1},
      {1, 1, 0, 0, lines::kTooSmall2}, {-8, -1, 0, 0, lines::kTooSmall2},
  };
  for (const auto& c : cases) {
    Drawn d = draw(c.bits, c.top, c.bottom, n.get());
    EXPECT_EQ(d.result, c.result) << c.bits << " " << c.top;
    EXPECT_EQ(d.lines, c.lines) << c.bits << " " << c.top;
  }
  EXPECT_TRUE(BN_is_zero(n.get()));  // from the 0-bit draw
  for (int i = 0; i < 50; ++i) {     // top and bottom as asked, every mode
    ASSERT_EQ(rawcrypt::BN_rand(n.get(), 77, 1, 1), 1);
    EXPECT_EQ(BN_num_bits(n.get()), 77);
    EXPECT_TRUE(BN_is_bit_set(n.get(), 75));
    EXPECT_TRUE(BN_is_odd(n.get()));
    ASSERT_EQ(rawcrypt::BN_bntest_rand(n.get(), 64, 0, 0), 1);
    EXPECT_EQ(BN_num_bits(n.get()), 64);
    ASSERT_EQ(rawcrypt::BN_pseudo_rand(n.get(), 9, -1, 0), 1);
    EXPECT_LE(BN_num_bits(n.get()), 9);
  }
}

TEST(RandomNumbers, RangesAndTheirRefusals) {
  Owned<BIGNUM> r(BN_new()), range(BN_new());
  struct Case {
    long range;
    int result;
    const char* lines;
  } cases[] = {{0, 0, lines::kRangeNotPositive}, {-5, 0, lines::kRangeNotPositive}, {1, 1, ""}};
  for (const auto& c : cases) {
    BN_set_word(range.get(), c.range < 0 ? -c.range : c.range);
    BN_set_negative(range.get(), c.range < 0);
    int result = -2;
    EXPECT_EQ(printed_by([&] { result = rawcrypt::BN_rand_range(r.get(), range.get()); }), c.lines);
    EXPECT_EQ(result, c.result) << c.range;
  }
  EXPECT_TRUE(BN_is_zero(r.get()));
  for (long top : {1000L, 1L << 20, 0x500000L}) {  // both branches, always below the range
    BN_set_word(range.get(), top);
    for (int i = 0; i < 200; ++i) {
      ASSERT_EQ(rawcrypt::BN_pseudo_rand_range(r.get(), range.get()), 1);
      ASSERT_LT(BN_cmp(r.get(), range.get()), 0);
    }
  }
}

// A stuck generator whose draws never fall below the range: the 100th gives up.
TEST(RandomNumbers, HundredDrawsThenGiveUp) {
  Owned<BIGNUM> r(BN_new()), range(BN_new());
  testing_rand::stuck_byte = 0xff;
  ScopedRandMethod method(&testing_rand::stuck);
  struct Case {
    const char* range_hex;
    const char* line;
  } cases[] = {{"8000000000000001", lines::kRangeCount}, {"C000000000000001", lines::kRangeCount2}};
  for (const auto& c : cases) {
    BIGNUM* raw = range.get();
    BN_hex2bn(&raw, c.range_hex);
    testing_rand::stuck_draws = 0;
    int result = -2;
    EXPECT_EQ(printed_by([&] { result = rawcrypt::BN_rand_range(r.get(), range.get()); }), c.line);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(testing_rand::stuck_draws, 100) << c.range_hex;
  }
}

}  // namespace
