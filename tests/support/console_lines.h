// The console lines the tests expect, typed out here once: an independent
// copy of the system's texts, not the module's table, so that a changed
// line in the module fails the tests.
#ifndef RAWCRYPT_TESTS_CONSOLE_LINES_H
#define RAWCRYPT_TESTS_CONSOLE_LINES_H

namespace lines {

// The ECDSA helpers' own lines.
inline constexpr const char* kDigestInit = "EVP DigestInit failed\n";
inline constexpr const char* kEcKey = "get ec key failed\n";
inline constexpr const char* kKeyBin2bn = "key bin2bn failed\n";
inline constexpr const char* kSetPrivateKey = "set pri key failed\n";
inline constexpr const char* kDigestUpdate = "EVP DigestUpdate failed\n";
inline constexpr const char* kDigestFinal = "EVP DigestFinal failed\n";
inline constexpr const char* kDoSign = "do sign failed\n";
inline constexpr const char* kPublicX = "bx failed\n";
inline constexpr const char* kPublicY = "by failed\n";
inline constexpr const char* kSetPublicKey = "set key failed\n";
// The road of a signature, outermost first.
inline constexpr const char* kEcdsaCheck = "ecdsa check filed\n";
inline constexpr const char* kEcdsaDoSign = "ecdsa do sign failed\n";
inline constexpr const char* kParaError = "para error\n";
inline constexpr const char* kSignSetup = "sign setup failed\n";
inline constexpr const char* kRandRange = "bn rand range failed\n";
inline constexpr const char* kRangeDraw4 = "4\n";
inline constexpr const char* kRangeCount = "--count\n";
inline constexpr const char* kRangeCount2 = "--count 2\n";
inline constexpr const char* kRangeNotPositive = "range is zero or neg\n";
inline constexpr const char* kTooSmall1 = "too small 1\n";
inline constexpr const char* kTooSmall2 = "too small 2\n";
inline constexpr const char* kRandBytes = "rand bytes failed\n";
inline constexpr const char* kElse = "else\n";

// Every line the road and the ECDSA helpers may print, as one regular
// expression per line (without its newline).
inline constexpr const char* kAnyRoadLine =
    "EVP DigestInit failed|get ec key failed|key bin2bn failed|set pri key failed|"
    "EVP DigestUpdate failed|EVP DigestFinal failed|do sign failed|bx failed|by failed|"
    "set key failed|ECDSA SIG new failed .* .* .*|ecdsa check filed|ecdsa do sign failed|"
    "para error|sig new failed|bn new failed|ec group get order failed|bin2bn failed|too long|"
    "sign setup failed|bn copy failed|bn to mont failed|bn mod add failed|bn to mont 2 failed|"
    "eckey failed|bn failed|k r order X|ec point failed|bn set bit failed|bn rand range failed|"
    "derive nonce failed|bn add and bn copy failed|ec point mul failed|"
    "ec point get affine coordinates failed|BN nnmod failed|bn set word failed|bn mod sub failed|"
    "bn mod exp mont failed|bn mod inverse failed|[1-4]|--count|--count 2|range is zero or neg|"
    "too small 1|too small 2|malloc [0-9]+ failed|rand bytes failed|rand pseudo bytes failed|"
    "bin 2 bn failed|meth = .*, bytes = .*|pseudo|else";

// The helpers' own last lines.
inline constexpr const char* kSignHelperLine =
    "EVP DigestInit failed|get ec key failed|key bin2bn failed|set pri key failed|"
    "EVP DigestUpdate failed|EVP DigestFinal failed|do sign failed";
inline constexpr const char* kVerifyHelperLine =
    "EVP DigestInit failed|get ec key failed|bx failed|by failed|set key failed|"
    "EVP DigestUpdate failed|EVP DigestFinal failed|ECDSA SIG new failed .*";

}  // namespace lines

#endif  // RAWCRYPT_TESTS_CONSOLE_LINES_H
