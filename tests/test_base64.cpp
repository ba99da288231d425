// base64_encode / base64_decode: RFC 4648 vectors, the refusal table with its
// exact lines, and the fast coder against a byte-at-a-time reference. Every
// table runs once per coding path this CPU has (scalar, each vector path)
// and once through the exported helpers.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <regex>

#include "helpers/base64.h"
#include "helpers/encrypt.h"
#include "tests/support/base64_reference.h"
#include "tests/support/console.h"
#include "tests/support/vectors.h"

namespace {

using reference::kStandardAlphabet;
using vectors::Bytes;

// The path under test: a rawcrypt::base64::Path, or kExported for the
// helpers themselves.
constexpr int kExported = -1;
int path_under_test = kExported;

void base64_encode_on(const unsigned char* input, int32_t length, const char* alphabet, char* output) {
  if (path_under_test == kExported)
    base64_encode(input, length, alphabet, output);
  else
    rawcrypt::base64::encode(static_cast<rawcrypt::base64::Path>(path_under_test), input, length,
                             alphabet, output);
}

int base64_decode_on(const char* text, int32_t* output_length, unsigned char* output) {
  if (path_under_test == kExported) return base64_decode(text, output_length, output);
  return rawcrypt::base64::decode(static_cast<rawcrypt::base64::Path>(path_under_test), text,
                                  output_length, output);
}

class OnEveryPath : public testing::TestWithParam<int> {
 protected:
  void SetUp() override { path_under_test = GetParam(); }
};

// The helpers and every path this build and CPU can run.
std::vector<int> paths_here() {
  std::vector<int> paths = {kExported};
  for (int p = 0; p < rawcrypt::base64::kPathCount; ++p)
    if (rawcrypt::base64::available(static_cast<rawcrypt::base64::Path>(p))) paths.push_back(p);
  return paths;
}
using Base64Vectors = OnEveryPath;
using Base64Encode = OnEveryPath;
using Base64Decode = OnEveryPath;
using Base64CrossCheck = OnEveryPath;

constexpr unsigned char kUntouched = 0xee;
constexpr int32_t kLengthUntouched = -7;

std::string encode(const Bytes& in, const char* alphabet = kStandardAlphabet) {
  std::string out(4 * ((in.size() + 2) / 3) + 1, '#');
  const unsigned char none = 0;  // an empty vector's data() may be null
  base64_encode_on(in.empty() ? &none : in.data(), static_cast<int32_t>(in.size()), alphabet, out.data());
  EXPECT_EQ(out.back(), '\0');
  out.pop_back();
  return out;
}

// Runs the helper on text; compares everything with the reference.
void expect_decodes_like_reference(const std::string& text) {
  reference::Decoded want = reference::base64_decode(text);
  Bytes out(3 * text.size() / 4 + 8, kUntouched);
  int32_t length = kLengthUntouched;
  int result = 0;
  std::string line = printed_by([&] { result = base64_decode_on(text.c_str(), &length, out.data()); });
  ASSERT_EQ(result, want.result) << text;
  ASSERT_EQ(line, want.line) << text;
  ASSERT_EQ(length, want.length_touched ? want.output_length : kLengthUntouched) << text;
  Bytes expected = want.bytes;
  expected.resize(out.size(), kUntouched);
  ASSERT_EQ(out, expected) << text;
}

TEST_P(Base64Vectors, Rfc4648) {
  std::ifstream in(vectors::path("rfc4648_base64.txt"));
  std::regex form(R"re(^BASE64\("(.*)"\) = "(.*)"$)re");
  int checked = 0;
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (!std::regex_match(line, m, form)) continue;
    std::string plain = m[1], text = m[2];
    EXPECT_EQ(encode(Bytes(plain.begin(), plain.end())), text);
    Bytes out(text.size());
    int32_t length = 0;
    ASSERT_EQ(base64_decode_on(text.c_str(), &length, out.data()), 0);
    EXPECT_EQ(std::string(out.begin(), out.begin() + length), plain);
    ++checked;
  }
  EXPECT_EQ(checked, 7);
}

TEST_P(Base64Encode, EdgeCases) {
  EXPECT_EQ(encode({'a', 'b', 'c'}), "YWJj");
  EXPECT_EQ(encode({'a', 'b'}), "YWI=");
  EXPECT_EQ(encode({'a'}), "YQ==");
  char out[4] = {'#', '#', '#', '#'};
  const unsigned char byte = 'a';
  base64_encode_on(&byte, 0, kStandardAlphabet, out);
  EXPECT_EQ(std::string(out, 2), std::string("\0#", 2));
  out[0] = '#';
  base64_encode_on(&byte, -5, kStandardAlphabet, out);
  EXPECT_EQ(out[0], '\0');
  out[0] = '#';
  base64_encode_on(nullptr, 3, kStandardAlphabet, out);
  EXPECT_EQ(std::string(out, 4), "####");  // not even a terminator
  // Padding stays '=' whatever the alphabet; no line breaks on long input.
  std::string reversed(kStandardAlphabet);
  std::reverse(reversed.begin(), reversed.end());
  EXPECT_EQ(encode({0, 0, 0, 0xfc}, reversed.c_str()), "////A/==");
  std::string long_text = encode(Bytes(10000, 0x5a));
  EXPECT_EQ(long_text.find('\n'), std::string::npos);
}

