// P-256 keys and signatures between the device's raw forms and libcrypto:
// key generation, the public point of a scalar, raw r||s to and from DER.
// Shared by the tool and the tests; never in the module.
#ifndef RAWCRYPT_HOST_KEYS_H
#define RAWCRYPT_HOST_KEYS_H

#include "host/bytes.h"

namespace host {

// The device's standard Base64 alphabet.
extern const char kStandardAlphabet[];

// A fixed demo key: NIST's first P-256 key pair (SigGen), as hex.
extern const char kDemoPrivateHex[];
extern const char kDemoPublicXHex[];
extern const char kDemoPublicYHex[];

struct RawKeyPair {
  SecretBytes d;  // 32-byte private scalar (empty for a public key alone)
  Bytes x, y;     // 32-byte affine coordinates
};

// generate_key: a fresh key pair from libcrypto's generator.
RawKeyPair generate_key();

// public_of: the key pair of a 32-byte private scalar. Throws
// std::invalid_argument when the scalar is not in [1, n-1].
RawKeyPair public_of(const unsigned char* d);

// signature_to_der / signature_from_der: a 64-byte r||s signature and its
// DER form. Both throw std::invalid_argument on what is not one.
Bytes signature_to_der(const Bytes& raw);
Bytes signature_from_der(const Bytes& der);

}  // namespace host

#endif  // RAWCRYPT_HOST_KEYS_H
