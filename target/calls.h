// Long calls (RAWCRYPT_LONG_CALLS, 32-bit ARM), for a loader that may place
// the module far from libcrypto: the module is compiled with -mlong-calls, so
// every call it makes goes through a register, the calls the compiler emits
// by itself included (memcpy for a struct copy, libgcc's helpers on soft
// float). The module's own code, between these two marks after a file's
// #includes, keeps its short BLs: a loader keeps the module's text together.
// Veneers added when the objects are joined would instead become the address
// of any libcrypto function the module takes, and cost each call a second
// branch. The marks set a type attribute, so a function that libcrypto calls
// by name (the RAND_poll exported for 1.0.2) stays outside them.
#ifndef RAWCRYPT_TARGET_CALLS_H
#define RAWCRYPT_TARGET_CALLS_H

#ifdef RAWCRYPT_LONG_CALLS
#define RAWCRYPT_SHORT_CALLS_BEGIN _Pragma("no_long_calls")
#define RAWCRYPT_SHORT_CALLS_END _Pragma("long_calls_off")
#else
#define RAWCRYPT_SHORT_CALLS_BEGIN
#define RAWCRYPT_SHORT_CALLS_END
#endif

#endif  // RAWCRYPT_TARGET_CALLS_H
