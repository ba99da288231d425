// Base64 on x86-64: SSSE3 (16 characters a step) and AVX2 (32), chosen at
// run time. The CPU is asked with cpuid and xgetbv directly, so the module
// needs no run-time library for it. Validation is by range compares; decoding
// packs with multiply-adds; encoding looks the caller's alphabet up in four
// 16-byte registers, so no table lives in memory.
#include "helpers/base64.h"

#if defined(__x86_64__)
#include <immintrin.h>

namespace rawcrypt {
namespace base64 {
namespace {

#define RAWCRYPT_SSSE3 __attribute__((target("ssse3"), always_inline)) inline
#define RAWCRYPT_AVX2 __attribute__((target("avx2"), always_inline)) inline

void cpuid(uint32_t leaf, uint32_t sub, uint32_t r[4]) {
  __asm__ volatile("cpuid" : "=a"(r[0]), "=b"(r[1]), "=c"(r[2]), "=d"(r[3]) : "a"(leaf), "c"(sub));
}

bool has_ssse3() {
  uint32_t r[4];
  cpuid(1, 0, r);
  return (r[2] >> 9) & 1;
}

bool has_avx2() {
  uint32_t r[4];
  cpuid(0, 0, r);
  if (r[0] < 7) return false;
  cpuid(1, 0, r);
  const bool osxsave = (r[2] >> 27) & 1, avx = (r[2] >> 28) & 1;
  if (!osxsave || !avx) return false;
  uint32_t xcr0_low, xcr0_high;
  __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  if ((xcr0_low & 6) != 6) return false;  // the OS saves the vector registers
  cpuid(7, 0, r);
  return (r[1] >> 5) & 1;
}

// ---- SSSE3 ----

// indices_128: the 6-bit values of four groups whose bytes lie in 0-11.
// Each 32-bit lane gets b1 b0 b2 b1 of its group: its low half is then
// b0:b1 and its high half b1:b2, each big-endian, and the four values are
// bits 10-15 and 4-9 of the low half, 6-11 and 0-5 of the high one. A
// high multiply moves the first of each pair down to bits 0-5 of its half,
// a low multiply the second up to bits 8-13.
RAWCRYPT_SSSE3 __m128i indices_128(__m128i bytes) {
  const __m128i spread = _mm_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
  const __m128i l = _mm_shuffle_epi8(bytes, spread);
  const __m128i first = _mm_mulhi_epu16(_mm_and_si128(l, _mm_set1_epi32(0x0fc0fc00)),
                                        _mm_set1_epi32(0x04000040));  // >> 10, >> 6
  const __m128i second = _mm_mullo_epi16(_mm_and_si128(l, _mm_set1_epi32(0x003f03f0)),
                                         _mm_set1_epi32(0x01000010));  // << 4, << 8
  return _mm_or_si128(first, second);
}

struct Alphabet128 {
  __m128i part[4];  // characters 0-15, 16-31, 32-47, 48-63
};

// characters_128: each index (0-63) looked up in the alphabet's four parts.
RAWCRYPT_SSSE3 __m128i characters_128(__m128i idx, const Alphabet128& a) {
  const __m128i low = _mm_and_si128(idx, _mm_set1_epi8(0x0f));
  const __m128i part = _mm_and_si128(_mm_srli_epi16(idx, 4), _mm_set1_epi8(0x03));
  __m128i out = _mm_setzero_si128();
  for (int k = 0; k < 4; ++k) {
    const __m128i mine = _mm_cmpeq_epi8(part, _mm_set1_epi8(static_cast<char>(k)));
    out = _mm_or_si128(out, _mm_and_si128(mine, _mm_shuffle_epi8(a.part[k], low)));
  }
  return out;
}

RAWCRYPT_SSSE3 __m128i within_128(__m128i x, char lo, char hi) {
  return _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8(static_cast<char>(lo - 1))),
                       _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(hi + 1)), x));
}

// valid_128: 0xff where the character is in the standard alphabet, by range
// compares on signed bytes (characters of 0x80 and above are negative and
// fall in no range).
RAWCRYPT_SSSE3 __m128i valid_128(__m128i c) {
  const __m128i letters = _mm_or_si128(within_128(c, 'A', 'Z'), within_128(c, 'a', 'z'));
  const __m128i others = _mm_or_si128(_mm_cmpeq_epi8(c, _mm_set1_epi8('+')),
                                      _mm_cmpeq_epi8(c, _mm_set1_epi8('/')));
  return _mm_or_si128(letters, _mm_or_si128(within_128(c, '0', '9'), others));
}

