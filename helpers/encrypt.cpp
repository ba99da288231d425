// The seven helpers of the device's application. Each call builds what it
// needs, uses it once and releases it before it returns; nothing is kept.
#include "target/compat.h"

#include "helpers/encrypt.h"

#include "helpers/base64.h"

#include <string.h>

#include "target/ecdsa_sign.h"
#include "target/library_errors.h"
#include "target/owners.h"
#include "target/console.h"
#include "target/secret.h"

RAWCRYPT_SHORT_CALLS_BEGIN
namespace rawcrypt {
namespace {

// ---- ECDSA P-256 / SHA-256 ----

constexpr int kCurve = NID_X9_62_prime256v1;
constexpr int kScalarBytes = 32;

// P-256's field prime, big-endian. A coordinate must lie below it: reducing
// it modulo p would let two encodings stand for one key.
constexpr unsigned char kFieldPrime[kScalarBytes] = {
    0xff, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

// P-256's group order n, big-endian.
constexpr unsigned char kOrder[kScalarBytes] = {
    0xff, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xbc, 0xe6, 0xfa, 0xad, 0xa7, 0x17,
    0x9e, 0x84, 0xf3, 0xb9, 0xca, 0xc2, 0xfc, 0x63, 0x25, 0x51};

// scalar_in_range: whether a private scalar lies in [1, n-1], in constant
// time (its bytes decide no branch and no index). Outside it, a signature
// would verify under no key (d = 0) or under another key than the one every
// standard tool derives from the scalar (d >= n).
bool scalar_in_range(const unsigned char* d) {
  unsigned borrow = 0, any = 0;
  for (int i = kScalarBytes - 1; i >= 0; --i) {
    borrow = (static_cast<unsigned>(d[i]) - kOrder[i] - borrow) >> 31;  // d < n so far
    any |= d[i];
  }
  const unsigned nonzero = (any + 0xffu) >> 8;  // 1 unless every byte is 0
  return (borrow & nonzero) != 0;
}

// The target's C library offers no memcmp to the module.
bool below_field_prime(const unsigned char* coordinate) {
  for (int i = 0; i < kScalarBytes; ++i)
    if (coordinate[i] != kFieldPrime[i]) return coordinate[i] < kFieldPrime[i];
  return false;
}

// Installs (x, y) as the key's public point when it is a point of the curve.
// The library's own affine-coordinate setter also checks n*Q = O, a second
// full scalar multiplication that P-256 (cofactor 1) does not need.
bool set_public_point(EC_KEY* key, const unsigned char* x_bytes, const unsigned char* y_bytes,
                      const BIGNUM* x, const BIGNUM* y) {
  if (!below_field_prime(x_bytes) || !below_field_prime(y_bytes)) return false;
  const EC_GROUP* group = EC_KEY_get0_group(key);
  Owned<EC_POINT> point(EC_POINT_new(group));
  return point && ec_point_set_affine(group, point.get(), x, y, nullptr) == 1 &&
         EC_KEY_set_public_key(key, point.get()) == 1;
}

// The SHA-256 digest of a message, zeros until it is made, and the length
// the library reports for it.
struct Digest {
  unsigned char bytes[SHA256_DIGEST_LENGTH] = {};
  unsigned int length = 0;
};

// The steps both ECDSA helpers start with: a SHA-256 digest begun and an EC
// key on the curve. Prints the failed step's line.
bool start_digest_and_key(DigestContext& md, Owned<EC_KEY>& key) {
  if (md.get() == nullptr || EVP_DigestInit(md.get(), EVP_sha256()) == 0) {
    say(Line::kDigestInit);
    return false;
  }
  key.reset(EC_KEY_new_by_curve_name(kCurve));
  if (!key) {
    say(Line::kEcKey);
    return false;
  }
  return true;
}

// Feeds the message and finishes the digest (which releases the context's
// digest state). Prints the failed step's line.
bool finish_digest(DigestContext& md, const unsigned char* message, uint32_t message_length,
                   Digest* digest) {
  if (EVP_DigestUpdate(md.get(), message, message_length) == 0) {
    say(Line::kDigestUpdate);
    return false;
  }
  if (EVP_DigestFinal(md.get(), digest->bytes, &digest->length) == 0) {
    say(Line::kDigestFinal);
    return false;
  }
  return true;
}

// ---- AES-256-CBC ----

constexpr size_t kAesBlock = 16;

// Below this many bytes a cipher context costs more than it saves: the
// low-level routine runs the whole call sooner than EVP can be set up.
constexpr uint32_t kAesEvpThreshold = 512;

// aes_cbc_low_level: the whole call through the low-level routine, whose
// partial-block rules the fast path reproduces. The chaining works on a copy
// of the caller's vector.
void aes_cbc_low_level(const unsigned char* input, uint32_t length, const unsigned char* key,
                       const unsigned char* iv, unsigned char* output, int encrypt) {
  Wiped<unsigned char[kAesBlock]> chain;
  memcpy(chain.value, iv, kAesBlock);
  Wiped<AES_KEY> schedule;
  if (encrypt)
    AES_set_encrypt_key(key, 256, &schedule.value);
  else
    AES_set_decrypt_key(key, 256, &schedule.value);
  AES_cbc_encrypt(input, output, length, &schedule.value, chain.value, encrypt);
}

// aes_cbc_evp: the same through EVP, which uses the CPU's AES instructions.
// A final partial block goes through a block on the stack: encryption takes
// it as padded with zeros and writes it whole; decryption reads a whole block
// and writes only length mod 16 bytes. Returns false, having written
// nothing, when EVP is unavailable.
bool aes_cbc_evp(const unsigned char* input, uint32_t length, const unsigned char* key,
                 const unsigned char* iv, unsigned char* output, int encrypt) {
  Owned<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key, iv, encrypt) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1)
    return false;
  const uint32_t whole = length - length % kAesBlock;
  const uint32_t tail = length % kAesBlock;
  Wiped<unsigned char[kAesBlock]> last;
  if (tail != 0) {  // read before any write, for in-place calls
    if (encrypt) {
      memset(last.value, 0, kAesBlock);
      memcpy(last.value, input + whole, tail);
    } else {
      memcpy(last.value, input + whole, kAesBlock);
    }
  }
  int written = 0;
  bool ok = EVP_CipherUpdate(ctx.get(), output, &written, input, static_cast<int>(whole)) == 1;
  // A refused first update wrote nothing, so the low-level routine can still
  // take the call; once blocks are written (perhaps over the input) there is
  // no going back, and a context that took them takes the last block too.
  if (ok && tail != 0) {
    Wiped<unsigned char[kAesBlock]> result;
    if (EVP_CipherUpdate(ctx.get(), result.value, &written, last.value, kAesBlock) == 1)
      memcpy(output + whole, result.value, encrypt ? kAesBlock : tail);
  }
  return ok;
}

void aes_cbc(const unsigned char* input, uint32_t length, const unsigned char* key,
             const unsigned char* iv, unsigned char* output, int encrypt) {
  // EVP takes an int length; larger buffers are rare enough for the slow path.
  if (length >= kAesEvpThreshold && length <= 0x7ffffff0u &&
      aes_cbc_evp(input, length, key, iv, output, encrypt))
    return;
  aes_cbc_low_level(input, length, key, iv, output, encrypt);
}

// ---- Triple-DES ----

constexpr size_t kDesBlock = 8;

// des_block: libcrypto's DES types drop the const of blocks it only reads.
const_DES_cblock* des_block(const unsigned char* bytes) {
  return reinterpret_cast<const_DES_cblock*>(const_cast<unsigned char*>(bytes));
}

}  // namespace
}  // namespace rawcrypt
RAWCRYPT_SHORT_CALLS_END

