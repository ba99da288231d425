// des3_dec / aes_enc / aes_dec: NIST and Wycheproof vectors, and a cross-check
// against libcrypto's EVP ciphers for every length, partial blocks included.
#include "target/compat.h"

#include <gtest/gtest.h>

#include <map>

#include "helpers/encrypt.h"
#include "tests/support/console.h"
#include "tests/support/vectors.h"

namespace {

using vectors::Bytes;

Bytes aes(bool encrypt, const Bytes& in, const Bytes& key, const Bytes& iv) {
  Bytes out((in.size() + 15) / 16 * 16);
  (encrypt ? aes_enc : aes_dec)(in.data(), in.size(), key.data(), iv.data(), out.data());
  out.resize(in.size());
  return out;
}

Bytes des3(const Bytes& in, const Bytes& key) {
  Bytes out(in.size());
  des3_dec(in.data(), in.size(), key.data(), out.data());
  return out;
}

TEST(CipherVectors, NistAes256CbcBothWays) {
  int checked = 0;
  for (const char* file : {"nist-cavp/aes/CBCGFSbox256.rsp", "nist-cavp/aes/CBCKeySbox256.rsp", "nist-cavp/aes/CBCVarKey256.rsp",
                           "nist-cavp/aes/CBCVarTxt256.rsp", "nist-cavp/aes/CBCMMT256.rsp"}) {
    for (const auto& rec : vectors::read_rsp(file)) {
      if (!rec.has("KEY")) continue;
      Bytes key = rec.hex("KEY"), iv = rec.hex("IV");
      Bytes plain = rec.hex("PLAINTEXT"), cipher = rec.hex("CIPHERTEXT");
      EXPECT_EQ(aes(true, plain, key, iv), cipher) << file << " " << rec.text("KEY");
      EXPECT_EQ(aes(false, cipher, key, iv), plain) << file << " " << rec.text("KEY");
      ++checked;
    }
  }
  EXPECT_EQ(checked, 2 * (5 + 16 + 256 + 128 + 10));
}

// ECB is its own inverse per block, so both sections decrypt: [DECRYPT] as
// written and [ENCRYPT] read from ciphertext back to plaintext.
TEST(CipherVectors, NistTripleDesEcbDecrypt) {
  int checked = 0, distinct_keys = 0;
  for (const char* file : {"nist-cavp/tdes/TECBMMT3.rsp", "nist-cavp/tdes/TECBMMT3_cavs11.1.rsp", "nist-cavp/tdes/TECBinvperm.rsp",
                           "nist-cavp/tdes/TECBpermop.rsp", "nist-cavp/tdes/TECBsubtab.rsp", "nist-cavp/tdes/TECBvarkey.rsp",
                           "nist-cavp/tdes/TECBvartext.rsp"}) {
    for (const auto& rec : vectors::read_rsp(file)) {
      if (!rec.has("CIPHERTEXT")) continue;
      const bool one_key = rec.has("KEYs");
      Bytes key;
      for (const char* part : {"KEY1", "KEY2", "KEY3"}) {
        Bytes k = rec.hex(one_key ? "KEYs" : part);
        key.insert(key.end(), k.begin(), k.end());
      }
      distinct_keys += !one_key;
      EXPECT_EQ(des3(rec.hex("CIPHERTEXT"), key), rec.hex("PLAINTEXT")) << file;
      ++checked;
    }
  }
  EXPECT_EQ(checked, 510);
  EXPECT_EQ(distinct_keys, 40);
}

TEST(CipherVectors, WycheproofAes256CbcValidCases) {
  int checked = 0;
  const auto file = vectors::read_json("wycheproof/aes_cbc_pkcs5_test.json");
  for (const auto& group : file["testGroups"].items) {
    if (group["keySize"].number() != 256) continue;
    for (const auto& test : group["tests"].items) {
      if (test["result"].str() != "valid") continue;
      Bytes padded = test["msg"].hex();
      padded.insert(padded.end(), 16 - padded.size() % 16, 16 - padded.size() % 16);
      Bytes key = test["key"].hex(), iv = test["iv"].hex(), ct = test["ct"].hex();
      EXPECT_EQ(aes(false, ct, key, iv), padded) << test["tcId"].str();
      EXPECT_EQ(aes(true, padded, key, iv), ct) << test["tcId"].str();
      ++checked;
    }
  }
  EXPECT_EQ(checked, 24);
}

// NIST's Monte Carlo runs: each record is a thousand (AES) or ten thousand
// (TDES) calls chained through the previous outputs, so a key, vector or
// block that leaks from one call into the next shows; and TDES meets
// hundreds of three-key keys where the known answers have forty.
TEST(CipherVectors, NistMonteCarlo) {
  int aes_records = 0;
  for (const auto& rec : vectors::read_rsp("extra/nist-cavp/CBCMCT256.rsp")) {
    if (!rec.has("KEY")) continue;
    const bool encrypt = rec.under("ENCRYPT");
    const Bytes key = rec.hex("KEY"), iv = rec.hex("IV");
    Bytes in = rec.hex(encrypt ? "PLAINTEXT" : "CIPHERTEXT"), chain = iv, out, previous_out;
    for (int j = 0; j < 1000; ++j) {
      out = aes(encrypt, in, key, chain);
      chain = encrypt ? out : in;            // CBC continues from the last ciphertext
      in = j == 0 ? iv : previous_out;       // the next input, as the run defines it
      previous_out = out;
    }
    EXPECT_EQ(out, rec.hex(encrypt ? "CIPHERTEXT" : "PLAINTEXT")) << "AES COUNT " << rec.text("COUNT");
    ++aes_records;
  }
  EXPECT_EQ(aes_records, 200);
  // ECB runs decrypt the previous output 10000 times; an [ENCRYPT] record is
  // undone by decrypting its ciphertext back to its plaintext. The first 30
  // records of each section keep the run short under qemu.
  int des_records = 0;
  std::map<std::string, int> per_section;
  for (const auto& rec : vectors::read_rsp("extra/nist-cavp/TECBMonte3.rsp")) {
    if (!rec.has("KEY1")) continue;
    const bool encrypt = rec.under("ENCRYPT");
    if (++per_section[encrypt ? "E" : "D"] > 30) continue;
    Bytes key;
    for (const char* part : {"KEY1", "KEY2", "KEY3"}) {
      const Bytes k = rec.hex(part);
      key.insert(key.end(), k.begin(), k.end());
    }
    Bytes block = rec.hex("CIPHERTEXT");
    for (int j = 0; j < 10000; ++j) des3_dec(block.data(), 8, key.data(), block.data());
    EXPECT_EQ(block, rec.hex("PLAINTEXT")) << "TDES COUNT " << rec.text("COUNT");
    ++des_records;
  }
  EXPECT_EQ(des_records, 60);
}

// What EVP gives for the whole blocks that cover length bytes of input.
Bytes evp_whole_blocks(const EVP_CIPHER* cipher, bool encrypt, Bytes in, const Bytes& key,
                       const Bytes* iv) {
  size_t block = EVP_CIPHER_block_size(cipher);
  in.resize((in.size() + block - 1) / block * block, 0);
  Bytes out(in.size() + block);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), iv ? iv->data() : nullptr, encrypt);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  int n = 0;
  EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
  EVP_CIPHER_CTX_free(ctx);
  out.resize(n);
  return out;
}

