// rawcrypt: the host tool that speaks the device's formats.
#include <openssl/sha.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "helpers/encrypt.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes from_hex(const char* hex) {
  Bytes out(strlen(hex) / 2);
  for (size_t i = 0; i < out.size(); ++i) sscanf(hex + 2 * i, "%2hhx", &out[i]);
  return out;
}

std::string hex(const Bytes& b) {
  std::string out;
  char two[3];
  for (unsigned char c : b) {
    snprintf(two, sizeof two, "%02x", c);
    out += two;
  }
  return out;
}

// The road of one signature on a fixed demo key (NIST's first P-256 pair).
int demo() {
  Bytes d = from_hex("c9806898a0334916c860748880a541f093b579a9b1f32934d86c363c39800357");
  Bytes x = from_hex("d0720dc691aa80096ba32fed1cb97c2b620690d06de0317b8618d5ce65eb728f");
  Bytes y = from_hex("9681b517b1cda17d0d83d335d9c4a8a9a9b0b1b3c7106d8f3c72bc5093dc275f");
  const std::string text = "firmware image 1.4.2";
  Bytes msg(text.begin(), text.end());
  Bytes z(32);
  SHA256(msg.data(), msg.size(), z.data());
  std::printf("private scalar d : %s\n", hex(d).c_str());
  std::printf("public X         : %s\n", hex(x).c_str());
  std::printf("public Y         : %s\n", hex(y).c_str());
  std::printf("message          : \"%s\" (%zu bytes)\n", text.c_str(), msg.size());
  std::printf("SHA-256 digest   : %s\n", hex(z).c_str());
  Bytes sig(64);
  int signed_ok = ecc_sign(d.data(), msg.data(), sig.data(), msg.size());
  std::printf("ecc_sign         : %d\n", signed_ok);
  if (signed_ok != 1) return 1;
  std::printf("signature r      : %s\n", hex(Bytes(sig.begin(), sig.begin() + 32)).c_str());
  std::printf("signature s      : %s\n", hex(Bytes(sig.begin() + 32, sig.end())).c_str());
  int verified = ecc_verify(x.data(), y.data(), msg.data(), sig.data(), msg.size());
  std::printf("ecc_verify       : %d (%s)\n", verified, verified == 1 ? "valid" : "REJECTED");
  sig[10] ^= 0x01;
  int tampered = ecc_verify(x.data(), y.data(), msg.data(), sig.data(), msg.size());
  std::printf("one bit flipped  : %d (%s)\n", tampered, tampered == 1 ? "ACCEPTED" : "rejected");
  return verified == 1 && tampered != 1 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "demo") return demo();
  std::fprintf(stderr, "usage: rawcrypt demo\n");
  return 2;
}
