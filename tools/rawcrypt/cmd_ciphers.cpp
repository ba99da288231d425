// The commands of ciphers: encrypt and decrypt (AES-256-CBC) and
// des3-decrypt, streamed in chunks, each with its options and its help.
// Touches the files and the token its options name.
#include "tools/rawcrypt/command.h"

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include <openssl/crypto.h>

#include "helpers/encrypt.h"
#include "tools/rawcrypt/failure.h"
#include "tools/rawcrypt/formats.h"
#include "tools/rawcrypt/help_lines.h"
#include "tools/rawcrypt/inputs.h"

namespace cli {
namespace {

const std::set<std::string> kCipherOptions = {"--key", "--key-hex", "--iv", "--iv-hex", "--in", "--out"};
const std::vector<std::pair<std::string, std::string>> kKeyForms = {{"--key", "--key-hex"}, {"--iv", "--iv-hex"}};

size_t pad_length(const unsigned char* last_block, size_t block) {
  const size_t n = last_block[block - 1];
  bool ok = n >= 1 && n <= block;
  for (size_t i = 0; ok && i < n; ++i) ok = last_block[block - 1 - i] == n;
  if (!ok) throw Failure("bad padding: the last block does not end in PKCS#7 padding (wrong key or iv?)");
  return n;
}

// Runs a block cipher over the input as it streams, in chunks; with --pad
// the final block is padded (encryption) or held back and unpadded
// (decryption). chunk_fn(in, length, out) transforms whole blocks and
// carries the chaining itself.
int run_cipher(const Args& args, size_t block, bool encrypt,
               const std::function<void(const unsigned char*, size_t, unsigned char*)>& chunk_fn) {
  const bool pad = args.has("--pad");
  Input in(args.get("--in", "-"));
  Output out(args.get("--out", "-"));
  std::vector<unsigned char> data(kChunk + block), result(kChunk + block);
  size_t have = 0, total = 0;
  for (bool end = false; !end;) {
    const size_t n = in.read(data.data() + have, kChunk - have);
    have += n;
    total += n;
    end = have < kChunk;
    size_t process = have - have % block;
    if (!encrypt && pad) {  // the last block is unpadded apart
      if (end && (have == 0 || have % block != 0))
        throw Failure(total == 0 ? "input is empty: no padding to remove"
                                 : "input is " + std::to_string(total) + " bytes, not a whole number of " +
                                       std::to_string(block) + "-byte blocks");
      process -= block;
    } else if (!(encrypt && pad) && end && have % block != 0) {
      throw Failure("input is " + std::to_string(total) + " bytes, not a whole number of " + std::to_string(block) +
                    "-byte blocks" + (encrypt ? " (--pad adds PKCS#7 padding)" : ""));
    }
    if (process > 0) {
      chunk_fn(data.data(), process, result.data());
      out.write(result.data(), process);
      memmove(data.data(), data.data() + process, have - process);
      have -= process;
    }
  }
  if (encrypt && pad) {  // have < block bytes remain
    memset(data.data() + have, static_cast<int>(block - have), block - have);
    chunk_fn(data.data(), block, result.data());
    out.write(result.data(), block);
  } else if (!encrypt && pad) {  // one block remains
    chunk_fn(data.data(), block, result.data());
    out.write(result.data(), block - pad_length(result.data(), block));
  }
  OPENSSL_cleanse(data.data(), data.size());
  OPENSSL_cleanse(result.data(), result.size());
  out.commit();
  return 0;
}

int aes(const Words& words, bool encrypt) {
  const Args args(words, kCipherOptions, {"--pad"}, kKeyForms);
  const std::unique_ptr<TokenKey> token = token_key(args, encrypt ? TokenKey::kAesEncrypt : TokenKey::kAesDecrypt);
  const SecretBytes key = token ? SecretBytes() : key_bytes(args, "--key", 32, "AES-256 key");
  SecretBytes iv = key_bytes(args, "--iv", 16, "iv");
  return run_cipher(args, 16, encrypt, [&](const unsigned char* in, size_t n, unsigned char* out) {
    // The helpers start from the caller's vector each call; chunks chain
    // through the last ciphertext block.
    unsigned char next_iv[16];
    memcpy(next_iv, in + n - 16, 16);  // decryption chains on the ciphertext read
    if (token)
      token->cipher(in, n, iv.data(), out);
    else
      (encrypt ? aes_enc : aes_dec)(in, static_cast<uint32_t>(n), key.data(), iv.data(), out);
    if (encrypt) memcpy(next_iv, out + n - 16, 16);  // encryption on the ciphertext written
    memcpy(iv.data(), next_iv, 16);
  });
}

int des3_decrypt(const Words& words) {
  const Args args(words, {"--key", "--key-hex", "--in", "--out"}, {"--pad"}, kKeyForms);
  const std::unique_ptr<TokenKey> token = token_key(args, TokenKey::kDes3Decrypt);
  const SecretBytes key = token ? SecretBytes() : key_bytes(args, "--key", 24, "triple-DES key");
  return run_cipher(args, 8, false, [&](const unsigned char* in, size_t n, unsigned char* out) {
    if (token)
      token->cipher(in, n, nullptr, out);
    else
      des3_dec(in, static_cast<uint32_t>(n), key.data(), out);
  });
}

int encrypt(const Words& words) { return aes(words, true); }
int decrypt(const Words& words) { return aes(words, false); }

}  // namespace

const Command kEncrypt = {
    "encrypt", "AES-256-CBC, whole blocks (or --pad for PKCS#7)",
    "rawcrypt encrypt (--key FILE|URI | --key-hex HEX) (--iv FILE | --iv-hex HEX)\n"
    "                 [--in FILE] [--out FILE] [--pad]\n" RAWCRYPT_AES_KEYS
    "  --pad               add PKCS#7 padding (1 to 16 bytes): any length goes\n"
    "  Streams; without --pad the input must be whole 16-byte blocks.\n" RAWCRYPT_KEY_HEX_NOTE
    RAWCRYPT_TOKEN_CIPHER_NOTE,
    encrypt};

const Command kDecrypt = {
    "decrypt", "AES-256-CBC",
    "rawcrypt decrypt (--key FILE|URI | --key-hex HEX) (--iv FILE | --iv-hex HEX)\n"
    "                 [--in FILE] [--out FILE] [--pad]\n" RAWCRYPT_AES_KEYS RAWCRYPT_UNPAD
    "  Streams; the input must be whole 16-byte blocks.\n" RAWCRYPT_KEY_HEX_NOTE
    RAWCRYPT_TOKEN_CIPHER_NOTE,
    decrypt};

const Command kDes3Decrypt = {
    "des3-decrypt", "triple-DES ECB decryption, 24-byte key",
    "rawcrypt des3-decrypt (--key FILE|URI | --key-hex HEX)\n"
    "                      [--in FILE] [--out FILE] [--pad]\n"
    "  --key FILE|URI      the triple-DES key: a 24-byte key file, or a PKCS#11 URI\n"
    "  --key-hex HEX       the key as 48 hex digits (see below)\n" RAWCRYPT_IN_OUT RAWCRYPT_UNPAD
    "  Streams; the input must be whole 8-byte blocks.\n" RAWCRYPT_KEY_HEX_NOTE
    "  A PKCS#11 URI names a triple-DES key (CKM_DES3_ECB in the token).\n",
    des3_decrypt};

}  // namespace cli
