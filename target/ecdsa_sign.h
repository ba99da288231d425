// The road of a signature inside the module: the signing operation and the
// random draws under it, each step printing its console line on failure.
#ifndef RAWCRYPT_TARGET_ECDSA_SIGN_H
#define RAWCRYPT_TARGET_ECDSA_SIGN_H

#include "target/compat.h"

namespace rawcrypt {

// ECDSA_do_sign: signs a digest of dgst_len bytes with key's private scalar.
// Returns a new signature object, or null after the lines of the failed steps.
ECDSA_SIG* ECDSA_do_sign(const unsigned char* dgst, int dgst_len, EC_KEY* key);

}  // namespace rawcrypt

#endif  // RAWCRYPT_TARGET_ECDSA_SIGN_H
