#include "target/nonce.h"

#include "target/secret.h"

#include <string.h>

RAWCRYPT_SHORT_CALLS_BEGIN
namespace rawcrypt {
namespace {

constexpr int kMaxOctets = 66;  // P-521
constexpr size_t kHash = SHA256_DIGEST_LENGTH;
constexpr size_t kBlock = SHA256_CBLOCK;

// HMAC-SHA-256 over the low-level hash: the key's inner and outer states are
// computed once per key and copied for each MAC. Every state is wiped.
class Hmac {
 public:
  void rekey(const unsigned char key[kHash]) {
    Wiped<unsigned char[kBlock]> pad;
    memset(pad.value, 0x36, kBlock);
    for (size_t i = 0; i < kHash; ++i) pad.value[i] ^= key[i];
    SHA256_Init(&inner_.value);
    SHA256_Update(&inner_.value, pad.value, kBlock);
    for (size_t i = 0; i < kBlock; ++i) pad.value[i] ^= 0x36 ^ 0x5c;
    SHA256_Init(&outer_.value);
    SHA256_Update(&outer_.value, pad.value, kBlock);
  }

  // mac: out = HMAC(key, parts[0] || parts[1] || ...).
  struct Part {
    const unsigned char* data;
    size_t size;
  };
  void mac(unsigned char out[kHash], const Part* parts, size_t count) {
    Wiped<SHA256_CTX> ctx;
    ctx.value = inner_.value;
    for (size_t i = 0; i < count; ++i) SHA256_Update(&ctx.value, parts[i].data, parts[i].size);
    Wiped<unsigned char[kHash]> inner_hash;
    SHA256_Final(inner_hash.value, &ctx.value);
    ctx.value = outer_.value;
    SHA256_Update(&ctx.value, inner_hash.value, kHash);
    SHA256_Final(out, &ctx.value);
  }

 private:
  Wiped<SHA256_CTX> inner_;
  Wiped<SHA256_CTX> outer_;
};

// The DRBG's secrets, held together and wiped on every return.
struct DrbgBuffers {
  unsigned char K[kHash];
  unsigned char V[kHash];
  unsigned char seed[3 * kMaxOctets];  // int2octets(x) || bits2octets(h) || k'
  unsigned char T[kMaxOctets + kHash];
};

// bits2int: the leftmost qlen bits of the bytes as a number.
bool bits2int(BIGNUM* out, const unsigned char* bytes, int size, int qlen) {
  if (BN_bin2bn(bytes, size, out) == nullptr) return false;
  return 8 * size <= qlen || BN_rshift(out, out, 8 * size - qlen);
}

}  // namespace

int derive_nonce(BIGNUM* k, const BIGNUM* order, const BIGNUM* priv, const unsigned char* digest,
                 int digest_len, const BIGNUM* extra, BN_CTX* ctx) {
  const int qlen = BN_num_bits(order);
  const int rlen = (qlen + 7) / 8;
  if (rlen > kMaxOctets || digest_len < 0) return 0;
  Wiped<DrbgBuffers> state;
  DrbgBuffers& s = state.value;
  Hmac hmac;

  // bits2octets(h) = int2octets(bits2int(h) mod q). A digest cut to qlen bits
  // is below 2q, as are the scalars the module meets, so one subtraction
  // reduces each; anything larger goes through a division.
  BN_CTX_start(ctx);
  BIGNUM* t = BN_CTX_get(ctx);
  bool ok = t != nullptr;
  if (ok) BN_set_flags(t, BN_FLG_CONSTTIME);
  auto reduced_octets = [&](const BIGNUM* v, unsigned char* out) {
    const BIGNUM* below = v;
    if (BN_cmp(v, order) >= 0) {
      if (!BN_sub(t, v, order) || (BN_cmp(t, order) >= 0 && !BN_nnmod(t, t, order, ctx)))
        return false;
      below = t;
    }
    return bn_to_padded(below, out, rlen) == 1;
  };
  ok = ok && reduced_octets(priv, s.seed);
  BIGNUM* z = ok ? BN_CTX_get(ctx) : nullptr;
  ok = z != nullptr && bits2int(z, digest, digest_len, qlen) && reduced_octets(z, s.seed + rlen);
  int seed_len = 2 * rlen;
  if (ok && extra != nullptr) {
    ok = reduced_octets(extra, s.seed + seed_len);
    seed_len += rlen;
  }
  if (t != nullptr) BN_clear(t);
  BN_CTX_end(ctx);
  if (!ok) return 0;

  static const unsigned char zero = 0x00, one = 0x01;
  memset(s.V, 0x01, kHash);
  memset(s.K, 0x00, kHash);
  const unsigned char* separators[] = {&zero, &one};
  for (const unsigned char* sep : separators) {
    const Hmac::Part parts[] = {{s.V, kHash}, {sep, 1}, {s.seed, static_cast<size_t>(seed_len)}};
    hmac.rekey(s.K);
    hmac.mac(s.K, parts, 3);
    hmac.rekey(s.K);
    const Hmac::Part v[] = {{s.V, kHash}};
    hmac.mac(s.V, v, 1);
  }
  for (;;) {
    int tlen = 0;
    while (tlen < rlen) {
      const Hmac::Part v[] = {{s.V, kHash}};
      hmac.mac(s.V, v, 1);
      memcpy(s.T + tlen, s.V, kHash);
      tlen += kHash;
    }
    if (!bits2int(k, s.T, rlen, qlen)) return 0;
    if (!BN_is_zero(k) && BN_cmp(k, order) < 0) return 1;
    const Hmac::Part parts[] = {{s.V, kHash}, {&zero, 1}};
    hmac.mac(s.K, parts, 2);
    hmac.rekey(s.K);
    const Hmac::Part v[] = {{s.V, kHash}};
    hmac.mac(s.V, v, 1);
  }
}

}  // namespace rawcrypt
RAWCRYPT_SHORT_CALLS_END
