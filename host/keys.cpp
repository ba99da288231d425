#include "host/compat.h"

#include "host/keys.h"

#include <stdexcept>

namespace host {
namespace {

using rawcrypt::Owned;

void check(bool ok, const char* what) {
  if (!ok) throw std::invalid_argument(what);
}

Bytes be32(const BIGNUM* bn, const char* what) {
  Bytes out(32);
  check(bn != nullptr && rawcrypt::bn_to_be32(bn, out.data()), what);
  return out;
}

RawKeyPair raw_of(const EC_KEY* key) {
  Owned<BIGNUM> x(BN_new()), y(BN_new());
  check(x && y &&
            rawcrypt::ec_point_get_affine(EC_KEY_get0_group(key), EC_KEY_get0_public_key(key),
                                          x.get(), y.get(), nullptr),
        "cannot read the public point");
  RawKeyPair raw;
  raw.d.resize(32);
  check(rawcrypt::bn_to_be32(EC_KEY_get0_private_key(key), raw.d.data()), "the private scalar does not fit");
  raw.x = be32(x.get(), "x does not fit in 32 bytes");
  raw.y = be32(y.get(), "y does not fit in 32 bytes");
  return raw;
}

Owned<EC_KEY> new_key() {
  Owned<EC_KEY> key(EC_KEY_new_by_curve_name(NID_X9_62_prime256v1));
  check(key != nullptr, "cannot create a P-256 key");
  return key;
}

}  // namespace

const char kStandardAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kDemoPrivateHex[] = "c9806898a0334916c860748880a541f093b579a9b1f32934d86c363c39800357";
const char kDemoPublicXHex[] = "d0720dc691aa80096ba32fed1cb97c2b620690d06de0317b8618d5ce65eb728f";
const char kDemoPublicYHex[] = "9681b517b1cda17d0d83d335d9c4a8a9a9b0b1b3c7106d8f3c72bc5093dc275f";

RawKeyPair generate_key() {
  Owned<EC_KEY> key = new_key();
  check(EC_KEY_generate_key(key.get()) == 1, "key generation failed");
  return raw_of(key.get());
}

RawKeyPair public_of(const unsigned char* d) {
  Owned<EC_KEY> key = new_key();
  const EC_GROUP* group = EC_KEY_get0_group(key.get());
  rawcrypt::SecretBn scalar(BN_bin2bn(d, 32, nullptr));
  Owned<BIGNUM> order = group_order(group);
  check(scalar != nullptr && order != nullptr, "out of memory");
  check(!BN_is_zero(scalar.get()) && BN_cmp(scalar.get(), order.get()) < 0,
        "the private scalar is not in [1, n-1]");
  Owned<EC_POINT> q(EC_POINT_new(group));
  check(q && EC_POINT_mul(group, q.get(), scalar.get(), nullptr, nullptr, nullptr) == 1 &&
            EC_KEY_set_private_key(key.get(), scalar.get()) == 1 &&
            EC_KEY_set_public_key(key.get(), q.get()) == 1,
        "cannot derive the public point");
  return raw_of(key.get());
}

Bytes signature_to_der(const Bytes& raw) {
  check(raw.size() == 64, "a raw signature is 64 bytes");
  Owned<ECDSA_SIG> sig(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(raw.data(), 32, nullptr);
  BIGNUM* s = BN_bin2bn(raw.data() + 32, 32, nullptr);
  if (!sig || !rawcrypt::ecdsa_sig_set0(sig.get(), r, s)) {
    BN_free(r);
    BN_free(s);
    throw std::invalid_argument("out of memory");
  }
  Bytes der(static_cast<size_t>(i2d_ECDSA_SIG(sig.get(), nullptr)));
  unsigned char* p = der.data();
  i2d_ECDSA_SIG(sig.get(), &p);
  return der;
}

Bytes signature_from_der(const Bytes& der) {
  const unsigned char* p = der.data();
  Owned<ECDSA_SIG> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())));
  check(sig != nullptr && p == der.data() + der.size(), "not a DER ECDSA signature");
  const BIGNUM *r, *s;
  rawcrypt::ecdsa_sig_get0(sig.get(), &r, &s);
  Bytes raw = be32(r, "r does not fit in 32 bytes"), s32 = be32(s, "s does not fit in 32 bytes");
  raw.insert(raw.end(), s32.begin(), s32.end());
  return raw;
}

}  // namespace host
