// The hedged nonce of a signature: k derived with RFC 6979's HMAC-DRBG
// (SHA-256) from the private scalar and the digest, with the generator's
// draw as the additional data k'. A working generator keeps two signatures
// of one message apart; a stuck or guessable one no longer exposes k.
#ifndef RAWCRYPT_TARGET_NONCE_H
#define RAWCRYPT_TARGET_NONCE_H

#include "target/calls.h"
#include "target/compat.h"

RAWCRYPT_SHORT_CALLS_BEGIN
namespace rawcrypt {

// derive_nonce: k in [1, order) from the DRBG seeded with int2octets(priv) ||
// bits2octets(digest) || int2octets(extra); extra null gives the plain
// deterministic nonce of RFC 6979. Orders of up to 528 bits.
// Returns 1, or 0 (k unspecified) when a number could not be made.
int derive_nonce(BIGNUM* k, const BIGNUM* order, const BIGNUM* priv, const unsigned char* digest,
                 int digest_len, const BIGNUM* extra, BN_CTX* ctx);

}  // namespace rawcrypt
RAWCRYPT_SHORT_CALLS_END

#endif  // RAWCRYPT_TARGET_NONCE_H