using namespace rawcrypt;

// ---- ECDSA P-256 / SHA-256 ----

extern "C" int ecc_sign(const unsigned char* private_key, const unsigned char* message,
                        unsigned char* signature, uint32_t message_length) {
  Digest digest;
  DigestContext md;
  Owned<EC_KEY> key;
  if (!start_digest_and_key(md, key)) return 0;
  SecretBn scalar(BN_bin2bn(private_key, kScalarBytes, nullptr));
  if (!scalar) {
    say(Line::kKeyBin2bn);
    return 0;
  }
  // A refusal shows, so whether the scalar is in range may decide a branch.
  if (!public_bit(scalar_in_range(private_key)) ||
      EC_KEY_set_private_key(key.get(), scalar.get()) != 1) {
    say(Line::kSetPrivateKey);
    return 0;
  }
  if (!finish_digest(md, message, message_length, &digest)) return 0;
  Owned<ECDSA_SIG> sig(rawcrypt::ECDSA_do_sign(digest.bytes, static_cast<int>(digest.length), key.get()));
  if (!sig) {
    say(Line::kDoSign);
    return 0;
  }
  // Both halves are below the curve order, so they always fit; the caller's
  // buffer is written in one piece or not at all.
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ecdsa_sig_get0(sig.get(), &r, &s);
  unsigned char raw[2 * kScalarBytes];
  if (!bn_to_be32(r, raw) || !bn_to_be32(s, raw + kScalarBytes)) return 0;
  memcpy(signature, raw, sizeof raw);
  return 1;
}

