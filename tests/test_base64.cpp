// base64_encode / base64_decode: RFC 4648 vectors, the refusal table with its
// exact lines, and the fast coder against a byte-at-a-time reference.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <regex>

#include "helpers/encrypt.h"
#include "tests/support/base64_reference.h"
#include "tests/support/console.h"
#include "tests/support/vectors.h"

namespace {

using reference::kStandardAlphabet;
using vectors::Bytes;

constexpr unsigned char kUntouched = 0xee;
constexpr int32_t kLengthUntouched = -7;

std::string encode(const Bytes& in, const char* alphabet = kStandardAlphabet) {
  std::string out(4 * ((in.size() + 2) / 3) + 1, '#');
  const unsigned char none = 0;  // an empty vector's data() may be null
  base64_encode(in.empty() ? &none : in.data(), static_cast<int32_t>(in.size()), alphabet, out.data());
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
  std::string line = printed_by([&] { result = base64_decode(text.c_str(), &length, out.data()); });
  ASSERT_EQ(result, want.result) << text;
  ASSERT_EQ(line, want.line) << text;
  ASSERT_EQ(length, want.length_touched ? want.output_length : kLengthUntouched) << text;
  Bytes expected = want.bytes;
  expected.resize(out.size(), kUntouched);
  ASSERT_EQ(out, expected) << text;
}

TEST(Base64Vectors, Rfc4648) {
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
    ASSERT_EQ(base64_decode(text.c_str(), &length, out.data()), 0);
    EXPECT_EQ(std::string(out.begin(), out.begin() + length), plain);
    ++checked;
  }
  EXPECT_EQ(checked, 7);
}

TEST(Base64Encode, EdgeCases) {
  EXPECT_EQ(encode({'a', 'b', 'c'}), "YWJj");
  EXPECT_EQ(encode({'a', 'b'}), "YWI=");
  EXPECT_EQ(encode({'a'}), "YQ==");
  char out[4] = {'#', '#', '#', '#'};
  const unsigned char byte = 'a';
  base64_encode(&byte, 0, kStandardAlphabet, out);
  EXPECT_EQ(std::string(out, 2), std::string("\0#", 2));
  out[0] = '#';
  base64_encode(&byte, -5, kStandardAlphabet, out);
  EXPECT_EQ(out[0], '\0');
  out[0] = '#';
  base64_encode(nullptr, 3, kStandardAlphabet, out);
  EXPECT_EQ(std::string(out, 4), "####");  // not even a terminator
  // Padding stays '=' whatever the alphabet; no line breaks on long input.
  std::string reversed(kStandardAlphabet);
  std::reverse(reversed.begin(), reversed.end());
  EXPECT_EQ(encode({0, 0, 0, 0xfc}, reversed.c_str()), "////A/==");
  std::string long_text = encode(Bytes(10000, 0x5a));
  EXPECT_EQ(long_text.find('\n'), std::string::npos);
}

// Each refusal: its line (no newline), result, output_length and output.
TEST(Base64Decode, RefusalsAndWhatSurvivesThem) {
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
    EXPECT_EQ(printed_by([&] { result = base64_decode(c.text.c_str(), &length, out.data()); }), c.line);
    EXPECT_EQ(result, -1) << c.text;
    EXPECT_EQ(length, c.length) << c.text;
    Bytes expected = c.written;
    expected.resize(16, kUntouched);
    EXPECT_EQ(out, expected) << c.text;
  }
}

TEST(Base64Decode, Accepts) {
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
    EXPECT_EQ(printed_by([&] { EXPECT_EQ(base64_decode(c.text.c_str(), &length, out.data()), 0); }), "");
    EXPECT_EQ(std::string(out.begin(), out.begin() + length), c.bytes) << c.text;
    EXPECT_EQ(out[length], kUntouched) << c.text;
  }
}

// Random bytes, alphabets and texts, fast coder against the reference;
// lengths cross the encoder's table threshold.
TEST(Base64CrossCheck, RandomInputsAgainstReference) {
  std::mt19937 rng(4648);
  auto byte = [&] { return static_cast<unsigned char>(rng()); };
  for (int round = 0; round < 300; ++round) {
    size_t n = round < 200 ? round : rng() % 20000;
    Bytes in(n);
    for (auto& b : in) b = byte();
    std::string alphabet(kStandardAlphabet);
    if (round % 3 == 1) std::shuffle(alphabet.begin(), alphabet.end(), rng);
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

TEST(Base64CrossCheck, OtherAlphabetDecodesWhereItAgrees) {
  std::string url_safe(kStandardAlphabet);
  url_safe[62] = '-';
  url_safe[63] = '_';
  Bytes avoids_62_63 = {0x00, 0x10, 0x83};  // values 0, 1, 2, 3
  Bytes out(3);
  int32_t length = 0;
  EXPECT_EQ(base64_decode(encode(avoids_62_63, url_safe.c_str()).c_str(), &length, out.data()), 0);
  EXPECT_EQ(out, avoids_62_63);
  Bytes uses_63 = {0xff, 0xff, 0xff};
  EXPECT_EQ(printed_by([&] { base64_decode(encode(uses_63, url_safe.c_str()).c_str(), &length, out.data()); }),
            "____ is not base64 encoded");
}

}  // namespace
