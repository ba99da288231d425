#include "target/console.h"

#include <stdio.h>

RAWCRYPT_SHORT_CALLS_BEGIN
namespace rawcrypt {
namespace {

// In the order of Line.
constexpr const char* kText[] = {
    "EVP DigestInit failed\n", "get ec key failed\n", "key bin2bn failed\n", "set pri key failed\n",
    "EVP DigestUpdate failed\n", "EVP DigestFinal failed\n", "do sign failed\n",
    "bx failed\n", "by failed\n", "set key failed\n",
    "ECDSA SIG new failed %p %p %p\n",
    "ecdsa check filed\n", "ecdsa do sign failed\n",
    "para error\n", "sig new failed\n", "bn new failed\n", "ec group get order failed\n", "bin2bn failed\n",
    "too long\n", "sign setup failed\n", "bn copy failed\n", "bn to mont failed\n",
    "bn mod add failed\n", "bn to mont 2 failed\n", "in_kinv != NULL\n",
    "eckey failed\n", "bn failed\n", "k r order X\n", "ec point failed\n", "bn set bit failed\n",
    "bn rand range failed\n", "derive nonce failed\n", "bn add and bn copy failed\n",
    "ec point mul failed\n", "ec point get affine coordinates failed\n", "GF2m failed\n",
    "BN nnmod failed\n", "bn set word failed\n", "bn mod sub failed\n", "bn mod exp mont failed\n",
    "bn mod inverse failed\n",
    "range is zero or neg\n", "1\n", "2\n", "3\n", "--count\n", "4\n", "--count 2\n",
    "too small 1\n", "too small 2\n",
    "malloc %d failed\n",
    "rand bytes failed\n", "rand pseudo bytes failed\n", "bin 2 bn failed\n",
    "meth = %p, bytes = %p\n",
    "pseudo\n", "else\n",
    "%s is not base64 encoded", "invalid base64 encoded str %s",
};
static_assert(sizeof kText / sizeof kText[0] == static_cast<int>(Line::kLoneCharacter) + 1,
              "a text for every line");

const char* text_of(Line line) { return kText[static_cast<int>(line)]; }

}  // namespace

// The texts are constant, so the compiler cannot check them against the
// arguments; the overloads stand for the four shapes the table has.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
void say(Line line) { printf(text_of(line)); }
void say(Line line, int number) { printf(text_of(line), number); }
void say(Line line, const void* a, const void* b) { printf(text_of(line), a, b); }
void say(Line line, const void* a, const void* b, const void* c) { printf(text_of(line), a, b, c); }
void say(Line line, const char* text) { printf(text_of(line), text); }
#pragma GCC diagnostic pop

}  // namespace rawcrypt
RAWCRYPT_SHORT_CALLS_END
