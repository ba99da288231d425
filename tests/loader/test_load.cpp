// The module loaded at run time: an object placed by the tests' loader where
// it chooses, its undefined symbols resolved against this process. Every
// helper's known answers run through the loaded copy, and a signature it
// makes is verified by the copy linked into this program.
#include "target/compat.h"

#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>

#include "helpers/encrypt.h"
#include "host/keys.h"
#include "tests/loader/elf_loader.h"
#include "tests/support/vectors.h"

namespace {

using loader::Placement;
using vectors::Bytes;

Bytes read_object(const char* path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << path;
  return Bytes{std::istreambuf_iterator<char>(in), {}};
}

// The helpers of one loaded copy, found in its own symbol table.
struct Helpers {
  decltype(&::des3_dec) des3_dec;
  decltype(&::aes_enc) aes_enc;
  decltype(&::aes_dec) aes_dec;
  decltype(&::ecc_sign) ecc_sign;
  decltype(&::ecc_verify) ecc_verify;
  decltype(&::base64_encode) base64_encode;
  decltype(&::base64_decode) base64_decode;
};

template <class F>
void find(const loader::Loaded& loaded, const char* name, F*& f) {
  f = reinterpret_cast<F*>(loaded.symbol(name));
  ASSERT_NE(f, nullptr) << name;
  // The copy's, not the one linked into this program.
  EXPECT_GE(reinterpret_cast<uintptr_t>(f), loaded.base()) << name;
}

void expect_known_answers(const Helpers& h) {
  int aes = 0;
  for (const auto& rec : vectors::read_rsp("nist-cavp/aes/CBCMMT256.rsp")) {
    if (!rec.has("KEY")) continue;
    const Bytes key = rec.hex("KEY"), iv = rec.hex("IV"), plain = rec.hex("PLAINTEXT"), cipher = rec.hex("CIPHERTEXT");
    Bytes out(plain.size());
    h.aes_enc(plain.data(), plain.size(), key.data(), iv.data(), out.data());
    EXPECT_EQ(out, cipher) << "aes_enc " << rec.text("KEY");
    h.aes_dec(cipher.data(), cipher.size(), key.data(), iv.data(), out.data());
    EXPECT_EQ(out, plain) << "aes_dec " << rec.text("KEY");
    ++aes;
  }
  EXPECT_EQ(aes, 20);

  int des = 0;
  for (const auto& rec : vectors::read_rsp("nist-cavp/tdes/TECBMMT3.rsp")) {
    if (!rec.has("KEY1")) continue;
    Bytes key = rec.hex("KEY1"), k2 = rec.hex("KEY2"), k3 = rec.hex("KEY3");
    key.insert(key.end(), k2.begin(), k2.end());
    key.insert(key.end(), k3.begin(), k3.end());
    const Bytes cipher = rec.hex("CIPHERTEXT");
    Bytes out(cipher.size());
    h.des3_dec(cipher.data(), cipher.size(), key.data(), out.data());
    EXPECT_EQ(out, rec.hex("PLAINTEXT")) << "des3_dec " << rec.text("KEY1");
    ++des;
  }
  EXPECT_EQ(des, 20);

  std::ifstream rfc(vectors::path("rfc4648_base64.txt"));
  const std::regex form(R"re(^BASE64\("(.*)"\) = "(.*)"$)re");
  int base64 = 0;
  for (std::string line; std::getline(rfc, line);) {
    std::smatch m;
    if (!std::regex_match(line, m, form)) continue;
    const std::string plain = m[1], text = m[2];
    std::string encoded(text.size() + 1, '#');
    h.base64_encode(reinterpret_cast<const unsigned char*>(plain.data()), static_cast<int32_t>(plain.size()),
                    host::kStandardAlphabet, encoded.data());
    EXPECT_STREQ(encoded.c_str(), text.c_str());
    Bytes decoded(text.size());
    int32_t length = -1;
    EXPECT_EQ(h.base64_decode(text.c_str(), &length, decoded.data()), 0);
    EXPECT_EQ(std::string(decoded.begin(), decoded.begin() + std::max(length, 0)), plain);
    ++base64;
  }
  EXPECT_EQ(base64, 7);

  int verified = 0;
  for (const auto& rec : vectors::read_rsp("nist-cavp/ecdsa/SigVer.rsp")) {
    if (!rec.under("P-256,SHA-256")) continue;
    Bytes sig = rec.hex("R"), s = rec.hex("S");
    sig.insert(sig.end(), s.begin(), s.end());
    const Bytes x = rec.hex("Qx"), y = rec.hex("Qy"), msg = rec.hex("Msg");
    EXPECT_EQ(h.ecc_verify(x.data(), y.data(), msg.data(), sig.data(), msg.size()) == 1, rec.text("Result")[0] == 'P');
    ++verified;
  }
  EXPECT_EQ(verified, 15);

  // The loaded copy signs; the linked copy verifies.
  for (const auto& rec : vectors::read_rsp("nist-cavp/ecdsa/KeyPair.rsp")) {
    if (!rec.under("P-256") || !rec.has("d")) continue;
    const Bytes d = rec.hex("d"), x = rec.hex("Qx"), y = rec.hex("Qy");
    const Bytes msg = {'l', 'o', 'a', 'd', 'e', 'd'};
    unsigned char sig[64];
    ASSERT_EQ(h.ecc_sign(d.data(), msg.data(), sig, msg.size()), 1);
    EXPECT_EQ(::ecc_verify(x.data(), y.data(), msg.data(), sig, msg.size()), 1);
    return;
  }
  ADD_FAILURE() << "no P-256 key pair in KeyPair.rsp";
}

constexpr uint64_t kBranchReach = 32u << 20;  // ARM state's; Thumb-2 reaches half as far

// distance: from the loaded object to a callee, both ways.
uint64_t distance(uintptr_t base, const char* callee) {
  const uintptr_t at = loader::resolve(callee);
  return at > base ? at - base : base - at;
}

struct Case {
  const char* name;
  const char* object;
  Placement where;
  bool refused;  // with the out-of-range branch, by its type and symbol
};

const Case kCases[] = {
    {"ShortCallsNearTheirCallees", RAWCRYPT_SHORT_CALLS_OBJECT, Placement::kNearCallees, false},
    {"ShortCallsFarAwayAreRefused", RAWCRYPT_SHORT_CALLS_OBJECT, Placement::kFarFromCallees, true},
    {"LongCallsFarAway", RAWCRYPT_LONG_CALLS_OBJECT, Placement::kFarFromCallees, false},
    {"ArmStateNearTheirCallees", RAWCRYPT_ARM_STATE_OBJECT, Placement::kNearCallees, false},
};

void PrintTo(const Case& c, std::ostream* os) { *os << std::strrchr(c.object, '/') + 1; }

class Loading : public testing::TestWithParam<Case> {};

TEST_P(Loading, KnownAnswersThroughTheLoadedCopy) {
  const Case& c = GetParam();
  std::string error;
  const auto loaded = loader::load(read_object(c.object), c.where, &error);
  if (c.refused) {
    ASSERT_EQ(loaded, nullptr);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(error, m, std::regex(R"(R_ARM_(THM_)?(CALL|JUMP24) to (\w+): out of range)"))) << error;
    EXPECT_NE(loader::resolve(m[3]), 0u) << "not a symbol of this process: " << error;
    return;
  }
  ASSERT_NE(loaded, nullptr) << error;
  if (c.where == Placement::kFarFromCallees) {
    EXPECT_GT(distance(loaded->base(), "OPENSSL_cleanse"), kBranchReach);
    EXPECT_GT(distance(loaded->base(), "memcpy"), kBranchReach);
  }
  Helpers h{};
  find(*loaded, "des3_dec", h.des3_dec);
  find(*loaded, "aes_enc", h.aes_enc);
  find(*loaded, "aes_dec", h.aes_dec);
  find(*loaded, "ecc_sign", h.ecc_sign);
  find(*loaded, "ecc_verify", h.ecc_verify);
  find(*loaded, "base64_encode", h.base64_encode);
  find(*loaded, "base64_decode", h.base64_decode);
  if (!HasFatalFailure()) expect_known_answers(h);
}

