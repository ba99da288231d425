#include "target/compat.h"

#include "tools/cli_keys.h"

#include <openssl/pem.h>

#include "host/compat.h"

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

Bytes be32(const BIGNUM* bn, const std::string& what) {
  Bytes out(32);
  check(bn != nullptr && rawcrypt::bn_to_be32(bn, out.data()), what + " does not fit in 32 bytes");
  return out;
}

Owned<EC_KEY> new_key() {
  Owned<EC_KEY> key(EC_KEY_new_by_curve_name(NID_X9_62_prime256v1));
  check(key != nullptr, "cannot create a P-256 key");
  // Keys name their curve, as openssl writes them (1.0.2 would otherwise
  // spell out the curve's parameters, which readers do not take as P-256).
  EC_KEY_set_asn1_flag(key.get(), OPENSSL_EC_NAMED_CURVE);
  return key;
}

RawKeyPair raw_of(const EC_KEY* key, bool with_private) {
  Owned<BIGNUM> x(BN_new()), y(BN_new());
  check(x && y &&
            rawcrypt::ec_point_get_affine(EC_KEY_get0_group(key), EC_KEY_get0_public_key(key),
                                          x.get(), y.get(), nullptr),
        "cannot read the public point");
  RawKeyPair raw;
  if (with_private) {
    Bytes d = be32(EC_KEY_get0_private_key(key), "the private scalar");
    raw.d.assign(d.begin(), d.end());
    OPENSSL_cleanse(d.data(), d.size());
  }
  raw.x = be32(x.get(), "x");
  raw.y = be32(y.get(), "y");
  return raw;
}

Owned<EC_KEY> key_of(const RawKeyPair& raw) {
  Owned<EC_KEY> key = new_key();
  if (!raw.d.empty()) {
    rawcrypt::SecretBn d(BN_bin2bn(raw.d.data(), 32, nullptr));
    check(d && EC_KEY_set_private_key(key.get(), d.get()) == 1, "the private scalar is not usable");
  }
  Owned<BIGNUM> x(BN_bin2bn(raw.x.data(), 32, nullptr)), y(BN_bin2bn(raw.y.data(), 32, nullptr));
  check(x && y && EC_KEY_set_public_key_affine_coordinates(key.get(), x.get(), y.get()) == 1,
        "the public coordinates are not a point of P-256");
  return key;
}

Pkey pkey_of(const EC_KEY* key) {
  Pkey pkey(EVP_PKEY_new());
  check(pkey && EVP_PKEY_set1_EC_KEY(pkey.get(), const_cast<EC_KEY*>(key)) == 1, "cannot wrap the key");
  return pkey;
}

std::string text_of(BIO* bio) {
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(size));
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

RawKeyPair generate_key() {
  Owned<EC_KEY> key = new_key();
  check(EC_KEY_generate_key(key.get()) == 1, "key generation failed");
  return raw_of(key.get(), true);
}

RawKeyPair public_of(const SecretBytes& d) {
  Owned<EC_KEY> key = new_key();
  const EC_GROUP* group = EC_KEY_get0_group(key.get());
  rawcrypt::SecretBn scalar(BN_bin2bn(d.data(), 32, nullptr));
  check(scalar != nullptr, "cannot read the private scalar");
  Owned<BIGNUM> order = host::group_order(group);
  check(order != nullptr, "cannot read the order of P-256");
  check(!BN_is_zero(scalar.get()) && BN_cmp(scalar.get(), order.get()) < 0,
        "the private scalar is not in [1, n-1]");
  Owned<EC_POINT> q(EC_POINT_new(group));
  check(q && EC_POINT_mul(group, q.get(), scalar.get(), nullptr, nullptr, nullptr) == 1 &&
            EC_KEY_set_private_key(key.get(), scalar.get()) == 1 &&
            EC_KEY_set_public_key(key.get(), q.get()) == 1,
        "cannot derive the public point");
  return raw_of(key.get(), true);
}

std::string private_pem(const RawKeyPair& raw, bool sec1) {
  Owned<EC_KEY> key = key_of(raw);
  Bio bio(host::secret_memory_bio());
  check(bio != nullptr, "out of memory");
  if (sec1) {
    check(PEM_write_bio_ECPrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "cannot write the SEC1 key");
  } else {
    Pkey pkey = pkey_of(key.get());
    check(PEM_write_bio_PrivateKey(bio.get(), pkey.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "cannot write the PKCS#8 key");
  }
  return text_of(bio.get());
}

std::string public_pem(const Bytes& x, const Bytes& y) {
  Owned<EC_KEY> key = key_of({{}, x, y});
  Bio bio(BIO_new(BIO_s_mem()));
  check(bio && PEM_write_bio_EC_PUBKEY(bio.get(), key.get()) == 1, "cannot write the public key");
  return text_of(bio.get());
}

RawKeyPair private_from_pem(const Bytes& pem) {
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  Pkey pkey(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  return raw_of(p256_key_of(pkey.get(), "private key").get(), true);
}

RawKeyPair public_from_pem(const Bytes& pem) {
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  Pkey pkey(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  return raw_of(p256_key_of(pkey.get(), "public key").get(), false);
}

Bytes signature_to_der(const Bytes& raw) {
  check(raw.size() == 64, "a raw signature is 64 bytes, found " + std::to_string(raw.size()));
  Owned<ECDSA_SIG> sig(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(raw.data(), 32, nullptr);
  BIGNUM* s = BN_bin2bn(raw.data() + 32, 32, nullptr);
  if (!sig || !rawcrypt::ecdsa_sig_set0(sig.get(), r, s)) {
    BN_free(r);
    BN_free(s);
    throw Failure("out of memory");
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
  Bytes raw = be32(r, "r"), s32 = be32(s, "s");
  raw.insert(raw.end(), s32.begin(), s32.end());
  return raw;
}

}  // namespace cli
