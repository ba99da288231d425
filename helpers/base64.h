// The Base64 codec behind base64_encode and base64_decode: one scalar path
// that every CPU runs, and vector paths chosen by what the CPU offers. Each
// path gives exactly the same bytes, lines and results; the tests and the
// fuzzers run them all. Nothing here is secret-safe: the text's characters
// decide branches and table indexes (see encrypt.h).
#ifndef RAWCRYPT_HELPERS_BASE64_H
#define RAWCRYPT_HELPERS_BASE64_H

#include <stddef.h>
#include <stdint.h>

#include "target/calls.h"

RAWCRYPT_SHORT_CALLS_BEGIN
namespace rawcrypt {
namespace base64 {

enum Path : int {
  kScalar = 0,
  kSsse3,  // x86-64, chosen at run time through cpuid
  kAvx2,   // x86-64, likewise
  kNeon,   // AArch64 always; 32-bit ARM when the build enables NEON
  kPathCount,
};

// available: whether this build and this CPU can run the path.
bool available(Path path);

// best: the fastest available path (the CPU is asked once).
Path best();

// encode / decode: the helpers' whole contract (encrypt.h), on one path.
void encode(Path path, const unsigned char* input, int32_t length, const char* alphabet,
            char* output);
int decode(Path path, const char* text, int32_t* output_length, unsigned char* output);

// A vector path's bulk work; the scalar code does the rest. Each returns how
// much it did from the start, in whole steps, never reading or writing past
// the sizes it is given.
struct Kernels {
  // supported: whether this CPU runs them.
  bool (*supported)();
  // encode: up to `groups` 3-byte groups into 4 characters each.
  size_t (*encode)(const unsigned char* in, size_t groups, const char* alphabet, char* out);
  // scan: characters of the standard alphabet from the start; stops at (or
  // before) the first other character, '=' included.
  size_t (*scan)(const unsigned char* text, size_t length);
  // decode: up to `groups` 4-character groups, already scanned, into 3 bytes each.
  size_t (*decode)(const unsigned char* text, size_t groups, unsigned char* out);
};

// The kernels of each vector path, where this build has it (else null).
extern const Kernels* const kSsse3Kernels;
extern const Kernels* const kAvx2Kernels;
extern const Kernels* const kNeonKernels;

}  // namespace base64
}  // namespace rawcrypt
RAWCRYPT_SHORT_CALLS_END

#endif  // RAWCRYPT_HELPERS_BASE64_H
