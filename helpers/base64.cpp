// Base64: the scalar path, the edges of every path (short inputs, the final
// partial group, the refusals and their lines) and the choice of path.
#include "helpers/base64.h"

#include <string.h>

#include <atomic>

#include "target/compat.h"  // OPENSSL_cleanse
#include "target/console.h"

RAWCRYPT_SHORT_CALLS_BEGIN
namespace rawcrypt {
namespace base64 {
namespace {

// The decode tables: constant data built at compile time.
constexpr int base64_value(int c) {
  return c >= 'A' && c <= 'Z'   ? c - 'A'
         : c >= 'a' && c <= 'z' ? c - 'a' + 26
         : c >= '0' && c <= '9' ? c - '0' + 52
         : c == '+'             ? 62
         : c == '/'             ? 63
                                : -1;  // '=' too: scanning stops there
}

constexpr uint32_t kOutside = 0x80000000u;

// place_bits: what a character of value v at place k (0-3) of a group gives
// to the group's three bytes, laid out least significant byte first, so that
// a group is four lookups ORed together and its bytes are the low three of
// the result.
constexpr uint32_t place_bits(int k, uint32_t v) {
  return k == 0   ? v << 2                                   // byte 0, bits 7-2
         : k == 1 ? v >> 4 | (v & 0x0f) << 12                // byte 0, bits 1-0; byte 1, bits 7-4
         : k == 2 ? (v >> 2) << 8 | (v & 0x03) << 22         // byte 1, bits 3-0; byte 2, bits 7-6
                  : v << 16;                                 // byte 2, bits 5-0
}

// A character outside the alphabet ('=' included) gives kOutside instead.
struct Place {
  uint32_t bits[256];
};

constexpr Place make_place(int k) {
  Place t{};
  for (int c = 0; c < 256; ++c)
    t.bits[c] = base64_value(c) < 0 ? kOutside : place_bits(k, static_cast<uint32_t>(base64_value(c)));
  return t;
}

// Four objects, not one array: each gets its own base register, where an
// offset into one array would cost an addition per lookup.
constexpr Place kPlace0 = make_place(0), kPlace1 = make_place(1), kPlace2 = make_place(2),
                kPlace3 = make_place(3);

// One bit per pair of characters (the first | the second << 8 as a 16-bit
// number), set unless both are in the alphabet: a pair is checked with one
// load, one byte lookup and a shift. The table is symmetric, so the byte
// order of the load does not matter.
struct PairBits {
  unsigned char outside[65536 / 8];
};

constexpr PairBits make_pair_bits() {
  unsigned char row[32] = {};  // bit c: c is outside
  for (int c = 0; c < 256; ++c)
    if (base64_value(c) < 0) row[c >> 3] = static_cast<unsigned char>(row[c >> 3] | 1 << (c & 7));
  PairBits t{};
  for (int second = 0; second < 256; ++second)
    for (int i = 0; i < 32; ++i) t.outside[32 * second + i] = base64_value(second) < 0 ? 0xff : row[i];
  return t;
}

constexpr PairBits kPairBits = make_pair_bits();

// The scalar loops are the tails of the vector paths and the whole of short
// texts: vectorised by the compiler (-O3) they gain nothing and spill a
// frame of vector registers onto a task's small stack.
#if defined(__GNUC__) && !defined(__clang__)
#define RAWCRYPT_NOT_VECTORISED __attribute__((optimize("no-tree-loop-vectorize")))
#else
#define RAWCRYPT_NOT_VECTORISED
#endif

// The small steps of the loops below: inlined in every build, -Os included,
// where a call each would cost more than the step.
#define RAWCRYPT_STEP __attribute__((always_inline)) inline

const Kernels* kernels_of(Path path) {
  switch (path) {
    case kSsse3: return kSsse3Kernels;
    case kAvx2: return kAvx2Kernels;
    case kNeon: return kNeonKernels;
    default: return nullptr;
  }
}

// Whole words from unaligned addresses (single loads and stores where the
// CPU allows them).
RAWCRYPT_STEP uint32_t load_big_endian(const unsigned char* p) {
  uint32_t w;
  memcpy(&w, p, sizeof w);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  w = __builtin_bswap32(w);
#endif
  return w;
}

RAWCRYPT_STEP void store_little_endian(unsigned char* p, uint32_t w) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  w = __builtin_bswap32(w);
#endif
  memcpy(p, &w, sizeof w);
}

// put_group: the four characters of the 24 bits v. The stores may alias the
// alphabet, so all four are looked up first.
RAWCRYPT_STEP void put_group(char* out, const char* alphabet, uint32_t v) {
  const char c0 = alphabet[(v >> 18) & 0x3f], c1 = alphabet[(v >> 12) & 0x3f],
             c2 = alphabet[(v >> 6) & 0x3f], c3 = alphabet[v & 0x3f];
  out[0] = c0;
  out[1] = c1;
  out[2] = c2;
  out[3] = c3;
}

// The scalar encoder: four groups a step from four word loads, three that
// hold their group in the top three bytes and a last that holds it in the
// bottom three, so nothing past the step's twelve bytes is read. The stores
// may alias the input, so the step's words are loaded before anything is
// written.
RAWCRYPT_NOT_VECTORISED void encode_groups(const unsigned char* in, size_t groups, const char* alphabet, char* out) {
  if (groups == 0) return;  // what a vector path leaves is often nothing
  for (; groups >= 4; groups -= 4, in += 12, out += 16) {
    const uint32_t a = load_big_endian(in), b = load_big_endian(in + 3), c = load_big_endian(in + 6),
                   d = load_big_endian(in + 8);
    put_group(out, alphabet, a >> 8);
    put_group(out + 4, alphabet, b >> 8);
    put_group(out + 8, alphabet, c >> 8);
    put_group(out + 12, alphabet, d);
  }
  for (; groups > 0; --groups, in += 3, out += 4)
    put_group(out, alphabet, uint32_t{in[0]} << 16 | uint32_t{in[1]} << 8 | in[2]);
}

RAWCRYPT_STEP bool outside(unsigned char c) { return kPlace0.bits[c] & kOutside; }

// pair_outside: bit 0 set when either of the two characters is outside.
RAWCRYPT_STEP unsigned pair_outside(const unsigned char* t) {
  uint16_t pair;
  memcpy(&pair, t, sizeof pair);
  return kPairBits.outside[pair >> 3] >> (pair & 7);
}

// sixteen_outside: bit 0 set when any of sixteen characters is outside.
RAWCRYPT_STEP unsigned sixteen_outside(const unsigned char* t) {
  return pair_outside(t) | pair_outside(t + 2) | pair_outside(t + 4) | pair_outside(t + 6) |
         pair_outside(t + 8) | pair_outside(t + 10) | pair_outside(t + 12) | pair_outside(t + 14);
}

// Counts the characters before the first that is not in the standard
// alphabet: sixteen a step while all are, then by pairs, then the last pair
// by characters.
RAWCRYPT_NOT_VECTORISED size_t scan_scalar(const unsigned char* text, size_t length) {
  if (length == 0) return 0;  // what a vector path leaves is often nothing
  const unsigned char* t = text;
  for (size_t steps = length / 16; steps > 0; --steps, t += 16)
    if (sixteen_outside(t) & 1) break;
  const unsigned char* const end = text + length;
  while (end - t >= 2 && !(pair_outside(t) & 1)) t += 2;
  while (t < end && !outside(*t)) ++t;
  return static_cast<size_t>(t - text);
}

// group_bits: the group's three bytes, least significant first, and kOutside
// if a character is not in the alphabet.
RAWCRYPT_STEP uint32_t group_bits(const unsigned char* t) {
  return kPlace0.bits[t[0]] | kPlace1.bits[t[1]] | kPlace2.bits[t[2]] | kPlace3.bits[t[3]];
}

// decode_four: four groups into their 12 bytes, each group stored as a word
// whose fourth byte the next overwrites (so a 13th byte is written too);
// returns their bits ORed together, kOutside among them if a character was
// outside.
RAWCRYPT_STEP uint32_t decode_four(const unsigned char* text, unsigned char* out) {
  const uint32_t a = group_bits(text), b = group_bits(text + 4), c = group_bits(text + 8),
                 d = group_bits(text + 12);
  store_little_endian(out, a);
  store_little_endian(out + 3, b);
  store_little_endian(out + 6, c);
  store_little_endian(out + 9, d);
  return a | b | c | d;
}

// Groups already scanned, four a step while more follow; the last by bytes,
// so nothing past 3 * groups is written.
RAWCRYPT_NOT_VECTORISED void decode_groups(const unsigned char* text, size_t groups, unsigned char* out) {
  if (groups == 0) return;
  for (; groups > 4; groups -= 4, text += 16, out += 12) decode_four(text, out);
  for (; groups > 1; --groups, text += 4, out += 3) store_little_endian(out, group_bits(text));
  const uint32_t v = group_bits(text);
  out[0] = static_cast<unsigned char>(v);
  out[1] = static_cast<unsigned char>(v >> 8);
  out[2] = static_cast<unsigned char>(v >> 16);
}

// Below these sizes a vector path's set-up costs more than it saves.
constexpr int32_t kVectorEncodeFrom = 24;
constexpr size_t kVectorDecodeFrom = 32;

// A short text decodes in one pass into a buffer on the stack whose bytes
// reach the caller only once every character has passed.
constexpr size_t kShortText = 256;

// decode_short: the whole decoding of a short text whose groups are plain
// Base64 but for '=' padding in the last; false (nothing written) for any
// other text, which takes the general path with its checks and lines. Kept
// out of line, so that its buffer is on the stack only while it runs, never
// under a vector path's frame.
__attribute__((noinline)) RAWCRYPT_NOT_VECTORISED bool decode_short(const unsigned char* text, size_t length,
                                                                    int32_t* output_length, unsigned char* output) {
  if (length == 0) return true;  // an empty text may come with no buffer
  unsigned char buffer[kShortText / 4 * 3 + 1];  // each group is stored as a word
  unsigned char* next = buffer;
  const unsigned char* const end = text + length;
  for (const unsigned char* const steps_end = text + length / 16 * 16; text != steps_end; text += 16, next += 12)
    if (decode_four(text, next) & kOutside) break;  // that step again, a group at a time
  for (; text != end; text += 4, next += 3) {
    const uint32_t v = group_bits(text);
    store_little_endian(next, v);
    if (v & kOutside) break;
  }
  // Whole when no group had a character outside, or only the last, as
  // "xx=?" or "xxx=".
  size_t written = static_cast<size_t>(next - buffer);
  bool whole = text == end;
  if (end - text == 4 && !outside(text[0]) && !outside(text[1])) {
    if (text[2] == '=') {  // what follows '=' only counts towards the length
      written += 1;
      whole = true;
    } else if (!outside(text[2]) && text[3] == '=') {
      written += 2;
      whole = true;
    }
  }
  if (whole) {
    memcpy(output, buffer, written);
    *output_length = static_cast<int32_t>(written);
  }
  // A decoded key or secret must not linger. Past the bytes of the groups
  // lies at most the top byte of the last group's word: 0, or kOutside's.
  OPENSSL_cleanse(buffer, length / 4 * 3);
  return whole;
}

std::atomic<int> chosen{-1};  // the best path, once the CPU has been asked

}  // namespace

bool available(Path path) {
  if (path == kScalar) return true;
  const Kernels* k = kernels_of(path);
  return k != nullptr && k->supported();
}

Path best() {
  int path = chosen.load(std::memory_order_relaxed);
  if (path < 0) {  // every task that races here finds the same answer
    path = kScalar;
    for (int p = kScalar + 1; p < kPathCount; ++p)  // later paths are faster
      if (available(static_cast<Path>(p))) path = p;
    chosen.store(path, std::memory_order_relaxed);
  }
  return static_cast<Path>(path);
}

void encode(Path path, const unsigned char* input, int32_t length, const char* alphabet,
            char* output) {
  if (input == nullptr) return;
  if (length <= 0) {
    output[0] = '\0';
    return;
  }
  const size_t groups = static_cast<size_t>(length) / 3;
  size_t done = 0;
  const Kernels* k = length >= kVectorEncodeFrom ? kernels_of(path) : nullptr;
  if (k != nullptr) done = k->encode(input, groups, alphabet, output);
  encode_groups(input + 3 * done, groups - done, alphabet, output + 4 * done);
  const unsigned char* in = input + 3 * groups;
  char* out = output + 4 * groups;
  switch (length % 3) {
    case 1:
      *out++ = alphabet[in[0] >> 2];
      *out++ = alphabet[(in[0] & 0x03) << 4];
      *out++ = '=';
      *out++ = '=';
      break;
    case 2:
      *out++ = alphabet[in[0] >> 2];
      *out++ = alphabet[((in[0] & 0x03) << 4) | (in[1] >> 4)];
      *out++ = alphabet[(in[1] & 0x0f) << 2];
      *out++ = '=';
      break;
  }
  *out = '\0';
}

int decode(Path path, const char* text, int32_t* output_length, unsigned char* output) {
  const size_t length = strlen(text);
  if (length % 4 != 0) {
    say(Line::kNotBase64, text);
    return -1;
  }
  *output_length = 0;
  const auto* chars = reinterpret_cast<const unsigned char*>(text);
  const Kernels* k = length >= kVectorDecodeFrom ? kernels_of(path) : nullptr;
  if (k == nullptr && length <= kShortText && decode_short(chars, length, output_length, output))
    return 0;
  // Every character is checked before the first byte is written.
  size_t scanned = k != nullptr ? k->scan(chars, length) : 0;
  scanned += scan_scalar(chars + scanned, length - scanned);
  if (scanned != length && chars[scanned] != '=') {
    say(Line::kNotBase64, text);
    return -1;
  }
  const size_t groups = scanned / 4;
  size_t done = k != nullptr ? k->decode(chars, groups, output) : 0;
  decode_groups(chars + 4 * done, groups - done, output + 3 * done);
  *output_length = static_cast<int32_t>(3 * groups);
  const unsigned char* c = chars + 4 * groups;
  unsigned char* out = output + 3 * groups;
  switch (scanned % 4) {
    case 1:
      say(Line::kLoneCharacter, text);
      return -1;
    case 2:
    case 3: {  // the one or two bytes before '='; a '=' at c[2] adds only kOutside
      const uint32_t v = kPlace0.bits[c[0]] | kPlace1.bits[c[1]] | kPlace2.bits[c[2]];
      out[0] = static_cast<unsigned char>(v);
      if (scanned % 4 == 3) out[1] = static_cast<unsigned char>(v >> 8);
      *output_length += static_cast<int32_t>(scanned % 4 - 1);
    }
  }
  return 0;
}

}  // namespace base64
}  // namespace rawcrypt
RAWCRYPT_SHORT_CALLS_END
