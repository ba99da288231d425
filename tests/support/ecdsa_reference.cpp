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