// Each refusal: its line (no newline), result, output_length and output.
TEST_P(Base64Decode, RefusalsAndWhatSurvivesThem) {
  struct Case {
    std::string text, line;
    int32_t length;
    Bytes written;
  } cases[] = {
      {"YQ=", "YQ= is not base64 encoded", kLengthUntouched, {}},
      {"YWJjZ", "YWJjZ is not base64 encoded", kLengthUntouched, {}},
      {"Y===", "invalid base64 encoded str Y===", 0, {}},
      {"YWJjY===", "invalid base64 encoded str YWJjY===", 3, {'a', 'b', 'c'}},
      {"YWJ jZGV", "YWJ jZGV is not base64 encoded", 0, {}},
      {"YWJj\nZGV", "YWJj\nZGV is not base64 encoded", 0, {}},
      {"YW-j", "YW-j is not base64 encoded", 0, {}},
      {"YW_j", "YW_j is not base64 encoded", 0, {}},
      {"YWJjZGVmYWJjZGVmYWJj\x80ZGV", "YWJjZGVmYWJjZGVmYWJj\x80ZGV is not base64 encoded", 0, {}},
      {"YWJj\xffZGV", "YWJj\xffZGV is not base64 encoded", 0, {}},
  };
  for (const auto& c : cases) {
    Bytes out(16, kUntouched);
    int32_t length = kLengthUntouched;
    int result = 0;
    EXPECT_EQ(printed_by([&] { result = base64_decode_on(c.text.c_str(), &length, out.data()); }), c.line);
    EXPECT_EQ(result, -1) << c.text;
    EXPECT_EQ(length, c.length) << c.text;
    Bytes expected = c.written;
    expected.resize(16, kUntouched);
    EXPECT_EQ(out, expected) << c.text;
  }
}

TEST_P(Base64Decode, Accepts) {
  struct Case {
    std::string text;
    std::string bytes;
  } cases[] = {
      {"", ""}, {"====", ""}, {"YWI=", "ab"}, {"YQ==", "a"}, {"YWJj", "abc"},
      {"YQ=x", "a"},  // what follows the first '=' only counts towards the length
      {"YR==", "a"},  // spare low bits are not checked
      {"YWJjZA=?", "abcd"},
  };
  for (const auto& c : cases) {
    Bytes out(8, kUntouched);
    int32_t length = kLengthUntouched;
    EXPECT_EQ(printed_by([&] { EXPECT_EQ(base64_decode_on(c.text.c_str(), &length, out.data()), 0); }), "");
    EXPECT_EQ(std::string(out.begin(), out.begin() + length), c.bytes) << c.text;
    EXPECT_EQ(out[length], kUntouched) << c.text;
  }
}

// The alphabets a caller may pass: standard, URL-safe, shuffled, reversed,
// and one of bytes with the high bit set.
std::vector<std::string> alphabet_kinds(std::mt19937& rng) {
  std::string url_safe(kStandardAlphabet), shuffled(kStandardAlphabet), high(64, '\0');
  url_safe[62] = '-';
  url_safe[63] = '_';
  std::shuffle(shuffled.begin(), shuffled.end(), rng);
  std::string reversed(shuffled.rbegin(), shuffled.rend());
  for (int v = 0; v < 64; ++v) high[v] = static_cast<char>(0xc0 + (v * 7) % 64);
  return {kStandardAlphabet, url_safe, shuffled, reversed, high};
}

// Lengths 0-200, either side of every step of the vector paths (12 to 48
// bytes, 16 to 64 characters) and of their minimum sizes, and larger ones.
std::vector<size_t> byte_lengths(std::mt19937& rng) {
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 200; ++n) lengths.push_back(n);
  for (size_t step : {12, 18, 24, 30, 33, 36, 48, 64, 96})
    for (size_t k : {4, 5, 8, 16})
      for (size_t d : {-1, 0, 1, 2}) lengths.push_back(step * k + d);
  for (int i = 0; i < 40; ++i) lengths.push_back(rng() % 20000);
  return lengths;
}

