// The hedged nonce: RFC 6979's derivation with the generator's draw as
// additional data.
#include "target/compat.h"

#include <gtest/gtest.h>

#include "target/nonce.h"
#include "target/owners.h"
#include "tests/support/ecdsa_reference.h"

namespace {

using rawcrypt::Owned;
using vectors::Bytes;

// RFC 6979 A.2.5 (P-256, SHA-256): with no additional data the derivation
// is the RFC's deterministic nonce.
TEST(HedgedNonce, KnownAnswersWithoutAdditionalData) {
  Owned<EC_GROUP> group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  Owned<BN_CTX> ctx(BN_CTX_new());
  Owned<BIGNUM> order(BN_new()), x(BN_new()), k(BN_new());
  EC_GROUP_get_order(group.get(), order.get(), ctx.get());
  BIGNUM* raw = x.get();
  BN_hex2bn(&raw, "C9AFA9D845BA75166B5C215767B1D6934E50C3DB36E89B127B8A622B120F6721");
  struct Case {
    std::string message;
    const char* k;
  } cases[] = {{"sample", "A6E3C57DD01ABE90086538398355DD4C3B17AA873382B0F24D6129493D8AAD60"},
               {"test", "D16B6AE827F17175E040871A1C7EC3500192C4C92677336EC2537ACAEE0008E0"}};
  for (const auto& c : cases) {
    Bytes h = reference::sha256(Bytes(c.message.begin(), c.message.end()));
    ASSERT_EQ(rawcrypt::derive_nonce(k.get(), order.get(), x.get(), h.data(), 32, nullptr, ctx.get()), 1);
    char* hex = BN_bn2hex(k.get());
    EXPECT_STREQ(hex, c.k) << c.message;
    OPENSSL_free(hex);
    // The draw changes the nonce.
    Owned<BIGNUM> extra(BN_new()), hedged(BN_new());
    BN_set_word(extra.get(), 12345);
    ASSERT_EQ(rawcrypt::derive_nonce(hedged.get(), order.get(), x.get(), h.data(), 32, extra.get(), ctx.get()), 1);
    EXPECT_NE(BN_cmp(hedged.get(), k.get()), 0);
  }
}
}  // namespace
