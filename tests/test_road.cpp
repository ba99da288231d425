// The road of a signature seen from ecc_sign: every failure down to the
// generator leaves its line, innermost first, and the nonce stays secret
// when the generator is stuck.
#include "target/compat.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "helpers/encrypt.h"
#include "target/owners.h"
#include "tests/support/console.h"
#include "tests/support/console_lines.h"
#include "tests/support/ecdsa_reference.h"
#include "tests/support/rand_methods.h"

namespace {

using rawcrypt::Owned;
using reference::RawKey;
using testing_rand::ScopedRandMethod;
using vectors::Bytes;

const Bytes kMessage = {'r', 'o', 'a', 'd'};

struct Attempt {
  int result;
  std::string lines;
  Bytes signature;
};

Attempt sign_with(const RawKey& key, const Bytes& message) {
  Attempt a{-2, "", Bytes(64, 0x3c)};
  a.lines = printed_by([&] {
    a.result = ecc_sign(key.d.data(), message.data(), a.signature.data(), message.size());
  });
  return a;
}

std::string pointer_text(const void* p) {
  char text[64];
  snprintf(text, sizeof text, "%p", p);
  return text;
}

TEST(SigningRoad, MethodWithoutBytesPrintsTheWholeChain) {
  RawKey key = reference::generate_key();
  Attempt a;
  {
    ScopedRandMethod method(&testing_rand::without_bytes);
    a = sign_with(key, kMessage);
  }
  EXPECT_EQ(a.result, 0);
  EXPECT_EQ(a.lines, "meth = " + pointer_text(&testing_rand::without_bytes) + ", bytes = " +
                         pointer_text(nullptr) + "\n" + lines::kRandBytes + lines::kRangeDraw4 +
                         lines::kRandRange + lines::kSignSetup + lines::kEcdsaDoSign + lines::kDoSign);
  EXPECT_EQ(a.signature, Bytes(64, 0x3c));
}

// Every draw at or above the order: the 100th draw gives up.
TEST(SigningRoad, StuckHighDrawsGiveUpAtTheHundredth) {
  RawKey key = reference::generate_key();
  testing_rand::stuck_byte = 0xff;
  Attempt a;
  {
    ScopedRandMethod method(&testing_rand::stuck);
    a = sign_with(key, kMessage);
    EXPECT_EQ(testing_rand::stuck_draws, 100);
  }
  EXPECT_EQ(a.result, 0);
  EXPECT_EQ(a.lines, std::string(lines::kRangeCount2) + lines::kRandRange + lines::kSignSetup +
                         lines::kEcdsaDoSign + lines::kDoSign);
  EXPECT_EQ(a.signature, Bytes(64, 0x3c));
}

// n^-1 mod order of a 32-byte value, through libcrypto's BN.
struct Order {
  Owned<BN_CTX> ctx{BN_CTX_new()};
  Owned<BIGNUM> n{BN_new()};
  Order() {
    Owned<EC_GROUP> group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
    EC_GROUP_get_order(group.get(), n.get(), ctx.get());
  }
  Owned<BIGNUM> num(const unsigned char* bytes) { return Owned<BIGNUM>(BN_bin2bn(bytes, 32, nullptr)); }
};

// With a generator that always gives the same bytes, a nonce that came from
// the generator alone would repeat across messages and give the key away to
// anyone holding two signatures: k = (z1 - z2) / (s1 - s2), d = (s1 k - z1) / r.
TEST(SigningRoad, StuckGeneratorDoesNotRepeatTheNonce) {
  RawKey key = reference::generate_key();
  const Bytes m1 = {'o', 'n', 'e'}, m2 = {'t', 'w', 'o'};
  testing_rand::stuck_byte = 0x42;
  Attempt a, b, a_again;
  {
    ScopedRandMethod method(&testing_rand::stuck);
    a = sign_with(key, m1);
    b = sign_with(key, m2);
    a_again = sign_with(key, m1);
  }
  ASSERT_EQ(a.result, 1);
  ASSERT_EQ(b.result, 1);
  EXPECT_EQ(a.lines + b.lines, "");
  EXPECT_NE(Bytes(a.signature.begin(), a.signature.begin() + 32),
            Bytes(b.signature.begin(), b.signature.begin() + 32));
  EXPECT_EQ(a.signature, a_again.signature);  // unique per key and message
  EXPECT_TRUE(reference::evp_verify(key, m1, a.signature));
  EXPECT_TRUE(reference::evp_verify(key, m2, b.signature));

  Order q;
  BN_CTX* ctx = q.ctx.get();
  Bytes z1 = reference::sha256(m1), z2 = reference::sha256(m2);
  auto Z1 = q.num(z1.data()), Z2 = q.num(z2.data());
  auto R1 = q.num(a.signature.data()), S1 = q.num(a.signature.data() + 32);
  auto S2 = q.num(b.signature.data() + 32);
  Owned<BIGNUM> k(BN_new()), t(BN_new()), d(BN_new());
  BN_mod_sub(k.get(), Z1.get(), Z2.get(), q.n.get(), ctx);
  BN_mod_sub(t.get(), S1.get(), S2.get(), q.n.get(), ctx);
  BN_mod_inverse(t.get(), t.get(), q.n.get(), ctx);
  BN_mod_mul(k.get(), k.get(), t.get(), q.n.get(), ctx);
  BN_mod_mul(d.get(), S1.get(), k.get(), q.n.get(), ctx);
  BN_mod_sub(d.get(), d.get(), Z1.get(), q.n.get(), ctx);
  BN_mod_inverse(t.get(), R1.get(), q.n.get(), ctx);
  BN_mod_mul(d.get(), d.get(), t.get(), q.n.get(), ctx);
  Bytes recovered(32);
  rawcrypt::bn_to_be32(d.get(), recovered.data());
  EXPECT_NE(recovered, key.d);
}

}  // namespace