INSTANTIATE_TEST_SUITE_P(Placed, Loading, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// A type the loader does not apply (here the GOT-relative load of
// position-independent code, put in place of the first relocation) is
// refused by name, not applied wrongly.
TEST(Loading, RefusesARelocationTypeByName) {
  Bytes elf = read_object(RAWCRYPT_SHORT_CALLS_OBJECT);
  const auto* header = reinterpret_cast<const Elf32_Ehdr*>(elf.data());
  auto* sections = reinterpret_cast<const Elf32_Shdr*>(elf.data() + header->e_shoff);
  for (int i = 0; i < header->e_shnum; ++i) {
    if (sections[i].sh_type != SHT_REL || !(sections[sections[i].sh_info].sh_flags & SHF_ALLOC)) continue;
    auto* first = reinterpret_cast<Elf32_Rel*>(elf.data() + sections[i].sh_offset);
    first->r_info = ELF32_R_INFO(ELF32_R_SYM(first->r_info), R_ARM_GOT32);
    break;
  }
  std::string error;
  EXPECT_EQ(loader::load(elf, Placement::kNearCallees, &error), nullptr);
  EXPECT_NE(error.find("R_ARM_GOT_BREL to "), std::string::npos) << error;
  EXPECT_NE(error.find(": not a type this loader applies"), std::string::npos) << error;
}

}  // namespace
