// Keys and signatures between the device's raw forms and the standard ones
// (PEM keys, DER signatures), through libcrypto.
#ifndef RAWCRYPT_TOOLS_CLI_KEYS_H
#define RAWCRYPT_TOOLS_CLI_KEYS_H

#include <string>

#include "tools/cli_io.h"

namespace cli {

struct RawKeyPair {
  SecretBytes d;  // 32-byte private scalar (empty for a public key alone)
  Bytes x, y;     // 32-byte affine coordinates
};

RawKeyPair generate_key();
// public_of: the public point of a private scalar (refused when not in [1, n)).
RawKeyPair public_of(const SecretBytes& d);

std::string private_pem(const RawKeyPair& key, bool sec1);
std::string public_pem(const Bytes& x, const Bytes& y);
// from_pem: a private key (PKCS#8 or SEC1) or a public key (SubjectPublicKeyInfo).
RawKeyPair private_from_pem(const Bytes& pem);
RawKeyPair public_from_pem(const Bytes& pem);

Bytes signature_to_der(const Bytes& raw);
Bytes signature_from_der(const Bytes& der);

}  // namespace cli

#endif  // RAWCRYPT_TOOLS_CLI_KEYS_H