Bytes pattern(size_t n, unsigned seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>((i * 131 + seed * 17) >> 1);
  return b;
}

std::vector<size_t> cross_check_lengths() {
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  for (size_t n : {511, 512, 513, 527, 528, 1000, 4103, 65536, 1 << 20, (1 << 20) + 9})
    lengths.push_back(n);
  return lengths;
}

constexpr unsigned char kGuard = 0x5c;

// Each helper against EVP: exactly the bytes the rules say are written, the
// guard bytes behind them untouched, in place the same as apart, iv unchanged.
TEST(CipherCrossCheck, AesEveryLengthAgainstEvp) {
  const Bytes key = pattern(32, 1), iv = pattern(16, 2);
  for (size_t n : cross_check_lengths()) {
    const Bytes in = pattern(n, 3 + n);
    const size_t whole = (n + 15) / 16 * 16;
    for (bool encrypt : {true, false}) {
      Bytes expected = evp_whole_blocks(EVP_aes_256_cbc(), encrypt, in, key, &iv);
      size_t written = encrypt ? whole : n;  // decryption writes exactly n
      expected.resize(written);
      Bytes input = in;
      input.resize(whole, 0);  // decryption reads a whole final block
      Bytes out(whole + 16, kGuard), iv_copy = iv;
      (encrypt ? aes_enc : aes_dec)(input.data(), n, key.data(), iv_copy.data(), out.data());
      ASSERT_EQ(Bytes(out.begin(), out.begin() + written), expected) << n << " " << encrypt;
      ASSERT_EQ(Bytes(out.begin() + written, out.end()), Bytes(whole + 16 - written, kGuard)) << n;
      ASSERT_EQ(iv_copy, iv);
      Bytes in_place = input;
      in_place.resize(whole + 16, kGuard);
      (encrypt ? aes_enc : aes_dec)(in_place.data(), n, key.data(), iv.data(), in_place.data());
      ASSERT_EQ(Bytes(in_place.begin(), in_place.begin() + written), expected) << n;
    }
  }
}

