// PEM keys through libcrypto: the device's raw key to and from PKCS#8, SEC1
// and SubjectPublicKeyInfo. Raw forms, generation and DER signatures are
// the host library's (host/keys.h). Touches nothing.
#ifndef RAWCRYPT_TOOLS_RAWCRYPT_PEM_H
#define RAWCRYPT_TOOLS_RAWCRYPT_PEM_H

#include <string>

#include "host/keys.h"

namespace cli {

using host::Bytes;
using host::RawKeyPair;
using host::SecretBytes;

// private_pem: PKCS#8 (or SEC1) text of a key pair, in wiped memory.
SecretBytes private_pem(const RawKeyPair& key, bool sec1);
std::string public_pem(const Bytes& x, const Bytes& y);
// private_from_pem: a P-256 private key from PKCS#8 or SEC1 text;
// public_from_pem: a public key from SubjectPublicKeyInfo text.
RawKeyPair private_from_pem(const SecretBytes& pem);
RawKeyPair public_from_pem(const Bytes& pem);

}  // namespace cli

#endif  // RAWCRYPT_TOOLS_RAWCRYPT_PEM_H