// checked_values_128: the values of characters already found valid. The
// offset from character to value follows from the high four bits alone, but
// for '/' (0x2f), which shares them with '+': its compare (-1) moves it to
// an entry of its own. Entries: 1 '/', 2 '+', 3 digits, 4-5 'A'-'Z', 6-7 'a'-'z'.
RAWCRYPT_SSSE3 __m128i checked_values_128(__m128i c) {
  const __m128i offsets = _mm_setr_epi8(0, 63 - '/', 62 - '+', 52 - '0', -'A', -'A', 26 - 'a', 26 - 'a',
                                        0, 0, 0, 0, 0, 0, 0, 0);
  const __m128i high = _mm_and_si128(_mm_srli_epi16(c, 4), _mm_set1_epi8(0x0f));
  const __m128i entry = _mm_add_epi8(high, _mm_cmpeq_epi8(c, _mm_set1_epi8('/')));
  return _mm_add_epi8(c, _mm_shuffle_epi8(offsets, entry));
}

// pack_128: four groups of values into their 12 bytes, in bytes 0-11.
RAWCRYPT_SSSE3 __m128i pack_128(__m128i v) {
  // v0 * 64 + v1 and v2 * 64 + v3 in each half, then the halves as one
  // 24-bit number per lane; its bytes are then put big-endian and together.
  const __m128i pairs = _mm_maddubs_epi16(v, _mm_set1_epi32(0x01400140));
  const __m128i lanes = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
  return _mm_shuffle_epi8(lanes, _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
}

__attribute__((target("ssse3"))) size_t encode_ssse3(const unsigned char* in, size_t groups,
                                                     const char* alphabet, char* out) {
  Alphabet128 a;
  for (int k = 0; k < 4; ++k)
    a.part[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(alphabet + 16 * k));
  size_t g = 0;
  for (; g + 6 <= groups; g += 4) {  // a 16-byte load for 12 bytes: stay inside
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 3 * g));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * g), characters_128(indices_128(bytes), a));
  }
  return g;
}

__attribute__((target("ssse3"))) size_t scan_ssse3(const unsigned char* text, size_t length) {
  size_t i = 0;
  for (; i + 16 <= length; i += 16) {
    const __m128i valid = valid_128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i)));
    if (_mm_movemask_epi8(valid) != 0xffff) break;
  }
  return i;
}

__attribute__((target("ssse3"))) size_t decode_ssse3(const unsigned char* text, size_t groups,
                                                     unsigned char* out) {
  size_t g = 0;
  for (; g + 6 <= groups; g += 4) {  // a 16-byte store for 12 bytes: stay inside
    const __m128i v = checked_values_128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 4 * g)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * g), pack_128(v));
  }
  return g;
}

// ---- AVX2: the same steps on two 128-bit lanes ----

RAWCRYPT_AVX2 __m256i indices_256(__m256i bytes) {
  const __m256i spread = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10,
                                          1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
  const __m256i l = _mm256_shuffle_epi8(bytes, spread);
  const __m256i first = _mm256_mulhi_epu16(_mm256_and_si256(l, _mm256_set1_epi32(0x0fc0fc00)),
                                           _mm256_set1_epi32(0x04000040));
  const __m256i second = _mm256_mullo_epi16(_mm256_and_si256(l, _mm256_set1_epi32(0x003f03f0)),
                                            _mm256_set1_epi32(0x01000010));
  return _mm256_or_si256(first, second);
}

struct Alphabet256 {
  __m256i part[4];
};

// characters_256: four lookups by the low four bits of each index, then
// blends by its bit 4 and its bit 5, each moved up to bit 7 where the blend
// reads it (the shifts carry bits between bytes only below bit 3).
RAWCRYPT_AVX2 __m256i characters_256(__m256i idx, const Alphabet256& a) {
  const __m256i by_bit4 = _mm256_slli_epi16(idx, 3), by_bit5 = _mm256_slli_epi16(idx, 2);
  const __m256i low_half = _mm256_blendv_epi8(_mm256_shuffle_epi8(a.part[0], idx),
                                              _mm256_shuffle_epi8(a.part[1], idx), by_bit4);
  const __m256i high_half = _mm256_blendv_epi8(_mm256_shuffle_epi8(a.part[2], idx),
                                               _mm256_shuffle_epi8(a.part[3], idx), by_bit4);
  return _mm256_blendv_epi8(low_half, high_half, by_bit5);
}

RAWCRYPT_AVX2 __m256i within_256(__m256i x, char lo, char hi) {
  return _mm256_and_si256(_mm256_cmpgt_epi8(x, _mm256_set1_epi8(static_cast<char>(lo - 1))),
                          _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(hi + 1)), x));
}

RAWCRYPT_AVX2 __m256i valid_256(__m256i c) {
  const __m256i letters = _mm256_or_si256(within_256(c, 'A', 'Z'), within_256(c, 'a', 'z'));
  const __m256i others = _mm256_or_si256(_mm256_cmpeq_epi8(c, _mm256_set1_epi8('+')),
                                         _mm256_cmpeq_epi8(c, _mm256_set1_epi8('/')));
  return _mm256_or_si256(letters, _mm256_or_si256(within_256(c, '0', '9'), others));
}

