// The road of a signature inside the module: the signing operation over
// libcrypto's big-number and EC primitives, each step a call whose failure
// it sees and names with one console line, innermost first.
#ifndef RAWCRYPT_TARGET_ECDSA_SIGN_H
#define RAWCRYPT_TARGET_ECDSA_SIGN_H

#include "target/calls.h"
#include "target/compat.h"

RAWCRYPT_SHORT_CALLS_BEGIN
namespace rawcrypt {

// ECDSA_do_sign: signs a digest of dgst_len bytes with key's private scalar.
// Returns a new signature object, or null after the lines of the failed steps.
ECDSA_SIG* ECDSA_do_sign(const unsigned char* dgst, int dgst_len, EC_KEY* key);

// ECDSA_do_sign_ex: as ECDSA_do_sign, with an optional precomputed inverse
// nonce and r (both or neither). Null key: "ecdsa check filed\n"; a failed
// signing operation: "ecdsa do sign failed\n".
ECDSA_SIG* ECDSA_do_sign_ex(const unsigned char* dgst, int dgst_len, const BIGNUM* kinv,
                            const BIGNUM* r, EC_KEY* key);

// ECDSA_sign / ECDSA_sign_ex: the signature DER-encoded into sig (at most
// ECDSA_size(key) bytes) and its length into siglen; the digest is first fed
// to the generator. Returns 1, or 0 with siglen 0. type is ignored.
int ECDSA_sign(int type, const unsigned char* dgst, int dgst_len, unsigned char* sig,
               unsigned int* siglen, EC_KEY* key);
int ECDSA_sign_ex(int type, const unsigned char* dgst, int dgst_len, unsigned char* sig,
                  unsigned int* siglen, const BIGNUM* kinv, const BIGNUM* r, EC_KEY* key);

// ecdsa_do_sign: the signing operation. Returns a new signature, or null
// after its line ("para error\n" ... "in_kinv != NULL\n").
ECDSA_SIG* ecdsa_do_sign(const unsigned char* dgst, int dgst_len, const BIGNUM* in_kinv,
                         const BIGNUM* in_r, EC_KEY* key);

// ECDSA_sign_setup: a fresh nonce's inverse into *kinvp and its r into *rp,
// replacing (and freeing) what they held. ctx may be null. Returns 1 or 0.
int ECDSA_sign_setup(EC_KEY* key, BN_CTX* ctx, BIGNUM** kinvp, BIGNUM** rp);

// ecdsa_sign_setup: the setup. With a digest, the drawn nonce is hedged
// (derived from the key, the digest and the draw); without, it is the draw.
// Returns 1, or 0 after its line ("eckey failed\n" ... "bn mod inverse failed\n").
int ecdsa_sign_setup(EC_KEY* key, BN_CTX* ctx, BIGNUM** kinvp, BIGNUM** rp,
                     const unsigned char* dgst, int dgst_len);

}  // namespace rawcrypt
RAWCRYPT_SHORT_CALLS_END

#endif  // RAWCRYPT_TARGET_ECDSA_SIGN_H
