// Signatures per second with a P-256 key in a token, through the tool's own
// PKCS#11 road (SHA-256 on the host, CKM_ECDSA in the token, the ecc_verify
// check), beside a key file's scalar signing with ecc_sign: alternated in
// one process, so that a busy machine slows both alike.
#include <cstdio>
#include <string>

#include "bench/ratio.h"
#include "helpers/encrypt.h"
#include "host/keys.h"
#include "tools/rawcrypt/token_key.h"

// rawcrypt_pkcs11_bench [--quick] URI   (URI names a P-256 private key)
int main(int argc, char** argv) {
  std::string uri;
  for (const std::string& word : bench_arguments(argc, argv)) uri = word;
  if (uri.empty()) {
    std::fputs("usage: rawcrypt_pkcs11_bench [--quick] 'pkcs11:token=...;object=...?pin-source=file:PATH'\n", stderr);
    return 2;
  }
  try {
    const auto* text = reinterpret_cast<const unsigned char*>(uri.data());
    cli::TokenKey token(host::SecretBytes(text, text + uri.size()), cli::TokenKey::kSign);
    const host::RawKeyPair file = host::generate_key();
    const std::string message(100, 'm');
    const auto* m = reinterpret_cast<const unsigned char*>(message.data());
    unsigned char sig[64];
    const Ratio sign = measure_ratio([&] { token.sign(m, message.size()); },
                                     [&] { ecc_sign(file.d.data(), m, sig, message.size()); }, 11, 40);
    std::printf("signatures per second: token %.0f, key file %.0f (the token's road takes %.2f times as long)\n",
                1e6 / sign.a_us, 1e6 / sign.b_us, sign.ratio);
    const Ratio check = measure_ratio([&] { ecc_verify(file.x.data(), file.y.data(), m, sig, message.size()); },
                                      [&] { ecc_sign(file.d.data(), m, sig, message.size()); }, 11, 40);
    std::printf("of the token's road, the ecc_verify check: %.0f us a signature\n", check.a_us);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "rawcrypt_pkcs11_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