RAWCRYPT_AVX2 __m256i checked_values_256(__m256i c) {
  const __m256i offsets = _mm256_broadcastsi128_si256(
      _mm_setr_epi8(0, 63 - '/', 62 - '+', 52 - '0', -'A', -'A', 26 - 'a', 26 - 'a', 0, 0, 0, 0, 0, 0, 0, 0));
  const __m256i high = _mm256_and_si256(_mm256_srli_epi16(c, 4), _mm256_set1_epi8(0x0f));
  const __m256i entry = _mm256_add_epi8(high, _mm256_cmpeq_epi8(c, _mm256_set1_epi8('/')));
  return _mm256_add_epi8(c, _mm256_shuffle_epi8(offsets, entry));
}

// pack_256: eight groups into 24 bytes, in bytes 0-23.
RAWCRYPT_AVX2 __m256i pack_256(__m256i v) {
  const __m256i pairs = _mm256_maddubs_epi16(v, _mm256_set1_epi32(0x01400140));
  const __m256i lanes = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
  const __m256i packed = _mm256_shuffle_epi8(
      lanes, _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,
                              2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
  return _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
}

// encode_8_groups: eight groups from two 16-byte loads, the low lane's at
// `low` and the high lane's at `high`, each holding its four groups from
// byte `skip` (0, or 4 for a load that ends where its groups end).
RAWCRYPT_AVX2 __m256i encode_8_groups(const unsigned char* low, const unsigned char* high, int skip,
                                      const Alphabet256& a) {
  const __m256i bytes = _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
  const __m256i shifted = skip == 0 ? bytes : _mm256_srli_si256(bytes, 4);
  return characters_256(indices_256(shifted), a);
}

__attribute__((target("avx2"))) size_t encode_avx2(const unsigned char* in, size_t groups,
                                                   const char* alphabet, char* out) {
  if (groups < 10) return 0;
  Alphabet256 a;
  for (int k = 0; k < 4; ++k)
    a.part[k] = _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(alphabet + 16 * k)));
  size_t g = 0;
  // Groups g to g+3 in the low lane and g+4 to g+7 in the high one; the
  // second load stays inside while 30 bytes remain.
  for (; g + 10 <= groups; g += 8) {
    const unsigned char* p = in + 3 * g;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * g), encode_8_groups(p, p + 12, 0, a));
  }
  // The last groups by loads that end where their groups end, writing some
  // characters again with the same values; nothing is read past the input.
  size_t ends[2], steps = 0;  // each step: groups end-8 to end-1, end >= 10
  if (groups - g == 9) ends[steps++] = g + 8;
  if (g < groups) ends[steps++] = groups;
  for (size_t i = 0; i < steps; ++i) {
    const unsigned char* p = in + 3 * (ends[i] - 8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * (ends[i] - 8)),
                        encode_8_groups(p - 4, p + 8, 4, a));
  }
  return groups;
}

__attribute__((target("avx2"))) size_t scan_avx2(const unsigned char* text, size_t length) {
  size_t i = 0;
  for (; i + 64 <= length; i += 64) {  // two registers a step, one test
    const __m256i valid_a = valid_256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i)));
    const __m256i valid_b = valid_256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i + 32)));
    if (_mm256_movemask_epi8(_mm256_and_si256(valid_a, valid_b)) != -1) break;
  }
  for (; i + 32 <= length; i += 32) {
    const __m256i valid = valid_256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i)));
    if (_mm256_movemask_epi8(valid) != -1) break;
  }
  return i;
}

__attribute__((target("avx2"))) size_t decode_avx2(const unsigned char* text, size_t groups,
                                                   unsigned char* out) {
  size_t g = 0;
  for (; g + 11 <= groups; g += 8) {  // a 32-byte store for 24 bytes: stay inside
    const __m256i v = checked_values_256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + 4 * g)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 3 * g), pack_256(v));
  }
  return g;
}

constexpr Kernels kSsse3Set = {has_ssse3, encode_ssse3, scan_ssse3, decode_ssse3};
constexpr Kernels kAvx2Set = {has_avx2, encode_avx2, scan_avx2, decode_avx2};

}  // namespace

const Kernels* const kSsse3Kernels = &kSsse3Set;
const Kernels* const kAvx2Kernels = &kAvx2Set;

}  // namespace base64
}  // namespace rawcrypt

#else

namespace rawcrypt {
namespace base64 {
const Kernels* const kSsse3Kernels = nullptr;
const Kernels* const kAvx2Kernels = nullptr;
}  // namespace base64
}  // namespace rawcrypt

#endif
