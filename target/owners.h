// Owners for libcrypto objects: each failure path of a helper is one line
// (print, return) and the owners release what was acquired on the way.
#ifndef RAWCRYPT_TARGET_OWNERS_H
#define RAWCRYPT_TARGET_OWNERS_H

#include "target/calls.h"
#include "target/compat.h"

#include <memory>

RAWCRYPT_SHORT_CALLS_BEGIN
namespace rawcrypt {

template <typename T>
struct Deleter;

#define RAWCRYPT_DELETER(type, free_fn) \
  template <>                           \
  struct Deleter<type> {                \
    void operator()(type* p) const { free_fn(p); } \
  }

RAWCRYPT_DELETER(BIGNUM, BN_free);
RAWCRYPT_DELETER(BN_CTX, BN_CTX_free);
RAWCRYPT_DELETER(EC_GROUP, EC_GROUP_free);
RAWCRYPT_DELETER(EC_KEY, EC_KEY_free);
RAWCRYPT_DELETER(EC_POINT, EC_POINT_free);
RAWCRYPT_DELETER(ECDSA_SIG, ECDSA_SIG_free);
RAWCRYPT_DELETER(EVP_CIPHER_CTX, EVP_CIPHER_CTX_free);
RAWCRYPT_DELETER(EVP_PKEY, EVP_PKEY_free);
#undef RAWCRYPT_DELETER

// Owned<T>: sole owner of a libcrypto object, freed with that type's free.
template <typename T>
using Owned = std::unique_ptr<T, Deleter<T>>;

struct SecretBnDeleter {
  void operator()(BIGNUM* p) const { BN_clear_free(p); }
};

// SecretBn: a number that holds a secret (private scalar, nonce, its
// inverse); its digits are wiped before the memory goes back to the heap.
using SecretBn = std::unique_ptr<BIGNUM, SecretBnDeleter>;

}  // namespace rawcrypt
RAWCRYPT_SHORT_CALLS_END

#endif  // RAWCRYPT_TARGET_OWNERS_H
