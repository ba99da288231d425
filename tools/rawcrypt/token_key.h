// Keys that never leave a token, reached through PKCS#11: a key is named by
// an RFC 7512 URI ("pkcs11:token=LABEL;object=NAME"), parsed and its module
// loaded by p11-kit; the PKCS#11 functions are called directly. Errors are
// Failures that name the token and the object and show the URI without its
// pin-value; no PIN or key byte is ever part of one. The library that the
// tool and the bench link (rawcrypt_pkcs11); touches the tokens it is given.
#ifndef RAWCRYPT_TOOLS_RAWCRYPT_TOKEN_KEY_H
#define RAWCRYPT_TOOLS_RAWCRYPT_TOKEN_KEY_H

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "host/keys.h"
#include "tools/rawcrypt/failure.h"

namespace cli {

// TokenKey: the one key a URI names in the one token it names, in a session
// that stays open (and logged in where the token asks for a PIN) for as long
// as the owner lives. The constructor refuses a key that its use cannot take:
// another curve than P-256, another AES size than 256 bits, a token without
// the mechanism.
class TokenKey {
 public:
  enum Use { kSign, kPublic, kAesEncrypt, kAesDecrypt, kDes3Decrypt };
  TokenKey(const host::SecretBytes& uri, Use use);
  ~TokenKey();
  TokenKey(const TokenKey&) = delete;
  TokenKey& operator=(const TokenKey&) = delete;

  // sign: SHA-256 of the message on the host, CKM_ECDSA over it in the
  // token: r||s, checked with ecc_verify against the key's public point
  // wherever the token has one. A key that asks for the PIN at each use
  // (CKA_ALWAYS_AUTHENTICATE) gets the same PIN again, kept until then.
  host::Bytes sign(const unsigned char* message, size_t size);
  // public_key: X and Y, from the public key object or the private key's
  // CKA_EC_POINT; when the URI gives the PIN, the two must agree where the
  // token keeps both.
  host::RawKeyPair public_key();
  // cipher: whole blocks through CKM_AES_CBC from `iv` (16 bytes), or
  // CKM_DES3_ECB (no iv), in the direction the key was opened for.
  void cipher(const unsigned char* in, size_t size, const unsigned char* iv, unsigned char* out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// generate_in_token: a fresh P-256 pair made inside the token, named by the
// URI's object= (and id=, or 8 random bytes): the private half sensitive,
// never extractable, not modifiable and for signing only. Refused when an
// object of that name (or id) exists, before or (another keygen at once)
// after the pair is made. `prepare` readies what publishes the pair once the
// token is found willing (the files opened: nothing waits once a pair
// exists); `publish` writes the public half. When it fails, as on any
// failure after the pair was made, or a signal would end the tool before the
// half is published, the pair leaves the token (and then the signal ends
// the tool).
void generate_in_token(const host::SecretBytes& uri, const std::function<void()>& prepare,
                       const std::function<void(const host::RawKeyPair&)>& publish);

// token_listing: the tokens the modules offer (those a URI names, when one
// is given) with their P-256 and AES-256 keys, each with its URI. Private
// objects are listed where the URI names one token and gives its PIN.
std::string token_listing(const host::SecretBytes* uri);

}  // namespace cli

#endif  // RAWCRYPT_TOOLS_RAWCRYPT_TOKEN_KEY_H
