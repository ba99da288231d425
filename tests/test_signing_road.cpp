// The signing operation of the road, from its own entries: the keys it
// cannot sign with, other curves, DER output and a precomputed nonce.
#include "target/compat.h"

#include <gtest/gtest.h>

#include <vector>

#include "target/ecdsa_sign.h"
#include "target/owners.h"
#include "tests/support/console.h"
#include "tests/support/console_lines.h"
#include "tests/support/ecdsa_reference.h"

namespace {

using rawcrypt::Owned;
using vectors::Bytes;

Owned<EC_KEY> key_on(int nid) {
  Owned<EC_KEY> key(EC_KEY_new_by_curve_name(nid));
  EC_KEY_generate_key(key.get());
  return key;
}

TEST(SigningOperation, KeysItCannotSignWith) {
  Owned<EC_KEY> public_only(EC_KEY_new_by_curve_name(NID_X9_62_prime256v1));
  const Bytes z(32, 0x11);
  ECDSA_SIG* sig = reinterpret_cast<ECDSA_SIG*>(1);
  EXPECT_EQ(printed_by([&] { sig = rawcrypt::ECDSA_do_sign(z.data(), 32, public_only.get()); }),
            std::string(lines::kParaError) + lines::kEcdsaDoSign);
  EXPECT_EQ(sig, nullptr);
  EXPECT_EQ(printed_by([&] { sig = rawcrypt::ECDSA_do_sign(z.data(), 32, nullptr); }),
            lines::kEcdsaCheck);
  EXPECT_EQ(sig, nullptr);
  unsigned char der[80];
  unsigned int der_len = 99;
  EXPECT_EQ(printed_by([&] {
              EXPECT_EQ(rawcrypt::ECDSA_sign(0, z.data(), 32, der, &der_len, public_only.get()), 0);
            }),
            std::string(lines::kParaError) + lines::kEcdsaDoSign);
  EXPECT_EQ(der_len, 0u);
}

// Signatures of the road on other curves and through its other entries,
// checked by libcrypto's own verification: a binary-field curve, a digest
// longer than the order, DER output, and a precomputed nonce.
TEST(SigningOperation, OtherCurvesAndEntries) {
  std::vector<int> curves = {NID_X9_62_prime256v1, NID_secp384r1, NID_secp521r1, NID_secp160r1};
#ifndef OPENSSL_NO_EC2M
  curves.push_back(NID_sect163k1);
#endif
  const Bytes digest = reference::sha256({'d'});
  const Bytes long_digest(64, 0xab);  // cut to the order's bits on the smaller curves
  for (int nid : curves) {
    Owned<EC_KEY> key = key_on(nid);
    for (const Bytes* z : {&digest, static_cast<const Bytes*>(&long_digest)}) {
      Owned<ECDSA_SIG> sig(rawcrypt::ECDSA_do_sign(z->data(), z->size(), key.get()));
      ASSERT_NE(sig, nullptr) << OBJ_nid2sn(nid);
      EXPECT_EQ(ECDSA_do_verify(z->data(), z->size(), sig.get(), key.get()), 1) << OBJ_nid2sn(nid);
    }
    Bytes der(ECDSA_size(key.get()));
    unsigned int der_len = 0;
    ASSERT_EQ(rawcrypt::ECDSA_sign(0, digest.data(), 32, der.data(), &der_len, key.get()), 1);
    EXPECT_EQ(ECDSA_verify(0, digest.data(), 32, der.data(), der_len, key.get()), 1);
    BIGNUM *kinv = nullptr, *r = nullptr;
    ASSERT_EQ(rawcrypt::ECDSA_sign_setup(key.get(), nullptr, &kinv, &r), 1);
    Owned<ECDSA_SIG> sig(rawcrypt::ECDSA_do_sign_ex(digest.data(), 32, kinv, r, key.get()));
    ASSERT_NE(sig, nullptr);
    EXPECT_EQ(ECDSA_do_verify(digest.data(), 32, sig.get(), key.get()), 1);
    BN_clear_free(kinv);
    BN_clear_free(r);
  }
}

}  // namespace
