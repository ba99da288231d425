// A token's key in use: opened for its use, signing, its public point, and
// AES or triple-DES in the token.
#include "host/compat.h"

#include "tools/rawcrypt/token_key.h"

#include <openssl/sha.h>

#include <algorithm>
#include <cstring>

#include <unistd.h>

#include "helpers/encrypt.h"
#include "tools/rawcrypt/console.h"
#include "tools/rawcrypt/token_search.h"

namespace cli {
namespace {

// Tokens may refuse long single-part operations: ciphers go to them in
// pieces of at most this size, chained on the host.
constexpr size_t kPiece = size_t{64} << 10;

}  // namespace

struct TokenKey::State {
  State(const SecretBytes& uri, Use u) : token(uri, false), use(u) {}
  // again: after each operation's C_*Init, the PIN once more for a key that
  // asks for it at each use (CKA_ALWAYS_AUTHENTICATE).
  void again() {
    if (always) token.log_in_as(CKU_CONTEXT_SPECIFIC);
  }
  Opened token;
  Use use;
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  RawKeyPair point;  // empty when the token keeps no public point
  bool always = false;
};

TokenKey::TokenKey(const SecretBytes& uri, Use use) : state_(new State(uri, use)) {
  Opened& t = state_->token;
  // The public key object may be read without the PIN; with a PIN in the
  // URI it is checked against the private key's own point.
  if (use == kPublic && (t.parsed.gives_pin() || !t.public_point(CK_INVALID_HANDLE, &state_->point))) {
    // No public key object: where no PIN can be had, its absence is the news.
    if (!t.parsed.gives_pin() && (t.slot.info.flags & CKF_LOGIN_REQUIRED) && !isatty(0))
      t.context.fail("token " + quoted(t.context.token) + " has no EC public key" +
                     (t.parsed.object.empty() ? "" : " " + t.parsed.object) +
                     "; if only its private key is there, give the PIN (pin-source=file:PATH)");
    t.log_in();
    const CK_OBJECT_HANDLE key = t.one_key(CKO_PRIVATE_KEY, CKK_EC, "EC key", true);
    if (key != CK_INVALID_HANDLE) t.require_p256(key);
    if (!t.public_point(key, &state_->point)) {
      if (key == CK_INVALID_HANDLE) t.none("EC key");
      t.context.fail(t.key() + " has no public point");
    }
  } else if (use != kPublic) {
    t.log_in();
    if (use == kSign) {
      state_->key = t.one_key(CKO_PRIVATE_KEY, CKK_EC, "EC private key");
      t.require_p256(state_->key);
      t.require(CKM_ECDSA, CKF_SIGN, "CKM_ECDSA");
      t.public_point(state_->key, &state_->point);
    } else if (use == kDes3Decrypt) {
      state_->key = t.one_key(CKO_SECRET_KEY, CKK_DES3, "triple-DES key");
      t.require(CKM_DES3_ECB, CKF_DECRYPT, "CKM_DES3_ECB");
    } else {
      state_->key = t.one_key(CKO_SECRET_KEY, CKK_AES, "AES key");
      const CK_ULONG size = number(t.session, state_->key, CKA_VALUE_LEN);
      if (size != 32)
        t.context.fail(t.key() + " is not an AES-256 key (" + std::to_string(size) + " bytes, not 32)");
      t.require(CKM_AES_CBC, use == kAesEncrypt ? CKF_ENCRYPT : CKF_DECRYPT, "CKM_AES_CBC");
    }
    state_->always = attribute(t.session, state_->key, CKA_ALWAYS_AUTHENTICATE) == Bytes{CK_TRUE};
  }
  if (!state_->always) t.forget_pin();
}

TokenKey::~TokenKey() = default;

Bytes TokenKey::sign(const unsigned char* message, size_t size) {
  const Opened& t = state_->token;
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(message, size, digest);
  CK_MECHANISM ecdsa = {CKM_ECDSA, nullptr, 0};
  // Room for a signature in another form than r||s (DER), told apart by its length.
  Bytes sig(256);
  CK_ULONG length = sig.size();
  CK_FUNCTION_LIST* f = t.session.f();
  t.context.check(f->C_SignInit(t.session.handle(), &ecdsa, state_->key), "C_SignInit");
  state_->again();
  t.context.check(f->C_Sign(t.session.handle(), digest, sizeof digest, sig.data(), &length), "C_Sign");
  if (length != 64)
    t.context.fail(t.key() + " gave a signature of " + std::to_string(length) + " bytes, not the 64 of r||s");
  sig.resize(64);
  // The device's own check, before the signature leaves the tool.
  const RawKeyPair& p = state_->point;
  int valid = 1;
  if (!p.x.empty())
    console_of([&] { valid = ecc_verify(p.x.data(), p.y.data(), message, sig.data(), static_cast<uint32_t>(size)); });
  if (valid != 1)
    t.context.fail("the signature made with " + t.key() + " does not verify against its public key");
  return sig;
}

host::RawKeyPair TokenKey::public_key() {
  if (state_->point.x.empty()) state_->token.context.fail(state_->token.key() + " has no public point");
  return {{}, state_->point.x, state_->point.y};
}

void TokenKey::cipher(const unsigned char* in, size_t size, const unsigned char* iv, unsigned char* out) {
  const Opened& t = state_->token;
  const bool aes = state_->use != kDes3Decrypt, encrypt = state_->use == kAesEncrypt;
  CK_FUNCTION_LIST* f = t.session.f();
  unsigned char chain[16];
  if (aes) memcpy(chain, iv, sizeof chain);
  for (size_t done = 0; done < size;) {
    const size_t n = std::min(kPiece, size - done);
    CK_MECHANISM mechanism = {aes ? CKM_AES_CBC : CKM_DES3_ECB, aes ? chain : nullptr, aes ? sizeof chain : 0};
    auto* from = const_cast<unsigned char*>(in + done);
    CK_ULONG written = n;
    if (encrypt) {
      t.context.check(f->C_EncryptInit(t.session.handle(), &mechanism, state_->key), "C_EncryptInit");
      state_->again();
      t.context.check(f->C_Encrypt(t.session.handle(), from, n, out + done, &written), "C_Encrypt");
    } else {
      t.context.check(f->C_DecryptInit(t.session.handle(), &mechanism, state_->key), "C_DecryptInit");
      state_->again();
      t.context.check(f->C_Decrypt(t.session.handle(), from, n, out + done, &written), "C_Decrypt");
    }
    if (written != n)
      t.context.fail(t.key() + " gave " + std::to_string(written) + " bytes for " + std::to_string(n));
    if (aes) memcpy(chain, (encrypt ? out : in) + done + n - 16, 16);  // CBC chains on the ciphertext
    done += n;
  }
}

}  // namespace cli
