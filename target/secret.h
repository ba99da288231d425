// Secrets in the module's frames. declassify marks a value computed from a
// secret as public once it may be seen: a rejected candidate, a refusal, a
// signature half. It does nothing in the shipped object; the constant-time
// check builds the module with RAWCRYPT_CT_CHECK, where it tells valgrind
// that the value may decide branches from there on.
#ifndef RAWCRYPT_TARGET_SECRET_H
#define RAWCRYPT_TARGET_SECRET_H

#include <stddef.h>

#ifdef RAWCRYPT_CT_CHECK
#include <valgrind/memcheck.h>
#endif

namespace rawcrypt {

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
