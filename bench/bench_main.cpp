// Costs of the helpers against the libcrypto paths that do the same per-call
// work. Prints one ratio per line; exits 1 when a goal was missed.
#include "target/compat.h"

#include <cstring>
#include <string>
#include <vector>

#include "bench/ratio.h"
#include "helpers/encrypt.h"
#include "target/owners.h"

namespace {

using rawcrypt::Owned;

// The first P-256 pair of NIST's KeyPair.rsp.
const unsigned char kD[32] = {0xc9, 0x80, 0x68, 0x98, 0xa0, 0x33, 0x49, 0x16, 0xc8, 0x60, 0x74,
                              0x88, 0x80, 0xa5, 0x41, 0xf0, 0x93, 0xb5, 0x79, 0xa9, 0xb1, 0xf3,
                              0x29, 0x34, 0xd8, 0x6c, 0x36, 0x3c, 0x39, 0x80, 0x03, 0x57};
const unsigned char kX[32] = {0xd0, 0x72, 0x0d, 0xc6, 0x91, 0xaa, 0x80, 0x09, 0x6b, 0xa3, 0x2f,
                              0xed, 0x1c, 0xb9, 0x7c, 0x2b, 0x62, 0x06, 0x90, 0xd0, 0x6d, 0xe0,
                              0x31, 0x7b, 0x86, 0x18, 0xd5, 0xce, 0x65, 0xeb, 0x72, 0x8f};
const unsigned char kY[32] = {0x96, 0x81, 0xb5, 0x17, 0xb1, 0xcd, 0xa1, 0x7d, 0x0d, 0x83, 0xd3,
                              0x35, 0xd9, 0xc4, 0xa8, 0xa9, 0xa9, 0xb0, 0xb1, 0xb3, 0xc7, 0x10,
                              0x6d, 0x8f, 0x3c, 0x72, 0xbc, 0x50, 0x93, 0xdc, 0x27, 0x5f};

void digest(const unsigned char* msg, size_t len, unsigned char out[32]) {
  rawcrypt::DigestContext md;
  unsigned int n = 0;
  EVP_DigestInit(md.get(), EVP_sha256());
  EVP_DigestUpdate(md.get(), msg, len);
  EVP_DigestFinal(md.get(), out, &n);
}

// The library's signature with the helper's per-call work.
int library_sign(const unsigned char* msg, size_t len) {
  unsigned char z[32];
  Owned<EC_KEY> key(EC_KEY_new_by_curve_name(NID_X9_62_prime256v1));
  Owned<BIGNUM> d(BN_bin2bn(kD, 32, nullptr));
  EC_KEY_set_private_key(key.get(), d.get());
  digest(msg, len, z);
  Owned<ECDSA_SIG> sig(ECDSA_do_sign(z, 32, key.get()));
  return sig != nullptr;
}

int library_verify(const unsigned char* msg, size_t len, ECDSA_SIG* sig) {
  unsigned char z[32];
  Owned<EC_KEY> key(EC_KEY_new_by_curve_name(NID_X9_62_prime256v1));
  Owned<BIGNUM> x(BN_bin2bn(kX, 32, nullptr)), y(BN_bin2bn(kY, 32, nullptr));
  EC_KEY_set_public_key_affine_coordinates(key.get(), x.get(), y.get());
  digest(msg, len, z);
  return ECDSA_do_verify(z, 32, sig, key.get());
}

bool bench_ecdsa() {
  const std::string msg(100, 'm');
  const auto* m = reinterpret_cast<const unsigned char*>(msg.data());
  unsigned char raw[64];
  ecc_sign(kD, m, raw, msg.size());
  Owned<ECDSA_SIG> sig(ECDSA_SIG_new());
  rawcrypt::ecdsa_sig_set0(sig.get(), BN_bin2bn(raw, 32, nullptr), BN_bin2bn(raw + 32, 32, nullptr));

  bool ok = true;
  // The road signs in the module's own code (hedged nonce, constant-time
  // inverse by exponentiation), which costs more than the library's own.
  ok &= report("ecc_sign / library sign",
               measure_ratio([&] { ecc_sign(kD, m, raw, msg.size()); },
                             [&] { library_sign(m, msg.size()); }, 31, 100),
               1.3);
  ok &= report("ecc_verify / library verify",
               measure_ratio([&] { ecc_verify(kX, kY, m, raw, msg.size()); },
                             [&] { library_verify(m, msg.size(), sig.get()); }, 31, 100),
               0.6);
  return ok;
}

void evp_cipher(const EVP_CIPHER* cipher, int encrypt, const unsigned char* in, int n,
                const unsigned char* key, const unsigned char* iv, unsigned char* out) {
  Owned<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key, iv, encrypt);
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  int written = 0;
  EVP_CipherUpdate(ctx.get(), out, &written, in, n);
}

