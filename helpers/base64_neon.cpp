// Base64 on ARM NEON: 48 bytes or 64 characters a step, the groups
// de-interleaved by the structure loads (vld3/vld4) and put back by the
// structure stores. AArch64 always has NEON; 32-bit ARM only when the build
// enables it (-mfpu=neon), since Debian's armhf baseline does not.
#include "helpers/base64.h"

#if defined(__ARM_NEON) || defined(__ARM_NEON__)
#include <arm_neon.h>

RAWCRYPT_SHORT_CALLS_BEGIN
namespace rawcrypt {
namespace base64 {
namespace {

bool always() { return true; }

// lookup: each index (0-63) in the caller's 64-character alphabet.
#if defined(__aarch64__)
struct Alphabet {
  uint8x16x4_t table;
};
inline Alphabet load_alphabet(const char* alphabet) {
  return {vld1q_u8_x4(reinterpret_cast<const uint8_t*>(alphabet))};
}
inline uint8x16_t lookup(const Alphabet& a, uint8x16_t idx) { return vqtbl4q_u8(a.table, idx); }
#else
// 32-bit ARM looks up 32 entries at most: the low half with vtbl, the high
// half over it with vtbx, which leaves lanes whose index is out of its range.
struct Alphabet {
  uint8x8x4_t low, high;
};
inline Alphabet load_alphabet(const char* alphabet) {
  const auto* p = reinterpret_cast<const uint8_t*>(alphabet);
  Alphabet a;
  for (int k = 0; k < 4; ++k) {
    a.low.val[k] = vld1_u8(p + 8 * k);
    a.high.val[k] = vld1_u8(p + 32 + 8 * k);
  }
  return a;
}
inline uint8x8_t lookup_half(const Alphabet& a, uint8x8_t idx) {
  return vtbx4_u8(vtbl4_u8(a.low, idx), a.high, vsub_u8(idx, vdup_n_u8(32)));
}
inline uint8x16_t lookup(const Alphabet& a, uint8x16_t idx) {
  return vcombine_u8(lookup_half(a, vget_low_u8(idx)), lookup_half(a, vget_high_u8(idx)));
}
#endif

// all_set: whether every lane is 0xff.
inline bool all_set(uint8x16_t m) {
#if defined(__aarch64__)
  return vminvq_u8(m) == 0xff;
#else
  uint8x8_t r = vpmin_u8(vget_low_u8(m), vget_high_u8(m));
  r = vpmin_u8(r, r);
  r = vpmin_u8(r, r);
  r = vpmin_u8(r, r);
  return vget_lane_u8(r, 0) == 0xff;
#endif
}

size_t encode_neon(const unsigned char* in, size_t groups, const char* alphabet, char* out) {
  const Alphabet a = load_alphabet(alphabet);
  const uint8x16_t six = vdupq_n_u8(0x3f);
  size_t g = 0;
  for (; g + 16 <= groups; g += 16) {
    const uint8x16x3_t b = vld3q_u8(in + 3 * g);  // byte k of 16 groups in b.val[k]
    uint8x16x4_t c;
    c.val[0] = lookup(a, vshrq_n_u8(b.val[0], 2));
    c.val[1] = lookup(a, vandq_u8(vorrq_u8(vshlq_n_u8(b.val[0], 4), vshrq_n_u8(b.val[1], 4)), six));
    c.val[2] = lookup(a, vandq_u8(vorrq_u8(vshlq_n_u8(b.val[1], 2), vshrq_n_u8(b.val[2], 6)), six));
    c.val[3] = lookup(a, vandq_u8(b.val[2], six));
    vst4q_u8(reinterpret_cast<uint8_t*>(out + 4 * g), c);
  }
  return g;
}

// values: the 6-bit values of 16 characters; valid gets 0xff where the
// character is Base64. Unsigned: c - lo < count holds exactly for lo..lo+count-1.
inline uint8x16_t values(uint8x16_t c, uint8x16_t* valid) {
  const uint8x16_t upper = vcltq_u8(vsubq_u8(c, vdupq_n_u8('A')), vdupq_n_u8(26));
  const uint8x16_t lower = vcltq_u8(vsubq_u8(c, vdupq_n_u8('a')), vdupq_n_u8(26));
  const uint8x16_t digit = vcltq_u8(vsubq_u8(c, vdupq_n_u8('0')), vdupq_n_u8(10));
  const uint8x16_t plus = vceqq_u8(c, vdupq_n_u8('+'));
  const uint8x16_t slash = vceqq_u8(c, vdupq_n_u8('/'));
  *valid = vorrq_u8(vorrq_u8(upper, lower), vorrq_u8(vorrq_u8(digit, plus), slash));
  const uint8x16_t offset = vorrq_u8(
      vorrq_u8(vandq_u8(upper, vdupq_n_u8(static_cast<uint8_t>(-'A'))),
               vandq_u8(lower, vdupq_n_u8(static_cast<uint8_t>(26 - 'a')))),
      vorrq_u8(vandq_u8(digit, vdupq_n_u8(static_cast<uint8_t>(52 - '0'))),
               vorrq_u8(vandq_u8(plus, vdupq_n_u8(static_cast<uint8_t>(62 - '+'))),
                        vandq_u8(slash, vdupq_n_u8(static_cast<uint8_t>(63 - '/'))))));
  return vaddq_u8(c, offset);
}

size_t scan_neon(const unsigned char* text, size_t length) {
  size_t i = 0;
  for (; i + 64 <= length; i += 64) {
    uint8x16_t v0, v1, v2, v3;
    values(vld1q_u8(text + i), &v0);
    values(vld1q_u8(text + i + 16), &v1);
    values(vld1q_u8(text + i + 32), &v2);
    values(vld1q_u8(text + i + 48), &v3);
    if (!all_set(vandq_u8(vandq_u8(v0, v1), vandq_u8(v2, v3)))) break;
  }
  return i;
}

size_t decode_neon(const unsigned char* text, size_t groups, unsigned char* out) {
  size_t g = 0;
  for (; g + 16 <= groups; g += 16) {
    const uint8x16x4_t c = vld4q_u8(text + 4 * g);  // character k of 16 groups in c.val[k]
    uint8x16_t valid;
    const uint8x16_t v0 = values(c.val[0], &valid), v1 = values(c.val[1], &valid);
    const uint8x16_t v2 = values(c.val[2], &valid), v3 = values(c.val[3], &valid);
    uint8x16x3_t b;
    b.val[0] = vorrq_u8(vshlq_n_u8(v0, 2), vshrq_n_u8(v1, 4));
    b.val[1] = vorrq_u8(vshlq_n_u8(v1, 4), vshrq_n_u8(v2, 2));
    b.val[2] = vorrq_u8(vshlq_n_u8(v2, 6), v3);
    vst3q_u8(out + 3 * g, b);
  }
  return g;
}

constexpr Kernels kNeonSet = {always, encode_neon, scan_neon, decode_neon};

}  // namespace

const Kernels* const kNeonKernels = &kNeonSet;

}  // namespace base64
}  // namespace rawcrypt
RAWCRYPT_SHORT_CALLS_END

#else

namespace rawcrypt {
namespace base64 {
const Kernels* const kNeonKernels = nullptr;
}  // namespace base64
}  // namespace rawcrypt

#endif