TEST(CipherCrossCheck, TripleDesEveryLengthAgainstEvp) {
  const Bytes key = pattern(24, 9);
  for (size_t n : cross_check_lengths()) {
    const size_t whole = (n + 7) / 8 * 8;
    Bytes input = pattern(whole, n);
    Bytes expected = evp_whole_blocks(EVP_des_ede3_ecb(), false, input, key, nullptr);
    Bytes out(whole + 8, kGuard);
    des3_dec(input.data(), n, key.data(), out.data());
    ASSERT_EQ(Bytes(out.begin(), out.begin() + whole), expected) << n;
    ASSERT_EQ(Bytes(out.begin() + whole, out.end()), Bytes(8, kGuard)) << n;
    Bytes in_place = input;
    des3_dec(in_place.data(), n, key.data(), in_place.data());
    ASSERT_EQ(in_place, expected) << n;
  }
}

TEST(CipherEdges, ThreeEqualDesKeysDecryptAsSingleDes) {
  const Bytes k = pattern(8, 4), block = pattern(16, 5);
  Bytes key = k;
  key.insert(key.end(), k.begin(), k.end());
  key.insert(key.end(), k.begin(), k.end());
  DES_key_schedule ks;
  DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(const_cast<unsigned char*>(k.data())), &ks);
  Bytes expected(16);
  for (int i = 0; i < 2; ++i)
    DES_ecb_encrypt(reinterpret_cast<const_DES_cblock*>(const_cast<unsigned char*>(block.data() + 8 * i)),
                    reinterpret_cast<DES_cblock*>(expected.data() + 8 * i), &ks, DES_DECRYPT);
  EXPECT_EQ(des3(block, key), expected);
}

TEST(CipherEdges, IdenticalBlocksAndRepeatedCallsAgree) {
  const Bytes key = pattern(32, 6), iv = pattern(16, 7);
  Bytes twice = pattern(8, 8);
  twice.insert(twice.end(), twice.begin(), twice.end());
  Bytes plain = des3(twice, pattern(24, 1));
  EXPECT_EQ(Bytes(plain.begin(), plain.begin() + 8), Bytes(plain.begin() + 8, plain.end()));
  const Bytes msg = pattern(64, 9);
  EXPECT_EQ(aes(true, msg, key, iv), aes(true, msg, key, iv));  // calls never chain
  // length 20: the last 12 bytes of the second block are taken as zeros.
  Bytes twenty = pattern(20, 10), padded = twenty;
  padded.resize(32, 0);
  Bytes out(32);
  aes_enc(twenty.data(), 20, key.data(), iv.data(), out.data());
  EXPECT_EQ(out, aes(true, padded, key, iv));
}

TEST(CipherEdges, NothingPrinted) {
  const Bytes key = pattern(32, 1), iv = pattern(16, 2), in = pattern(1008, 3);  // whole blocks read
  Bytes out(1008);
  EXPECT_EQ(printed_by([&] {
              aes_enc(in.data(), 1000, key.data(), iv.data(), out.data());
              aes_dec(in.data(), 1000, key.data(), iv.data(), out.data());
              des3_dec(in.data(), 1000, key.data(), out.data());
            }),
            "");
}

}  // namespace
