// The demo command: the road of one signature on a fixed demo key, step by
// step, then an AES-256-CBC round trip; with its help. Touches standard
// output only.
#include "host/compat.h"

#include "tools/rawcrypt/command.h"

#include <openssl/sha.h>

#include <cstdio>

#include "helpers/encrypt.h"
#include "host/keys.h"
#include "tools/rawcrypt/base64_text.h"
#include "tools/rawcrypt/formats.h"

namespace cli {
namespace {

// The road of one signature on a fixed demo key (NIST's first P-256 pair).
int demo(const Words& words) {
  if (!words.empty()) unknown_command("demo");  // it takes no words
  const SecretBytes d = host::from_hex(host::kDemoPrivateHex);
  const SecretBytes x = host::from_hex(host::kDemoPublicXHex), y = host::from_hex(host::kDemoPublicYHex);
  const std::string text = "firmware image 1.4.2";
  const Bytes msg(text.begin(), text.end());
  Bytes z(32);
  SHA256(msg.data(), msg.size(), z.data());
  std::printf("private scalar d  : %s\n", host::to_hex(d).c_str());
  std::printf("public X          : %s\n", host::to_hex(x).c_str());
  std::printf("public Y          : %s\n", host::to_hex(y).c_str());
  std::printf("message           : \"%s\" (%zu bytes)\n", text.c_str(), msg.size());
  std::printf("SHA-256 digest    : %s\n", host::to_hex(z).c_str());
  Bytes sig(64);
  const int signed_ok = ecc_sign(d.data(), msg.data(), sig.data(), device_length(msg.size()));
  std::printf("ecc_sign          : %d\n", signed_ok);
  if (signed_ok != 1) return 1;
  std::printf("signature r       : %s\n", host::to_hex(sig.data(), 32).c_str());
  std::printf("signature s       : %s\n", host::to_hex(sig.data() + 32, 32).c_str());
  std::printf("signature Base64  : %s\n", base64(sig.data(), sig.size(), host::kStandardAlphabet).c_str());
  const int verified = ecc_verify(x.data(), y.data(), msg.data(), sig.data(), device_length(msg.size()));
  std::printf("ecc_verify        : %d (%s)\n", verified, verified == 1 ? "valid" : "REJECTED");
  sig[10] ^= 0x01;
  const int tampered = ecc_verify(x.data(), y.data(), msg.data(), sig.data(), device_length(msg.size()));
  std::printf("one bit flipped   : %d (%s)\n", tampered, tampered == 1 ? "ACCEPTED" : "rejected");

  const SecretBytes key = host::from_hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
  const Bytes iv = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  Bytes block(text.begin(), text.end());
  block.resize(32, 0);
  Bytes sealed(32), opened(32);
  aes_enc(block.data(), 32, key.data(), iv.data(), sealed.data());
  aes_dec(sealed.data(), 32, key.data(), iv.data(), opened.data());
  std::printf("AES-256-CBC       : %s\n", host::to_hex(sealed).c_str());
  std::printf("decrypted again   : \"%s\" (%s)\n", reinterpret_cast<const char*>(opened.data()),
              opened == block ? "round trip ok" : "MISMATCH");
  return verified == 1 && tampered != 1 && opened == block ? 0 : 1;
}

}  // namespace

const Command kDemo = {
    "demo", "the road of one signature, step by step",
    "rawcrypt demo\n"
    "  Signs a fixed message with a demo key, verifies it and a copy with one bit\n"
    "  flipped, printing each step, then encrypts and decrypts it with AES-256-CBC.\n",
    demo};

}  // namespace cli