void low_level_aes(int encrypt, const unsigned char* in, size_t n, const unsigned char* key,
                   const unsigned char* iv, unsigned char* out) {
  unsigned char chain[16];
  memcpy(chain, iv, 16);
  AES_KEY schedule;
  if (encrypt)
    AES_set_encrypt_key(key, 256, &schedule);
  else
    AES_set_decrypt_key(key, 256, &schedule);
  AES_cbc_encrypt(in, out, n, &schedule, chain, encrypt);
}

bool bench_ciphers() {
  std::vector<unsigned char> in(1 << 20, 0x3c), out(in.size());
  const unsigned char key[32] = {1, 2, 3}, iv[16] = {4, 5, 6};
  const int mib = static_cast<int>(in.size());
  bool ok = true;
  ok &= report("aes_enc 1 MiB / EVP AES-256-CBC",
               measure_ratio([&] { aes_enc(in.data(), mib, key, iv, out.data()); },
                             [&] { evp_cipher(EVP_aes_256_cbc(), 1, in.data(), mib, key, iv, out.data()); },
                             21, 5),
               1.05);
  ok &= report("aes_dec 1 MiB / EVP AES-256-CBC",
               measure_ratio([&] { aes_dec(in.data(), mib, key, iv, out.data()); },
                             [&] { evp_cipher(EVP_aes_256_cbc(), 0, in.data(), mib, key, iv, out.data()); },
                             21, 10),
               1.1);
  for (int encrypt : {1, 0}) {
    ok &= report(encrypt ? "aes_enc 64 B / low-level key schedule + CBC"
                         : "aes_dec 64 B / low-level key schedule + CBC",
                 measure_ratio([&] { (encrypt ? aes_enc : aes_dec)(in.data(), 64, key, iv, out.data()); },
                               [&] { low_level_aes(encrypt, in.data(), 64, key, iv, out.data()); },
                               31, 2000),
                 1.2);
  }
  const unsigned char key24[24] = {7, 8, 9};
  ok &= report("des3_dec 64 KiB / EVP DES-EDE3-ECB",
               measure_ratio([&] { des3_dec(in.data(), 65536, key24, out.data()); },
                             [&] { evp_cipher(EVP_des_ede3_ecb(), 0, in.data(), 65536, key24, nullptr, out.data()); },
                             21, 5),
               1.05);
  return ok;
}

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool bench_base64() {
  bool ok = true;
  struct Row {
    size_t bytes;
    const char* encode_name;
    double encode_goal;
    const char* decode_name;
    double decode_goal;
  } rows[] = {
      {size_t{1} << 20, "base64_encode 1 MiB / EVP_EncodeBlock", 0.30,
       "base64_decode 1 MiB / EVP_DecodeBlock", 0.45},
      {48, "base64_encode 48 B / EVP_EncodeBlock", 1.00, "base64_decode 64 chars / EVP_DecodeBlock", 1.00},
  };
  for (const Row& row : rows) {
    const size_t n = row.bytes;
    std::vector<unsigned char> bytes(n), decoded(n + 8);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<unsigned char>(i * 151 + 7);
    std::vector<char> text(4 * ((n + 2) / 3) + 1);
    const int calls = n > 1000 ? 10 : 20000;
    ok &= report(row.encode_name,
                 measure_ratio([&] { base64_encode(bytes.data(), n, kAlphabet, text.data()); },
                               [&] { EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(), n); },
                               21, calls),
                 row.encode_goal);
    int32_t length = 0;
    const int text_length = static_cast<int>(strlen(text.data()));
    ok &= report(row.decode_name,
                 measure_ratio([&] { base64_decode(text.data(), &length, decoded.data()); },
                               [&] { EVP_DecodeBlock(decoded.data(), reinterpret_cast<unsigned char*>(text.data()), text_length); },
                               21, calls),
                 row.decode_goal);
  }
  return ok;
}

}  // namespace

// rawcrypt_bench [--quick] [ecdsa|cipher|base64]
int main(int argc, char** argv) {
  std::string only;
  for (const std::string& word : bench_arguments(argc, argv)) only = word;
  bool ok = true;
  if (only.empty() || only == "ecdsa") ok &= bench_ecdsa();
  if (only.empty() || only == "cipher") ok &= bench_ciphers();
  if (only.empty() || only == "base64") ok &= bench_base64();
  return ok ? 0 : 1;
}
