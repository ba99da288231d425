// Secrets in the module's frames. Wiped<T> holds one on the stack and wipes
// it when its scope ends, on every path. public_bit marks a truth value
// computed from a secret as public where it shows anyway (a refusal). It
// does nothing in the shipped object; the constant-time check builds the
// module with RAWCRYPT_CT_CHECK, where it tells valgrind that the value may
// decide branches from there on.
#ifndef RAWCRYPT_TARGET_SECRET_H
#define RAWCRYPT_TARGET_SECRET_H

#include "target/calls.h"
#include "target/compat.h"  // OPENSSL_cleanse

#ifdef RAWCRYPT_CT_CHECK
#include <valgrind/memcheck.h>
#endif

RAWCRYPT_SHORT_CALLS_BEGIN
namespace rawcrypt {

// Wiped<T>: a secret value on the stack (a key schedule, a vector, a block
// of plaintext), wiped with OPENSSL_cleanse before its frame returns.
template <typename T>
struct Wiped {
  T value;
  Wiped() = default;
  Wiped(const Wiped&) = delete;
  Wiped& operator=(const Wiped&) = delete;
  ~Wiped() { OPENSSL_cleanse(&value, sizeof value); }
};

// public_bit: a secret-derived truth value, declassified.
inline bool public_bit(bool b) {
#ifdef RAWCRYPT_CT_CHECK
  VALGRIND_MAKE_MEM_DEFINED(&b, sizeof b);
#endif
  return b;
}

#ifdef RAWCRYPT_CT_CHECK
// Switches of the constant-time check's build alone, each putting back a
// fault that the check must see.
namespace ct_check {
extern bool variable_time_inverse;  // the nonce inverted by BN_mod_inverse
}  // namespace ct_check
#endif

}  // namespace rawcrypt
RAWCRYPT_SHORT_CALLS_END

#endif  // RAWCRYPT_TARGET_SECRET_H
