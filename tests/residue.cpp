// No residue: while a helper runs, every heap block libcrypto gives back
// (seen through CRYPTO_set_mem_functions) is searched for the call's
// secrets. None may still hold the private scalar, the nonce or its inverse,
// a cipher key or its schedule's first round keys, or decoded secret bytes.
#include "host/compat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "helpers/encrypt.h"
#include "tests/support/base64_reference.h"
#include "tests/support/ecdsa_reference.h"
#include "tests/support/rand_methods.h"

namespace {

using vectors::Bytes;

// What the blocks are searched for: each secret as its bytes lie, reversed
// (a big number's words on a little-endian CPU) and with each 4-byte word
// reversed (round keys loaded as 32-bit words); any 8 bytes of it at an
// 8-byte boundary count (one 64-bit word of a big number, two 32-bit ones).
std::vector<std::pair<std::string, Bytes>>* patterns = new std::vector<std::pair<std::string, Bytes>>;
std::map<void*, size_t>* sizes = new std::map<void*, size_t>;
std::vector<std::string>* found = new std::vector<std::string>;
bool searching = false;

void add_secret(const std::string& name, const Bytes& secret) {
  Bytes reversed(secret.rbegin(), secret.rend()), word_swapped = secret;
  for (size_t i = 0; i + 4 <= word_swapped.size(); i += 4)
    std::reverse(word_swapped.begin() + i, word_swapped.begin() + i + 4);
  for (const Bytes* form : {&secret, const_cast<const Bytes*>(&reversed), const_cast<const Bytes*>(&word_swapped)})
    for (size_t at = 0; at + 8 <= form->size(); at += 8)
      patterns->push_back({name, Bytes(form->begin() + at, form->begin() + at + 8)});
}

void search(const void* p) {
  auto it = sizes->find(const_cast<void*>(p));
  if (!searching || it == sizes->end()) return;
  const auto* block = static_cast<const unsigned char*>(p);
  for (const auto& [name, pattern] : *patterns)
    if (std::search(block, block + it->second, pattern.begin(), pattern.end()) != block + it->second)
      found->push_back(name);
}

// Blocks start zeroed, so that what a search finds was written into the block
// by the call, not left there by an earlier owner of the memory.
void* watched_malloc(size_t n RAWCRYPT_MEM_ARGS) {
  void* p = calloc(1, n);
  if (p != nullptr) (*sizes)[p] = n;
  return p;
}
void* watched_realloc(void* p, size_t n RAWCRYPT_MEM_ARGS) {
  void* copy = calloc(1, n);  // always moves, so the old block is given back
  if (copy == nullptr || p == nullptr) {
    if (copy != nullptr) (*sizes)[copy] = n;
    return copy;
  }
  memcpy(copy, p, std::min((*sizes)[p], n));
  search(p);
  sizes->erase(p);
  free(p);
  (*sizes)[copy] = n;
  return copy;
}
void watched_free(void* p RAWCRYPT_MEM_ARGS) {
  if (p == nullptr) return;
  search(p);
  sizes->erase(p);
  free(p);
}

// During: runs a helper call with the secrets registered and returns the
// names of those found in blocks given back during the call.
template <typename F>
std::vector<std::string> left_behind(F&& call) {
  found->clear();
  searching = true;
  call();
  searching = false;
  patterns->clear();
  return *found;
}

// The nonce of a signature, from the key, the digest and the signature:
// k = (z + r d) / s mod n. Returns k and its inverse, 32 bytes each.
std::pair<Bytes, Bytes> nonce_of(const Bytes& d, const Bytes& message, const unsigned char sig[64]) {
  rawcrypt::Owned<EC_GROUP> group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  rawcrypt::Owned<BIGNUM> n = host::group_order(group.get());
  rawcrypt::Owned<BN_CTX> ctx(BN_CTX_new());
  const Bytes digest = reference::sha256(message);
  rawcrypt::Owned<BIGNUM> z(BN_bin2bn(digest.data(), 32, nullptr)), dd(BN_bin2bn(d.data(), 32, nullptr));
  rawcrypt::Owned<BIGNUM> r(BN_bin2bn(sig, 32, nullptr)), s(BN_bin2bn(sig + 32, 32, nullptr));
  rawcrypt::Owned<BIGNUM> k(BN_new()), kinv(BN_new());
  BN_mod_mul(k.get(), r.get(), dd.get(), n.get(), ctx.get());
  BN_mod_add(k.get(), k.get(), z.get(), n.get(), ctx.get());
  BN_mod_inverse(kinv.get(), s.get(), n.get(), ctx.get());
  BN_mod_mul(k.get(), k.get(), kinv.get(), n.get(), ctx.get());
  BN_mod_inverse(kinv.get(), k.get(), n.get(), ctx.get());
  Bytes k32(32), kinv32(32);
  rawcrypt::bn_to_be32(k.get(), k32.data());
  rawcrypt::bn_to_be32(kinv.get(), kinv32.data());
  return {k32, kinv32};
}

// k + times * n: the fixed-length forms of the nonce that the road makes.
Bytes plus_order(const Bytes& k, int times) {
  rawcrypt::Owned<EC_GROUP> group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  rawcrypt::Owned<BIGNUM> n = host::group_order(group.get());
  rawcrypt::Owned<BIGNUM> v(BN_bin2bn(k.data(), static_cast<int>(k.size()), nullptr));
  for (int i = 0; i < times; ++i) BN_add(v.get(), v.get(), n.get());
  Bytes out(BN_num_bytes(v.get()));
  BN_bn2bin(v.get(), out.data());
  return out;
}

TEST(NoResidue, SecretsAreWipedBeforeTheHeapGetsThemBack) {
  const reference::RawKey key = reference::generate_key();
  const Bytes message(300, 0x4d);
  unsigned char sig[64];
  ecc_sign(key.d.data(), message.data(), sig, message.size());  // the library's set-up, unwatched

  // ecc_sign: the scalar, and the nonce read back from the signature. With
  // the generator stuck, one message gets the same nonce every time, so the
  // nonce of a first call is searched for in the blocks of a second.
  {
    testing_rand::ScopedRandMethod stuck(&testing_rand::stuck);
    testing_rand::stuck_byte = 0x42;  // below the order: every draw is taken
    ASSERT_EQ(ecc_sign(key.d.data(), message.data(), sig, message.size()), 1);
    const Bytes d(key.d.begin(), key.d.end());
    const auto [k, kinv] = nonce_of(d, message, sig);
    add_secret("private scalar", d);
    add_secret("nonce", k);
    add_secret("inverse nonce", kinv);
    add_secret("nonce + n", plus_order(k, 1));
    add_secret("nonce + 2n", plus_order(k, 2));
    unsigned char again[64];
    const auto leftovers = left_behind([&] { ecc_sign(key.d.data(), message.data(), again, message.size()); });
    EXPECT_TRUE(std::equal(sig, sig + 64, again)) << "the nonce was not the same";
    EXPECT_TRUE(leftovers.empty()) << "ecc_sign left the " << leftovers.front();
  }

  const Bytes aes_key = vectors::from_hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
  const Bytes iv(16, 0x01), des_key = vectors::from_hex("0123456789abcdef23456789abcdef01456789abcdef0123");
  Bytes in(4112, 0x77), out(4112);  // decryption reads a whole final block
  for (uint32_t length : {100u, 4100u}) {  // the low-level path and the EVP one
    add_secret("AES key", aes_key);
    auto leftovers = left_behind([&] { aes_enc(in.data(), length, aes_key.data(), iv.data(), out.data()); });
    EXPECT_TRUE(leftovers.empty()) << "aes_enc " << length << " left " << leftovers.front();
    add_secret("AES key", aes_key);
    leftovers = left_behind([&] { aes_dec(in.data(), length, aes_key.data(), iv.data(), out.data()); });
    EXPECT_TRUE(leftovers.empty()) << "aes_dec " << length << " left " << leftovers.front();
  }
  add_secret("DES key", des_key);
  auto leftovers = left_behind([&] { des3_dec(in.data(), 4096, des_key.data(), out.data()); });
  EXPECT_TRUE(leftovers.empty()) << "des3_dec left " << leftovers.front();

  for (size_t n : {48u, 3000u}) {  // a short text and a long one
    Bytes secret(n);
    for (size_t i = 0; i < n; ++i) secret[i] = static_cast<unsigned char>(i * 29 + 3);
    const std::string text = reference::base64_encode(secret, reference::kStandardAlphabet);
    int32_t length = 0;
    add_secret("decoded secret", secret);
    leftovers = left_behind([&] { base64_decode(text.c_str(), &length, out.data()); });
    EXPECT_TRUE(leftovers.empty()) << "base64_decode left " << leftovers.front();
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (!CRYPTO_set_mem_functions(watched_malloc, watched_realloc, watched_free)) return 2;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
