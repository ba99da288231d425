// The tool built without p11-kit (a cross build, or a host without
// libp11-kit-dev): a PKCS#11 URI is refused by name.
#include "tools/rawcrypt/token_key.h"

namespace cli {
namespace {

[[noreturn]] void refuse() {
  throw Failure("this rawcrypt was built without PKCS#11 (p11-kit was not found when it was built)");
}

}  // namespace

struct TokenKey::State {};

TokenKey::TokenKey(const host::SecretBytes&, Use) { refuse(); }
TokenKey::~TokenKey() = default;
host::Bytes TokenKey::sign(const unsigned char*, size_t) { refuse(); }
host::RawKeyPair TokenKey::public_key() { refuse(); }
void TokenKey::cipher(const unsigned char*, size_t, const unsigned char*, unsigned char*) { refuse(); }
void generate_in_token(const host::SecretBytes&, const std::function<void()>&,
                       const std::function<void(const host::RawKeyPair&)>&) {
  refuse();
}
std::string token_listing(const host::SecretBytes*) { refuse(); }

}  // namespace cli
