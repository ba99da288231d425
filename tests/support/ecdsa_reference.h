// An independent ECDSA P-256/SHA-256 path for cross-checks: libcrypto's EVP
// interface with DER signatures, converted to and from the helpers' raw form.
#ifndef RAWCRYPT_TESTS_ECDSA_REFERENCE_H
#define RAWCRYPT_TESTS_ECDSA_REFERENCE_H

#include "host/keys.h"
#include "tests/support/vectors.h"

namespace reference {

using vectors::Bytes;
using RawKey = host::RawKeyPair;

inline RawKey generate_key() { return host::generate_key(); }
inline RawKey key_from_scalar(const Bytes& d) { return host::public_of(d.data()); }

// evp_sign: a raw r||s signature made by EVP_DigestSign.
Bytes evp_sign(const RawKey& key, const Bytes& message);
// evp_verify: whether EVP_DigestVerify accepts the raw signature (as DER).
bool evp_verify(const RawKey& key, const Bytes& message, const Bytes& raw_signature);

inline Bytes raw_to_der(const Bytes& raw) { return host::signature_to_der(raw); }
inline Bytes der_to_raw(const Bytes& der) { return host::signature_from_der(der); }

// SHA-256 of a message, the number z that ECDSA signs.
Bytes sha256(const Bytes& message);

}  // namespace reference

#endif  // RAWCRYPT_TESTS_ECDSA_REFERENCE_H
