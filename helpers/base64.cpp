// Base64: the scalar path, the edges of every path (short inputs, the final
// partial group, the refusals and their lines) and the choice of path.
#include "helpers/base64.h"

#include <string.h>

#include <atomic>

#include "target/console.h"
#include "target/secret.h"

RAWCRYPT_SHORT_CALLS_BEGIN
namespace rawcrypt {
namespace base64 {
namespace {

// The decode tables: constant data built at compile time.
constexpr unsigned char kNotBase64 = 0xff;

constexpr unsigned char base64_value(int c) {
  return c >= 'A' && c <= 'Z'   ? c - 'A'
         : c >= 'a' && c <= 'z' ? c - 'a' + 26
         : c >= '0' && c <= '9' ? c - '0' + 52
         : c == '+'             ? 62
         : c == '/'             ? 63
                                : kNotBase64;  // '=' too: scanning stops there
}

constexpr uint32_t kOutside = 0x80000000u;

struct DecodeTables {
  unsigned char value[256];
  // value << 18, << 12, << 6, << 0, so a group is four lookups ORed together;
  // a character outside the alphabet ('=' included) sets kOutside instead.
  uint32_t shifted[4][256];
};

constexpr DecodeTables make_decode_tables() {
  DecodeTables t{};
  for (int c = 0; c < 256; ++c) {
    t.value[c] = base64_value(c);
    for (int k = 0; k < 4; ++k)
      t.shifted[k][c] = t.value[c] == kNotBase64 ? kOutside : uint32_t{t.value[c]} << (18 - 6 * k);
  }
  return t;
}

constexpr DecodeTables kDecode = make_decode_tables();

// The scalar loops are the tails of the vector paths and the whole of short
// texts: vectorised by the compiler (-O3) they gain nothing and spill a
// frame of vector registers onto a task's small stack.
#if defined(__GNUC__) && !defined(__clang__)
#define RAWCRYPT_NOT_VECTORISED __attribute__((optimize("no-tree-loop-vectorize")))
#else
#define RAWCRYPT_NOT_VECTORISED
#endif

const Kernels* kernels_of(Path path) {
  switch (path) {
    case kSsse3: return kSsse3Kernels;
    case kAvx2: return kAvx2Kernels;
    case kNeon: return kNeonKernels;
    default: return nullptr;
  }
}

// The scalar encoder. The character stores may alias the input and the
// alphabet, so each group is read into locals before anything is written.
RAWCRYPT_NOT_VECTORISED void encode_groups(const unsigned char* in, size_t groups, const char* alphabet, char* out) {
  for (size_t g = 0; g < groups; ++g, in += 3, out += 4) {
    const uint32_t v = uint32_t{in[0]} << 16 | uint32_t{in[1]} << 8 | in[2];
    const char four[4] = {alphabet[v >> 18], alphabet[(v >> 12) & 0x3f],
                          alphabet[(v >> 6) & 0x3f], alphabet[v & 0x3f]};
    memcpy(out, four, sizeof four);
  }
}

// Counts the characters before the first that is not in the standard
// alphabet, eight a step while all are.
RAWCRYPT_NOT_VECTORISED size_t scan_scalar(const unsigned char* text, size_t length) {
  size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    const unsigned char* t = text + i;
    if ((kDecode.value[t[0]] | kDecode.value[t[1]] | kDecode.value[t[2]] | kDecode.value[t[3]] |
         kDecode.value[t[4]] | kDecode.value[t[5]] | kDecode.value[t[6]] | kDecode.value[t[7]]) &
        0x80)
      break;
  }
  while (i < length && kDecode.value[text[i]] != kNotBase64) ++i;
  return i;
}

RAWCRYPT_NOT_VECTORISED void decode_groups(const unsigned char* text, size_t groups, unsigned char* out) {
  for (size_t g = 0; g < groups; ++g, text += 4, out += 3) {
    const uint32_t v = kDecode.shifted[0][text[0]] | kDecode.shifted[1][text[1]] |
                       kDecode.shifted[2][text[2]] | kDecode.shifted[3][text[3]];
    out[0] = static_cast<unsigned char>(v >> 16);
    out[1] = static_cast<unsigned char>(v >> 8);
    out[2] = static_cast<unsigned char>(v);
  }
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
__attribute__((noinline)) bool decode_short(const unsigned char* text, size_t length, int32_t* output_length,
                  unsigned char* output) {
  Wiped<unsigned char[kShortText / 4 * 3]> buffer;  // a decoded key or secret must not linger
  unsigned char* bytes = buffer.value;
  size_t written = 0;
  for (size_t g = 0; g < length / 4; ++g, text += 4) {
    const uint32_t v = kDecode.shifted[0][text[0]] | kDecode.shifted[1][text[1]] |
                       kDecode.shifted[2][text[2]] | kDecode.shifted[3][text[3]];
    if (v & kOutside) {
      if (g + 1 != length / 4 || (kDecode.shifted[0][text[0]] | kDecode.shifted[1][text[1]]) & kOutside)
        return false;
      if (text[2] == '=') {  // "xx=?": one byte, what follows '=' unread
        bytes[written++] = static_cast<unsigned char>(v >> 16);
      } else if (!(kDecode.shifted[2][text[2]] & kOutside) && text[3] == '=') {  // "xxx="
        bytes[written++] = static_cast<unsigned char>(v >> 16);
        bytes[written++] = static_cast<unsigned char>(v >> 8);
      } else {
        return false;
      }
      break;
    }
    bytes[written++] = static_cast<unsigned char>(v >> 16);
    bytes[written++] = static_cast<unsigned char>(v >> 8);
    bytes[written++] = static_cast<unsigned char>(v);
  }
  if (written != 0) memcpy(output, bytes, written);  // an empty text may come with no buffer
  *output_length = static_cast<int32_t>(written);
  return true;
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
      out[0] = static_cast<unsigned char>(kDecode.value[c[0]] << 2 | kDecode.value[c[1]] >> 4);
      *output_length += 1;
      break;
    case 3:
      out[0] = static_cast<unsigned char>(kDecode.value[c[0]] << 2 | kDecode.value[c[1]] >> 4);
      out[1] = static_cast<unsigned char>(kDecode.value[c[1]] << 4 | kDecode.value[c[2]] >> 2);
      *output_length += 2;
      break;
  }
  return 0;
}

}  // namespace base64
}  // namespace rawcrypt
RAWCRYPT_SHORT_CALLS_END
