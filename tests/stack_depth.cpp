// The stack each helper takes, libcrypto's frames included: the helper runs
// on a thread whose stack was painted beforehand, and the deepest byte it
// changed shows its peak. The peaks must stay within the figures that
// helpers/encrypt.h documents for the architecture.
#include "target/compat.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "helpers/encrypt.h"
#include "tests/support/base64_reference.h"
#include "tests/support/ecdsa_reference.h"

namespace {

using vectors::Bytes;

constexpr unsigned char kPaint = 0xa5;
constexpr size_t kStackSize = 256 * 1024;

struct Run {
  const std::function<void()>* call;
  uintptr_t entry;  // the stack pointer's neighbourhood as the call starts
  const unsigned char* stack;
  unsigned char* left;  // the stack as the call left it, copied before the thread ends
};

void* run_on_painted_stack(void* arg) {
  auto* run = static_cast<Run*>(arg);
  run->entry = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  (*run->call)();
  if (run->left != nullptr) memcpy(run->left, run->stack, kStackSize);
  return nullptr;
}

// peak_stack: bytes of stack below its caller's frame that `call` touched;
// the stack as the call left it (before the thread's own ending runs on it)
// in *left, when given.
size_t peak_stack(const std::function<void()>& call, std::vector<unsigned char>* left = nullptr) {
  std::vector<unsigned char> stack(kStackSize, kPaint);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, stack.data(), stack.size());
  if (left != nullptr) left->assign(kStackSize, 0);
  Run run{&call, 0, stack.data(), left != nullptr ? left->data() : nullptr};
  pthread_t thread;
  EXPECT_EQ(pthread_create(&thread, &attr, run_on_painted_stack, &run), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  size_t lowest = 0;
  while (lowest < stack.size() && stack[lowest] == kPaint) ++lowest;
  const uintptr_t deepest = reinterpret_cast<uintptr_t>(stack.data()) + lowest;
  return run.entry > deepest ? run.entry - deepest : 0;
}

// The documented peaks (helpers/encrypt.h), in bytes; on x86-64 and armhf
// one for each series of libcrypto (1.0.2, 1.1.1, 3.x), where 1.1.1's
// verification (generic, its coordinates blinded) goes deeper.
struct Limit {
  const char* helper;
  size_t x86_64[3], armhf[3], arm64;
};
constexpr Limit kLimits[] = {
    {"ecc_sign", {2944, 2944, 2944}, {1792, 1792, 1792}, 2944},
    {"ecc_verify", {1920, 2816, 1920}, {1472, 2176, 1472}, 1536},
    {"aes_enc", {1664, 1664, 1664}, {960, 960, 960}, 1536},
    {"aes_dec", {1664, 1664, 1664}, {960, 960, 960}, 1536},
    {"des3_dec", {768, 768, 768}, {704, 704, 704}, 768},
    {"base64_encode", {320, 320, 320}, {256, 256, 256}, 256},
    {"base64_decode", {384, 384, 384}, {448, 448, 448}, 448},
};

#if defined(RAWCRYPT_LIBCRYPTO_102)
constexpr int kSeries = 0;
#elif defined(RAWCRYPT_LIBCRYPTO_111)
constexpr int kSeries = 1;
#else
constexpr int kSeries = 2;
#endif

size_t limit_of(const Limit& l) {
#if defined(__x86_64__)
  return l.x86_64[kSeries];
#elif defined(__aarch64__)
  return l.arm64;
#else
  return l.armhf[kSeries];
#endif
}

TEST(StackDepth, EachHelperWithinItsDocumentedPeak) {
#if defined(RAWCRYPT_SANITIZED)
  GTEST_SKIP() << "sanitizers change every frame; the peaks are measured on plain builds";
#endif
  const reference::RawKey key = reference::generate_key();
  const Bytes msg(1000, 0x6d);
  unsigned char sig[64];
  const Bytes aes_key(32, 1), iv(16, 2), des_key(24, 3);
  const Bytes big(1 << 20, 0x42);
  Bytes out(big.size() + 64);
  std::vector<char> text(4 * (big.size() / 3 + 1) + 1);
  int32_t length = 0;
  // The process's one-time set-up (the poll, libcrypto's tables) first.
  ecc_sign(key.d.data(), msg.data(), sig, msg.size());
  base64_encode(big.data(), static_cast<int32_t>(big.size()), reference::kStandardAlphabet, text.data());

  const std::function<void()> calls[] = {
      [&] { ecc_sign(key.d.data(), msg.data(), sig, msg.size()); },
      [&] { ecc_verify(key.x.data(), key.y.data(), msg.data(), sig, msg.size()); },
      [&] {
        aes_enc(big.data(), 100, aes_key.data(), iv.data(), out.data());     // low-level path
        aes_enc(big.data(), 4100, aes_key.data(), iv.data(), out.data());    // EVP path
      },
      [&] {
        aes_dec(big.data(), 100, aes_key.data(), iv.data(), out.data());
        aes_dec(big.data(), 4100, aes_key.data(), iv.data(), out.data());
      },
      [&] { des3_dec(big.data(), 4096, des_key.data(), out.data()); },
      [&] { base64_encode(big.data(), static_cast<int32_t>(big.size()), reference::kStandardAlphabet, text.data()); },
      [&] {
        base64_decode(text.data(), &length, out.data());
        base64_decode("YWJjZA==", &length, out.data());  // the short path
      },
  };
  static_assert(sizeof calls / sizeof calls[0] == sizeof kLimits / sizeof kLimits[0], "a limit per call");
  for (size_t i = 0; i < sizeof kLimits / sizeof kLimits[0]; ++i) {
    const size_t peak = peak_stack(calls[i]);
    std::printf("%-14s %5zu bytes of stack (documented peak %zu)\n", kLimits[i].helper, peak,
                limit_of(kLimits[i]));
    EXPECT_LE(peak, limit_of(kLimits[i])) << kLimits[i].helper;
    EXPECT_GT(peak, 0u) << kLimits[i].helper << ": the painted stack saw nothing";
  }
}

// The short decoder's buffer is wiped: a decode leaves no run of 8 of the
// decoded bytes on the stack it ran on (a register's spill holds at most one
// group).
TEST(StackDepth, ShortBase64DecodeLeavesNoDecodedBytesBehind) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer wants a thread's stack larger than the painted one";
#endif
  const Bytes secret = {0x9e, 0x37, 0x79, 0xb9, 0x7f, 0x4a, 0x7c, 0x15, 0xf3, 0x9c, 0xc0,
                        0x60, 0x5c, 0xed, 0xc8, 0x34, 0x10, 0x82, 0x27, 0x6b, 0xf3};
  std::vector<char> text(4 * secret.size() / 3 + 1);
  base64_encode(secret.data(), static_cast<int32_t>(secret.size()), reference::kStandardAlphabet, text.data());
  Bytes out(secret.size());
  int32_t length = 0;
  std::vector<unsigned char> stack;
  EXPECT_GT(peak_stack([&] { base64_decode(text.data(), &length, out.data()); }, &stack), 0u);
  ASSERT_EQ(out, secret);
  for (size_t from = 0; from + 8 <= secret.size(); ++from) {
    auto found = std::search(stack.begin(), stack.end(), secret.begin() + from, secret.begin() + from + 8);
    EXPECT_EQ(found, stack.end()) << "decoded bytes " << from << "-" << from + 7 << " left on the stack";
  }
}

}  // namespace