// Random bytes and texts, every alphabet kind, the coder against the reference.
TEST_P(Base64CrossCheck, RandomInputsAgainstReference) {
  std::mt19937 rng(4648);
  auto byte = [&] { return static_cast<unsigned char>(rng()); };
  const std::vector<std::string> alphabets = alphabet_kinds(rng);
  for (size_t n : byte_lengths(rng)) {
    Bytes in(n);
    for (auto& b : in) b = byte();
    for (const std::string& alphabet : alphabets)
      ASSERT_EQ(encode(in, alphabet.c_str()), reference::base64_encode(in, alphabet.c_str())) << n;
    expect_decodes_like_reference(encode(in));
  }
  const std::string spice = std::string(kStandardAlphabet) + "==== \n-_\x80\xc3\xff";
  for (int round = 0; round < 3000; ++round) {
    std::string text(rng() % 40, 'A');
    for (auto& c : text) c = rng() % 4 ? kStandardAlphabet[rng() % 64] : spice[rng() % spice.size()];
    expect_decodes_like_reference(text);
  }
}

// One character changed at every position of a text that spans several
// vector steps: the neighbours of each range of the alphabet, '=' and bytes
// with the high bit.
TEST_P(Base64CrossCheck, EveryCharacterAtEveryPosition) {
  std::mt19937 rng(1987);
  Bytes in(3 * 72);
  for (auto& b : in) b = static_cast<unsigned char>(rng());
  const std::string valid = encode(in);  // 288 characters
  for (char bad : {'=', '@', '[', '`', '{', '/', '0', '.', ':', '*', ',', '+', ' ', '\x7f', '\x80', '\xff'}) {
    for (size_t at = 0; at < valid.size(); ++at) {
      std::string text = valid;
      text[at] = bad;
      expect_decodes_like_reference(text);
    }
  }
}

// The scalar decoder's own steps: sixteen characters a check, four groups a
// store, one pass for a text of up to 256 characters. Texts that end at each
// place of those steps, either side of that limit, plain and padded, with a
// wrong character at every position.
TEST_P(Base64CrossCheck, EveryPositionForEveryStepLength) {
  std::mt19937 rng(2045);
  for (size_t chars : {64, 68, 72, 76, 256, 260, 264, 268, 272}) {
    for (size_t padding : {0, 1, 2}) {
      Bytes in(chars / 4 * 3 - padding);
      for (auto& b : in) b = static_cast<unsigned char>(rng());
      const std::string valid = encode(in);
      expect_decodes_like_reference(valid);
      for (char bad : {'=', '*'}) {
        for (size_t at = 0; at < valid.size(); ++at) {
          std::string text = valid;
          text[at] = bad;
          expect_decodes_like_reference(text);
        }
      }
    }
  }
}

// The check by pairs of characters: every byte in the first and the second
// place of a pair, in a short text and a long one.
TEST_P(Base64CrossCheck, EveryByteAtBothPlacesOfAPair) {
  for (size_t chars : {64, 288}) {
    const std::string valid = encode(Bytes(chars / 4 * 3, 0x9c));
    for (int c = 1; c < 256; ++c) {
      for (size_t at : {chars / 2, chars / 2 + 1}) {
        std::string text = valid;
        text[at] = static_cast<char>(c);
        expect_decodes_like_reference(text);
      }
    }
  }
}

TEST_P(Base64CrossCheck, OtherAlphabetDecodesWhereItAgrees) {
  std::string url_safe(kStandardAlphabet);
  url_safe[62] = '-';
  url_safe[63] = '_';
  Bytes avoids_62_63 = {0x00, 0x10, 0x83};  // values 0, 1, 2, 3
  Bytes out(3);
  int32_t length = 0;
  EXPECT_EQ(base64_decode_on(encode(avoids_62_63, url_safe.c_str()).c_str(), &length, out.data()), 0);
  EXPECT_EQ(out, avoids_62_63);
  Bytes uses_63 = {0xff, 0xff, 0xff};
  EXPECT_EQ(printed_by([&] { base64_decode_on(encode(uses_63, url_safe.c_str()).c_str(), &length, out.data()); }),
            "____ is not base64 encoded");
}

std::string path_name(const testing::TestParamInfo<int>& info) {
  static const char* const names[] = {"scalar", "ssse3", "avx2", "neon"};
  static_assert(sizeof names / sizeof names[0] == rawcrypt::base64::kPathCount, "a name per path");
  return info.param == kExported ? "exported" : names[info.param];
}

const auto kPaths = testing::ValuesIn(paths_here());
INSTANTIATE_TEST_SUITE_P(Paths, Base64Vectors, kPaths, path_name);
INSTANTIATE_TEST_SUITE_P(Paths, Base64Encode, kPaths, path_name);
INSTANTIATE_TEST_SUITE_P(Paths, Base64Decode, kPaths, path_name);
INSTANTIATE_TEST_SUITE_P(Paths, Base64CrossCheck, kPaths, path_name);

}  // namespace
