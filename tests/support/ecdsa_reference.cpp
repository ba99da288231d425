#include "target/compat.h"

#include "tests/support/ecdsa_reference.h"

#include <stdexcept>

#include "host/compat.h"

namespace reference {
namespace {

using rawcrypt::Owned;

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(what);
}

Bytes be32(const BIGNUM* bn) {
  Bytes out(32);
  check(rawcrypt::bn_to_be32(bn, out.data()), "bn_to_be32");
  return out;
}

RawKey raw_of(const EC_KEY* key) {
  Owned<BIGNUM> x(BN_new()), y(BN_new());
  check(rawcrypt::ec_point_get_affine(EC_KEY_get0_group(key), EC_KEY_get0_public_key(key),
                                      x.get(), y.get(), nullptr),
        "affine");
  return {be32(EC_KEY_get0_private_key(key)), be32(x.get()), be32(y.get())};
}

Owned<EVP_PKEY> pkey_of(const RawKey& raw) {
  Owned<EC_KEY> key(EC_KEY_new_by_curve_name(NID_X9_62_prime256v1));
  Owned<BIGNUM> d(BN_bin2bn(raw.d.data(), 32, nullptr));
  Owned<BIGNUM> x(BN_bin2bn(raw.x.data(), 32, nullptr));
  Owned<BIGNUM> y(BN_bin2bn(raw.y.data(), 32, nullptr));
  check(EC_KEY_set_private_key(key.get(), d.get()) == 1, "set private");
  check(EC_KEY_set_public_key_affine_coordinates(key.get(), x.get(), y.get()) == 1, "set public");
  Owned<EVP_PKEY> pkey(EVP_PKEY_new());
  check(EVP_PKEY_set1_EC_KEY(pkey.get(), key.get()) == 1, "pkey");
  return pkey;
}

}  // namespace

RawKey generate_key() {
  Owned<EC_KEY> key(EC_KEY_new_by_curve_name(NID_X9_62_prime256v1));
  check(EC_KEY_generate_key(key.get()) == 1, "generate");
  return raw_of(key.get());
}

RawKey key_from_scalar(const Bytes& d) {
  Owned<EC_KEY> key(EC_KEY_new_by_curve_name(NID_X9_62_prime256v1));
  const EC_GROUP* group = EC_KEY_get0_group(key.get());
  Owned<BIGNUM> scalar(BN_bin2bn(d.data(), 32, nullptr));
  Owned<EC_POINT> q(EC_POINT_new(group));
  check(EC_POINT_mul(group, q.get(), scalar.get(), nullptr, nullptr, nullptr) == 1, "mul");
  check(EC_KEY_set_private_key(key.get(), scalar.get()) == 1, "private");
  check(EC_KEY_set_public_key(key.get(), q.get()) == 1, "public");
  return raw_of(key.get());
}

Bytes raw_to_der(const Bytes& raw) {
  Owned<ECDSA_SIG> sig(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(raw.data(), 32, nullptr);
  BIGNUM* s = BN_bin2bn(raw.data() + 32, 32, nullptr);
  check(rawcrypt::ecdsa_sig_set0(sig.get(), r, s) == 1, "set0");
  int size = i2d_ECDSA_SIG(sig.get(), nullptr);
  Bytes der(size);
  unsigned char* p = der.data();
  i2d_ECDSA_SIG(sig.get(), &p);
  return der;
}

Bytes der_to_raw(const Bytes& der) {
  const unsigned char* p = der.data();
  Owned<ECDSA_SIG> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())));
  check(sig != nullptr, "d2i");
  const BIGNUM *r, *s;
  rawcrypt::ecdsa_sig_get0(sig.get(), &r, &s);
  Bytes raw = be32(r);
  Bytes s32 = be32(s);
  raw.insert(raw.end(), s32.begin(), s32.end());
  return raw;
}

Bytes evp_sign(const RawKey& key, const Bytes& message) {
  auto pkey = pkey_of(key);
  host::MdContext md = host::new_md_context();
  check(md && EVP_DigestSignInit(md.get(), nullptr, EVP_sha256(), nullptr, pkey.get()) == 1,
        "sign init");
  check(EVP_DigestSignUpdate(md.get(), message.data(), message.size()) == 1, "update");
  size_t size = 0;
  check(EVP_DigestSignFinal(md.get(), nullptr, &size) == 1, "size");
  Bytes der(size);
  check(EVP_DigestSignFinal(md.get(), der.data(), &size) == 1, "sign");
  der.resize(size);
  return der_to_raw(der);
}

bool evp_verify(const RawKey& key, const Bytes& message, const Bytes& raw_signature) {
  auto pkey = pkey_of(key);
  Bytes der = raw_to_der(raw_signature);
  host::MdContext md = host::new_md_context();
  check(md && EVP_DigestVerifyInit(md.get(), nullptr, EVP_sha256(), nullptr, pkey.get()) == 1,
        "init");
  check(EVP_DigestVerifyUpdate(md.get(), message.data(), message.size()) == 1, "update");
  return EVP_DigestVerifyFinal(md.get(), der.data(), der.size()) == 1;
}

Bytes sha256(const Bytes& message) {
  Bytes out(32);
  SHA256(message.data(), message.size(), out.data());
  return out;
}

}  // namespace reference
