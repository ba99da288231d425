// ecc_sign / ecc_verify: vectors, cross-checks with libcrypto's EVP path, and
// the failure cases a caller meets.
#include "target/compat.h"

#include <gtest/gtest.h>

#include "helpers/encrypt.h"
#include "target/owners.h"
#include "tests/support/console.h"
#include "tests/support/console_lines.h"
#include "tests/support/ecdsa_reference.h"
#include "tests/support/rand_methods.h"
#include "tests/support/vectors.h"

namespace {

using rawcrypt::Owned;
using reference::RawKey;
using testing_rand::ScopedRandMethod;
using vectors::Bytes;

Bytes to_bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes sign(const RawKey& key, const Bytes& message) {
  Bytes sig(64);
  EXPECT_EQ(ecc_sign(key.d.data(), message.data(), sig.data(), message.size()), 1);
  return sig;
}

int verify(const Bytes& x, const Bytes& y, const Bytes& message, const Bytes& sig) {
  return ecc_verify(x.data(), y.data(), message.data(), sig.data(), message.size());
}

// Wycheproof gives coordinates as ASN.1 integers: strip or pad to 32 bytes.
Bytes scalar32(Bytes b) {
  while (b.size() > 32 && b.front() == 0) b.erase(b.begin());
  b.insert(b.begin(), 32 - b.size(), 0);
  return b;
}

// Wycheproof's P1363 sets: the main one, and the WebCrypto one, whose P-256
// keys and edge signatures (77 cases) the main set lacks.
TEST(EcdsaVectors, WycheproofP1363) {
  const struct {
    const char* file;
    const char* key;  // the member that holds wx and wy
    int expected;     // P-256/SHA-256 cases with a 64-byte signature
  } sets[] = {
      {"wycheproof/ecdsa_secp256r1_sha256_p1363_test.json", "publicKey", 241},
      {"extra/wycheproof/ecdsa_webcrypto_test.json", "key", 210},
  };
  for (const auto& set : sets) {
    auto file = vectors::read_json(set.file);
    int checked = 0;
    for (const auto& group : file["testGroups"].items) {
      const auto& key = group[set.key];
      if (key["curve"].str() != "secp256r1" || group["sha"].str() != "SHA-256") continue;
      Bytes x = scalar32(key["wx"].hex());
      Bytes y = scalar32(key["wy"].hex());
      for (const auto& test : group["tests"].items) {
        Bytes sig = test["sig"].hex();
        if (sig.size() != 64) continue;  // a fixed-size interface cannot be handed these
        Bytes msg = test["msg"].hex();
        int result = 0;
        std::string out = printed_by([&] { result = verify(x, y, msg, sig); });
        const std::string id = std::string(set.file) + " tcId " + test["tcId"].str();
        if (test["result"].str() == "valid")
          EXPECT_EQ(result, 1) << id;
        else
          EXPECT_NE(result, 1) << id;
        EXPECT_EQ(out, "") << id;
        ++checked;
      }
    }
    EXPECT_EQ(checked, set.expected) << set.file;
  }
}

TEST(EcdsaVectors, NistSigVer) {
  int checked = 0;
  for (const auto& rec : vectors::read_rsp("nist-cavp/ecdsa/SigVer.rsp")) {
    if (!rec.under("P-256,SHA-256")) continue;
    Bytes sig = rec.hex("R");
    Bytes s = rec.hex("S");
    sig.insert(sig.end(), s.begin(), s.end());
    int result = verify(rec.hex("Qx"), rec.hex("Qy"), rec.hex("Msg"), sig);
    EXPECT_EQ(result == 1, rec.text("Result")[0] == 'P') << rec.text("Msg");
    ++checked;
  }
  EXPECT_EQ(checked, 15);
}

TEST(EcdsaVectors, NistKeyPairsSignAndVerify) {
  int checked = 0;
  Bytes msg = to_bytes("key pair check");
  for (const auto& rec : vectors::read_rsp("nist-cavp/ecdsa/KeyPair.rsp")) {
    if (!rec.under("P-256") || !rec.has("d")) continue;
    const Bytes d = rec.hex("d");
    RawKey key{host::SecretBytes(d.data(), d.data() + d.size()), rec.hex("Qx"), rec.hex("Qy")};
    EXPECT_EQ(verify(key.x, key.y, msg, sign(key, msg)), 1) << rec.text("d");
    ++checked;
  }
  EXPECT_EQ(checked, 10);
}

TEST(EcdsaCrossCheck, HelpersAndEvpAcceptEachOther) {
  for (size_t length : {0, 1, 63, 64, 65, 1000}) {
    RawKey key = reference::generate_key();
    Bytes msg(length);
    for (size_t i = 0; i < length; ++i) msg[i] = static_cast<unsigned char>(i * 7 + length);
    Bytes ours = sign(key, msg);
    EXPECT_TRUE(reference::evp_verify(key, msg, ours)) << length;
    EXPECT_EQ(verify(key.x, key.y, msg, reference::evp_sign(key, msg)), 1) << length;
  }
}

TEST(EcdsaSign, EmptyMessageIsTheDigestOfNothing) {
  RawKey key = reference::generate_key();
  Bytes sig(64);
  ASSERT_EQ(ecc_sign(key.d.data(), nullptr, sig.data(), 0), 1);
  EXPECT_EQ(ecc_verify(key.x.data(), key.y.data(), nullptr, sig.data(), 0), 1);
  EXPECT_TRUE(reference::evp_verify(key, {}, sig));
}

TEST(EcdsaSign, FreshNonceEachTime) {
  RawKey key = reference::generate_key();
  Bytes msg = to_bytes("same message");
  Bytes a = sign(key, msg), b = sign(key, msg);
  EXPECT_NE(a, b);
  EXPECT_EQ(verify(key.x, key.y, msg, a), 1);
  EXPECT_EQ(verify(key.x, key.y, msg, b), 1);
}

// A half whose value is shorter than 32 bytes sits at the low end of its
// half; the EVP path reads the DER of the numbers, so a shifted half fails.
TEST(EcdsaSign, ShortHalvesAreWrittenWithLeadingZeros) {
  RawKey key = reference::generate_key();
  bool short_r = false, short_s = false;
  for (int i = 0; i < 4000 && !(short_r && short_s); ++i) {
    Bytes msg = to_bytes("short " + std::to_string(i));
    Bytes sig = sign(key, msg);
    if (sig[0] != 0 && sig[32] != 0) continue;
    short_r |= sig[0] == 0;
    short_s |= sig[32] == 0;
    EXPECT_TRUE(reference::evp_verify(key, msg, sig));
    EXPECT_EQ(verify(key.x, key.y, msg, sig), 1);
  }
  EXPECT_TRUE(short_r && short_s);
}

// Scalars outside [1, n-1] are refused as a key that cannot be set, the
// buffer untouched; the ends of the range sign for the key standard tools
// derive from them.
TEST(EcdsaSign, ScalarsOutsideOneToOrderAreRefused) {
  const Bytes n = vectors::from_hex("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551");
  auto plus = [](Bytes v, int delta) {  // v + delta for a small delta, big-endian
    for (int i = 31; i >= 0 && delta != 0; --i) {
      const int sum = v[i] + delta;
      v[i] = static_cast<unsigned char>(sum & 0xff);
      delta = sum >> 8;  // arithmetic shift: -1 carries a borrow
    }
    return v;
  };
  const struct {
    const char* name;
    Bytes d;
    bool accepted;
  } cases[] = {
      {"zero", Bytes(32, 0), false},
      {"n", n, false},
      {"n + 1", plus(n, 1), false},
      {"2^256 - 1", Bytes(32, 0xff), false},
      {"top byte only past n", plus(n, 256), false},
      {"one", plus(Bytes(32, 0), 1), true},
      {"n - 1", plus(n, -1), true},
  };
  const Bytes msg = to_bytes("range");
  for (const auto& c : cases) {
    Bytes sig(64, 0xa5);
    int result = -2;
    const std::string out =
        printed_by([&] { result = ecc_sign(c.d.data(), msg.data(), sig.data(), msg.size()); });
    if (c.accepted) {
      EXPECT_EQ(result, 1) << c.name;
      EXPECT_EQ(out, "") << c.name;
      EXPECT_TRUE(reference::evp_verify(reference::key_from_scalar(c.d), msg, sig)) << c.name;
    } else {
      EXPECT_EQ(result, 0) << c.name;
      EXPECT_EQ(out, lines::kSetPrivateKey) << c.name;
      EXPECT_EQ(sig, Bytes(64, 0xa5)) << c.name;
    }
  }
}

TEST(EcdsaVerify, RejectsWithoutALine) {
  RawKey key = reference::generate_key(), other = reference::generate_key();
  Bytes msg = to_bytes("the message");
  Bytes sig = sign(key, msg);
  Bytes zero_r = sig, zero_s = sig;
  std::fill(zero_r.begin(), zero_r.begin() + 32, 0);
  std::fill(zero_s.begin() + 32, zero_s.end(), 0);
  struct Case {
    const char* name;
    Bytes x, y, msg, sig;
  } cases[] = {
      {"other message", key.x, key.y, to_bytes("the messagf"), sig},
      {"other key", other.x, other.y, msg, sig},
      {"r zero", key.x, key.y, msg, zero_r},
      {"s zero", key.x, key.y, msg, zero_s},
  };
  for (const auto& c : cases) {
    int result = -2;
    EXPECT_EQ(printed_by([&] { result = verify(c.x, c.y, c.msg, c.sig); }), "") << c.name;
    EXPECT_EQ(result, 0) << c.name;
  }
  for (size_t bit = 0; bit < 512; bit += 7) {
    Bytes flipped = sig;
    flipped[bit / 8] ^= 1 << (bit % 8);
    int result = -2;
    EXPECT_EQ(printed_by([&] { result = verify(key.x, key.y, msg, flipped); }), "");
    EXPECT_NE(result, 1) << "bit " << bit;
  }
}

// The y of P-256's point with x = 0: a coordinate equal to p stands for the
// same residue, and must be refused rather than reduced.
Bytes y_at_x_zero() {
  Owned<EC_GROUP> group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  Owned<BIGNUM> p(BN_new()), b(BN_new()), y(BN_new());
  Owned<BN_CTX> ctx(BN_CTX_new());
  EC_GROUP_get_curve_GFp(group.get(), p.get(), nullptr, b.get(), ctx.get());
  EXPECT_NE(BN_mod_sqrt(y.get(), b.get(), p.get(), ctx.get()), nullptr);
  Bytes out(32);
  rawcrypt::bn_to_be32(y.get(), out.data());
  return out;
}

// Wycheproof's P-256 key whose y is short enough that y + p still fits in
// 32 bytes: another encoding of the same point, which must be refused.
RawKey key_with_y_plus_p() {
  auto file = vectors::read_json("wycheproof/ecdsa_secp256r1_sha256_p1363_test.json");
  for (const auto& group : file["testGroups"].items) {
    Bytes y = scalar32(group["publicKey"]["wy"].hex());
    if (y[0] != 0 || y[1] != 0 || y[2] != 0 || y[3] != 0) continue;
    Owned<BIGNUM> sum(BN_bin2bn(y.data(), 32, nullptr)), p(BN_new());
    Owned<EC_GROUP> curve(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
    EC_GROUP_get_curve_GFp(curve.get(), p.get(), nullptr, nullptr, nullptr);
    BN_add(sum.get(), sum.get(), p.get());
    rawcrypt::bn_to_be32(sum.get(), y.data());
    return RawKey{{}, scalar32(group["publicKey"]["wx"].hex()), y};
  }
  ADD_FAILURE() << "no key with a short y in the vectors";
  return RawKey{{}, Bytes(32, 0), Bytes(32, 0)};
}

TEST(EcdsaVerify, RefusesKeysOffTheCurve) {
  RawKey key = reference::generate_key();
  Bytes msg = to_bytes("m");
  Bytes sig = sign(key, msg);
  Bytes p = vectors::from_hex("ffffffff00000001000000000000000000000000ffffffffffffffffffffffff");
  Bytes y_plus_1 = key.y;
  y_plus_1[31] ^= 1;
  Bytes zero(32, 0), ones(32, 0xff), y0 = y_at_x_zero();
  const RawKey y_plus_p = key_with_y_plus_p();
  struct Case {
    const char* name;
    Bytes x, y;
  } cases[] = {
      {"y changed", key.x, y_plus_1},
      {"origin (no encoding of infinity)", zero, zero},
      {"x = 0 + p, same residue as a curve point", p, y0},
      {"y + p, same residue as a curve point", y_plus_p.x, y_plus_p.y},
      {"coordinates all ones", ones, ones},
      {"x beyond p", ones, key.y},
  };
  for (const auto& c : cases) {
    int result = -2;
    EXPECT_EQ(printed_by([&] { result = verify(c.x, c.y, msg, sig); }), lines::kSetPublicKey)
        << c.name;
    EXPECT_EQ(result, 0) << c.name;
  }
  // The residue itself is a point: it gets as far as the verification.
  int result = -2;
  EXPECT_EQ(printed_by([&] { result = verify(zero, y0, msg, sig); }), "");
  EXPECT_EQ(result, 0);
}

// ---- The road of a signature seen from ecc_sign: every failure down to the
// generator leaves its line, innermost first, and the nonce stays secret
// when the generator is stuck. ----

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
  EXPECT_NE(recovered, Bytes(key.d.begin(), key.d.end()));
}

}  // namespace
