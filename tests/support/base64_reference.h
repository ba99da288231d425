// A byte-at-a-time Base64 coder written straight from the rules, the oracle
// for the helpers' fast one (tests and fuzzer).
#ifndef RAWCRYPT_TESTS_BASE64_REFERENCE_H
#define RAWCRYPT_TESTS_BASE64_REFERENCE_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "host/keys.h"

namespace reference {

using host::kStandardAlphabet;

inline std::string base64_encode(const std::vector<unsigned char>& in, const char* alphabet) {
  std::string out;
  size_t i = 0;
  for (; i + 3 <= in.size(); i += 3) {
    uint32_t v = in[i] << 16 | in[i + 1] << 8 | in[i + 2];
    for (int k = 18; k >= 0; k -= 6) out += alphabet[(v >> k) & 63];
  }
  if (in.size() - i == 1) {
    out += alphabet[in[i] >> 2];
    out += alphabet[(in[i] & 3) << 4];
    out += "==";
  } else if (in.size() - i == 2) {
    out += alphabet[in[i] >> 2];
    out += alphabet[(in[i] & 3) << 4 | in[i + 1] >> 4];
    out += alphabet[(in[i + 1] & 15) << 2];
    out += "=";
  }
  return out;
}

// What base64_decode must do: its result, the line, output_length (or
// "untouched") and the bytes written.
struct Decoded {
  int result;
  std::string line;
  bool length_touched;
  int32_t output_length;
  std::vector<unsigned char> bytes;
};

inline int standard_value(unsigned char c) {
  const char* p = c ? strchr(kStandardAlphabet, c) : nullptr;
  return p ? static_cast<int>(p - kStandardAlphabet) : -1;
}

inline Decoded base64_decode(const std::string& text) {
  if (text.size() % 4 != 0) return {-1, text + " is not base64 encoded", false, 0, {}};
  std::vector<int> values;
  for (unsigned char c : text) {
    if (c == '=') break;
    if (standard_value(c) < 0) return {-1, text + " is not base64 encoded", true, 0, {}};
    values.push_back(standard_value(c));
  }
  Decoded d{0, "", true, 0, {}};
  uint32_t bits = 0;
  int held = 0;
  for (size_t i = 0; i < values.size(); ++i) {
    bits = bits << 6 | values[i];
    held += 6;
    if (held >= 8) {  // a lone final character never completes a byte
      held -= 8;
      d.bytes.push_back(static_cast<unsigned char>(bits >> held));
    }
  }
  if (values.size() % 4 == 1) {
    d.bytes.resize(values.size() / 4 * 3);
    d.result = -1;
    d.line = "invalid base64 encoded str " + text;
  }
  d.output_length = static_cast<int32_t>(d.bytes.size());
  return d;
}

}  // namespace reference

#endif  // RAWCRYPT_TESTS_BASE64_REFERENCE_H
