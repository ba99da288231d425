// The module's random generator: libcrypto's default generator as the target
// sees it, seeded by the module's own entropy poll. Requests of the road of a
// signature that reach the library's default method are served here, with
// the generator's lines; the bytes themselves come from libcrypto. A method
// the application installed itself is used as it is.
//
// Against 1.0.2 the library's generator keeps the accounting (initialized,
// entropy) and calls the module's poll itself, through the RAND_poll the
// module exports: the system's first request polls, wherever it comes from.
// Against 1.1 and later, whose generators never call that symbol, the module
// keeps the accounting and polls at the first request of its own road.
#ifndef RAWCRYPT_TARGET_GENERATOR_H
#define RAWCRYPT_TARGET_GENERATOR_H

#include "target/calls.h"
#include "target/compat.h"

RAWCRYPT_SHORT_CALLS_BEGIN
namespace rawcrypt {

// The entropy, in bytes, from which the generator counts itself seeded.
constexpr double kEntropyNeeded = 32.0;

// RAND_bytes: num random bytes into buf. Returns 1; 0 when the generator is
// not seeded (buf is still filled; "else\n" and the library's not-seeded
// error); -1 when there is no current method or it has no byte operation
// ("meth = %p, bytes = %p\n"). num <= 0 returns 1 at once.
int RAND_bytes(unsigned char* buf, int num);

// RAND_pseudo_bytes: as RAND_bytes; an unseeded request prints "pseudo\n"
// and records no error.
int RAND_pseudo_bytes(unsigned char* buf, int num);

// RAND_add: mixes num bytes of buf into the generator, crediting `entropy`
// bytes of entropy while the generator holds less than it needs.
void RAND_add(const void* buf, int num, double entropy);

// RAND_seed: RAND_add crediting every byte.
void RAND_seed(const void* buf, int num);

// RAND_status: 1 when the generator is seeded (polling first if it has not
// been polled yet), else 0.
int RAND_status();

// RAND_cleanup: forgets the seeding, so that the next request polls again.
void RAND_cleanup();

// RAND_poll: the target's entropy poll (calendar time, the C library's rand,
// 32 bytes credited as 32). Returns 1. Against 1.0.2 the module also exports
// it as the global, C-linkage RAND_poll that the library's generator calls.
int RAND_poll();

// generator_polls: how many times the poll has run (tests count polls with
// it).
unsigned generator_polls();

// library_polls: how many of those runs the library's generator asked for
// through the exported RAND_poll (1.0.2; the road reads it to tell whether
// the library's generator calls the module's poll).
unsigned library_polls();

}  // namespace rawcrypt
RAWCRYPT_SHORT_CALLS_END

#endif  // RAWCRYPT_TARGET_GENERATOR_H
