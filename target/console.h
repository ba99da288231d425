// The module's console lines: every line it can print, one table, printed
// through one small function so that each failure site is one line. The
// texts are the system's own, typos included; docs/console-lines.md says
// what each means and what usually causes it.
#ifndef RAWCRYPT_TARGET_CONSOLE_H
#define RAWCRYPT_TARGET_CONSOLE_H

#include "target/calls.h"

RAWCRYPT_SHORT_CALLS_BEGIN
namespace rawcrypt {

enum class Line : unsigned char {
  // The ECDSA helpers.
  kDigestInit, kEcKey, kKeyBin2bn, kSetPrivateKey, kDigestUpdate, kDigestFinal, kDoSign,
  kPublicX, kPublicY, kSetPublicKey,
  kSignatureObjects,  // three addresses
  // ECDSA_do_sign_ex / ECDSA_sign_ex.
  kEcdsaCheck, kEcdsaDoSign,
  // The signing operation.
  kParaError, kSigNew, kBnNew, kGroupOrder, kDigestBin2bn, kTooLong, kSignSetup, kBnCopy, kRTimesKey,
  kAddMessage, kTimesInverse, kPrecomputedZero,
  // Its setup (the nonce).
  kNoKey, kNoContext, kSetupNumbers, kPoint, kSetBit, kRandRange, kDeriveNonce, kFixedLength,
  kPointMul, kAffineX, kAffineXBinary, kNnmod, kSetWord, kModSub, kModExp, kModInverse,
  // Draws below a range.
  kRangeNotPositive, kRangeDraw1, kRangeReduce2, kRangeReduce3, kRangeCount, kRangeDraw4, kRangeCount2,
  // Draws of a number of bits.
  kTooSmall1, kTooSmall2,
  kMalloc,  // the byte count
  kRandBytes, kRandPseudoBytes, kBin2Bn,
  // The generator.
  kNoMethod,  // the method's and its byte operation's addresses
  kPseudo, kElse,
  // Base64: no newline, the whole text.
  kNotBase64, kLoneCharacter,
};

// say: prints a line; the arguments are those its text asks for, none for
// most (kMalloc an int, kNoMethod two pointers, kSignatureObjects three,
// the Base64 lines the text).
void say(Line line);
void say(Line line, int number);
void say(Line line, const void* a, const void* b);
void say(Line line, const void* a, const void* b, const void* c);
void say(Line line, const char* text);

}  // namespace rawcrypt
RAWCRYPT_SHORT_CALLS_END

#endif  // RAWCRYPT_TARGET_CONSOLE_H
