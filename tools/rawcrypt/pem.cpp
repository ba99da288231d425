// PEM keys: PKCS#8, SEC1 and SubjectPublicKeyInfo through libcrypto.
#include "host/compat.h"

#include "tools/rawcrypt/pem.h"

#include <openssl/pem.h>

#include "tools/rawcrypt/failure.h"

namespace cli {
namespace {

using rawcrypt::Owned;

struct BioDeleter {
  void operator()(BIO* b) const { BIO_free(b); }
};
using Bio = std::unique_ptr<BIO, BioDeleter>;
using Pkey = Owned<EVP_PKEY>;

void check(bool ok, const std::string& what) {
  if (!ok) throw Failure(what);
}

Owned<EC_KEY> key_of(const RawKeyPair& raw) {
  Owned<EC_KEY> key(EC_KEY_new_by_curve_name(NID_X9_62_prime256v1));
  check(key != nullptr, "cannot create a P-256 key");
  // Keys name their curve, as openssl writes them (1.0.2 would otherwise
  // spell out the curve's parameters, which readers do not take as P-256).
  EC_KEY_set_asn1_flag(key.get(), OPENSSL_EC_NAMED_CURVE);
  if (!raw.d.empty()) {
    rawcrypt::SecretBn d(BN_bin2bn(raw.d.data(), 32, nullptr));
    check(d && EC_KEY_set_private_key(key.get(), d.get()) == 1, "the private scalar is not usable");
  }
  Owned<BIGNUM> x(BN_bin2bn(raw.x.data(), 32, nullptr)), y(BN_bin2bn(raw.y.data(), 32, nullptr));
  check(x && y && EC_KEY_set_public_key_affine_coordinates(key.get(), x.get(), y.get()) == 1,
        "the public coordinates are not a point of P-256");
  return key;
}

// raw_of: the raw form of a key read from PEM, through its private scalar
// when there is one.
RawKeyPair raw_of(const EC_KEY* key, bool with_private) {
  if (with_private) {
    const BIGNUM* d = EC_KEY_get0_private_key(key);
    SecretBytes scalar(32);
    check(d != nullptr && rawcrypt::bn_to_be32(d, scalar.data()), "the private scalar does not fit in 32 bytes");
    try {
      return host::public_of(scalar.data());
    } catch (const std::invalid_argument& e) {
      throw Failure(std::string("the PEM private key: ") + e.what());
    }
  }
  Owned<BIGNUM> x(BN_new()), y(BN_new());
  check(x && y &&
            rawcrypt::ec_point_get_affine(EC_KEY_get0_group(key), EC_KEY_get0_public_key(key), x.get(),
                                          y.get(), nullptr),
        "cannot read the public point");
  RawKeyPair raw;
  raw.x.resize(32);
  raw.y.resize(32);
  check(rawcrypt::bn_to_be32(x.get(), raw.x.data()) && rawcrypt::bn_to_be32(y.get(), raw.y.data()),
        "the public point does not fit in 32 bytes");
  return raw;
}

Owned<EC_KEY> p256_key_of(EVP_PKEY* pkey, const char* what) {
  check(pkey != nullptr, std::string("not a PEM ") + what);
  Owned<EC_KEY> key(EVP_PKEY_get1_EC_KEY(pkey));
  check(key != nullptr, std::string("the PEM ") + what + " is not an EC key");
  check(EC_GROUP_get_curve_name(EC_KEY_get0_group(key.get())) == NID_X9_62_prime256v1,
        std::string("the PEM ") + what + " is not on P-256");
  return key;
}

}  // namespace

SecretBytes private_pem(const RawKeyPair& raw, bool sec1) {
  Owned<EC_KEY> key = key_of(raw);
  Bio bio(host::secret_memory_bio());
  check(bio != nullptr, "out of memory");
  if (sec1) {
    check(PEM_write_bio_ECPrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "cannot write the SEC1 key");
  } else {
    Pkey pkey(EVP_PKEY_new());
    check(pkey && EVP_PKEY_set1_EC_KEY(pkey.get(), key.get()) == 1 &&
              PEM_write_bio_PrivateKey(bio.get(), pkey.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "cannot write the PKCS#8 key");
  }
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  SecretBytes text(bytes, bytes + size);
  OPENSSL_cleanse(data, static_cast<size_t>(size));  // 1.0.2's memory BIO is not wiped for us
  return text;
}

std::string public_pem(const Bytes& x, const Bytes& y) {
  Owned<EC_KEY> key = key_of({{}, x, y});
  Bio bio(BIO_new(BIO_s_mem()));
  check(bio && PEM_write_bio_EC_PUBKEY(bio.get(), key.get()) == 1, "cannot write the public key");
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(size));
}

RawKeyPair private_from_pem(const SecretBytes& pem) {
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  Pkey pkey(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  return raw_of(p256_key_of(pkey.get(), "private key").get(), true);
}

RawKeyPair public_from_pem(const Bytes& pem) {
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  Pkey pkey(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  return raw_of(p256_key_of(pkey.get(), "public key").get(), false);
}

}  // namespace cli
