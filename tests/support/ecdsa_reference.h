// An independent ECDSA P-256/SHA-256 path for cross-checks: libcrypto's EVP
// interface with DER signatures, converted to and from the helpers' raw form.
#ifndef RAWCRYPT_TESTS_ECDSA_REFERENCE_H
#define RAWCRYPT_TESTS_ECDSA_REFERENCE_H

#include "tests/support/vectors.h"

namespace reference {

using vectors::Bytes;

struct RawKey {
  Bytes d, x, y;  // 32 bytes each
};

RawKey generate_key();
RawKey key_from_scalar(const Bytes& d);

// evp_sign: a raw r||s signature made by EVP_DigestSign.
Bytes evp_sign(const RawKey& key, const Bytes& message);
// evp_verify: whether EVP_DigestVerify accepts the raw signature (as DER).
bool evp_verify(const RawKey& key, const Bytes& message, const Bytes& raw_signature);

Bytes raw_to_der(const Bytes& raw);
Bytes der_to_raw(const Bytes& der);

// SHA-256 of a message, the number z that ECDSA signs.
Bytes sha256(const Bytes& message);

}  // namespace reference

#endif  // RAWCRYPT_TESTS_ECDSA_REFERENCE_H
