// Secrets in the module's frames. Wiped<T> holds one on the stack and wipes
// it when its scope ends, on every path. declassify marks a value computed from a
// secret as public once it may be seen: a rejected candidate, a refusal, a
// signature half. It does nothing in the shipped object; the constant-time
// check builds the module with RAWCRYPT_CT_CHECK, where it tells valgrind
// that the value may decide branches from there on.
#ifndef RAWCRYPT_TARGET_SECRET_H
#define RAWCRYPT_TARGET_SECRET_H

#include "target/compat.h"  // OPENSSL_cleanse

#include <stddef.h>

#ifdef RAWCRYPT_CT_CHECK
#include <valgrind/memcheck.h>
#endif

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

inline void declassify(const void* p, size_t size) {
#ifdef RAWCRYPT_CT_CHECK
  VALGRIND_MAKE_MEM_DEFINED(p, size);
#else
  (void)p;
  (void)size;
#endif
}

// public_bit: a secret-derived truth value, declassified.
inline bool public_bit(bool b) {
  declassify(&b, sizeof b);
  return b;
}

}  // namespace rawcrypt

#endif  // RAWCRYPT_TARGET_SECRET_H