extern "C" int ecc_verify(const unsigned char* public_x, const unsigned char* public_y,
                          const unsigned char* message, const unsigned char* signature,
                          uint32_t message_length) {
  const AllocationFailureWatch allocations;
  Digest digest;
  DigestContext md;
  Owned<EC_KEY> key;
  if (!start_digest_and_key(md, key)) return 0;
  {
    Owned<BIGNUM> x(BN_bin2bn(public_x, kScalarBytes, nullptr));
    if (!x) {
      say(Line::kPublicX);
      return 0;
    }
    Owned<BIGNUM> y(BN_bin2bn(public_y, kScalarBytes, nullptr));
    if (!y) {
      say(Line::kPublicY);
      return 0;
    }
    if (!set_public_point(key.get(), public_x, public_y, x.get(), y.get())) {
      say(Line::kSetPublicKey);
      return 0;
    }
  }
  if (!finish_digest(md, message, message_length, &digest)) return 0;
  Owned<ECDSA_SIG> sig(ECDSA_SIG_new());
  Owned<BIGNUM> r(BN_bin2bn(signature, kScalarBytes, nullptr));
  Owned<BIGNUM> s(BN_bin2bn(signature + kScalarBytes, kScalarBytes, nullptr));
  if (!sig || !r || !s) {
    say(Line::kSignatureObjects, sig.get(), r.get(), s.get());
    return 0;
  }
  if (!ecdsa_sig_set0(sig.get(), r.get(), s.get())) return 0;
  r.release();  // the signature object owns both halves now
  s.release();
  const int verdict = ECDSA_do_verify(digest.bytes, static_cast<int>(digest.length), sig.get(), key.get());
  // A 0 that a lost allocation produced (the group, the key or the check
  // built on a wrong number) is the library's failure, not the signature's.
  return verdict == 0 && allocations.seen() ? -1 : verdict;
}

// ---- AES-256-CBC ----

extern "C" void aes_enc(const unsigned char* input, uint32_t length, const unsigned char* key,
                        const unsigned char* iv, unsigned char* output) {
  aes_cbc(input, length, key, iv, output, AES_ENCRYPT);
}

extern "C" void aes_dec(const unsigned char* input, uint32_t length, const unsigned char* key,
                        const unsigned char* iv, unsigned char* output) {
  aes_cbc(input, length, key, iv, output, AES_DECRYPT);
}

// ---- Triple-DES ----

extern "C" void des3_dec(const unsigned char* input, uint32_t length, const unsigned char* key,
                         unsigned char* output) {
  Wiped<DES_key_schedule[3]> schedules;
  DES_key_schedule* k = schedules.value;
  for (int i = 0; i < 3; ++i) DES_set_key_unchecked(des_block(key + i * kDesBlock), &k[i]);
  // Counted in blocks, so a length near 2^32 cannot wrap an offset.
  const uint32_t blocks = length / kDesBlock + (length % kDesBlock != 0);
  for (uint32_t i = 0; i < blocks; ++i) {
    const size_t offset = static_cast<size_t>(i) * kDesBlock;
    DES_ecb3_encrypt(des_block(input + offset),
                     reinterpret_cast<DES_cblock*>(output + offset), &k[0], &k[1], &k[2], DES_DECRYPT);
  }
}

// ---- Base64 (helpers/base64.cpp) ----

extern "C" void base64_encode(const unsigned char* input, int32_t length, const char* alphabet,
                              char* output) {
  base64::encode(base64::best(), input, length, alphabet, output);
}

extern "C" int base64_decode(const char* text, int32_t* output_length, unsigned char* output) {
  return base64::decode(base64::best(), text, output_length, output);
}
