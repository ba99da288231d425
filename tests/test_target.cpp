// The module's adaptation of libcrypto, tested from inside: the generator
// and its poll, the random numbers of the road, the hedged nonce, and the
// signing operation's own failure lines. The C library's srand and time are
// wrapped at link time, so that polls can be counted and the clock held.
#include "target/compat.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "helpers/encrypt.h"
#include "host/compat.h"
#include "target/bn_rand.h"
#include "target/ecdsa_sign.h"
#include "target/generator.h"
#include "target/nonce.h"
#include "target/owners.h"
#include "tests/support/console.h"
#include "tests/support/console_lines.h"
#include "tests/support/ecdsa_reference.h"
#include "tests/support/rand_methods.h"

namespace {
int srand_calls = 0;
time_t held_time = 0;     // 0: the real clock
void (*inside_poll)();  // called by the poll while it holds the poll lock
}  // namespace

extern "C" {
void __real_srand(unsigned seed);
time_t __real_time(time_t* t);
void __wrap_srand(unsigned seed) {
  ++srand_calls;
  if (inside_poll != nullptr) inside_poll();
  __real_srand(seed);
}
time_t __wrap_time(time_t* t) {
  if (held_time == 0) return __real_time(t);
  if (t) *t = held_time;
  return held_time;
}
}

namespace {

using rawcrypt::Owned;
using testing_rand::ScopedRandMethod;
using vectors::Bytes;

// A generator as at start-up: never polled.
class Generator : public testing::Test {
 protected:
  void SetUp() override {
    rawcrypt::RAND_cleanup();
    polls_before_ = rawcrypt::generator_polls();
    srand_before_ = srand_calls;
  }
  unsigned polls() const { return rawcrypt::generator_polls() - polls_before_; }
  int srands() const { return srand_calls - srand_before_; }

 private:
  unsigned polls_before_ = 0;
  int srand_before_ = 0;
};

TEST_F(Generator, FirstRequestPollsOnceAndNoLaterOne) {
  unsigned char buf[48];
  EXPECT_EQ(rawcrypt::RAND_bytes(buf, sizeof buf), 1);
  EXPECT_EQ(polls(), 1u);
  EXPECT_EQ(srands(), 1);
  EXPECT_EQ(rawcrypt::RAND_bytes(buf, sizeof buf), 1);
  EXPECT_EQ(rawcrypt::RAND_pseudo_bytes(buf, sizeof buf), 1);
  EXPECT_EQ(polls(), 1u);
}

TEST_F(Generator, StatusPollsFirstAndRequestsDoNotPollAgain) {
  EXPECT_EQ(rawcrypt::RAND_status(), 1);
  EXPECT_EQ(polls(), 1u);
  unsigned char buf[8];
  EXPECT_EQ(rawcrypt::RAND_bytes(buf, sizeof buf), 1);
  EXPECT_EQ(polls(), 1u);
}

TEST_F(Generator, CleanupMakesTheNextRequestPoll) {
  unsigned char buf[8];
  rawcrypt::RAND_bytes(buf, sizeof buf);
  rawcrypt::RAND_cleanup();
  rawcrypt::RAND_bytes(buf, sizeof buf);
  EXPECT_EQ(polls(), 2u);
}

TEST_F(Generator, EarlierCreditStillPollsOnce) {
  const Bytes digest = reference::sha256({'x'});
  rawcrypt::RAND_seed(digest.data(), 32);
  unsigned char buf[8];
  EXPECT_EQ(rawcrypt::RAND_bytes(buf, sizeof buf), 1);
  EXPECT_EQ(polls(), 1u);
}

TEST_F(Generator, EmptyRequestsReturnAtOnce) {
  unsigned char buf[1] = {0x77};
  EXPECT_EQ(printed_by([&] {
              EXPECT_EQ(rawcrypt::RAND_bytes(buf, 0), 1);
              EXPECT_EQ(rawcrypt::RAND_pseudo_bytes(buf, -3), 1);
            }),
            "");
  EXPECT_EQ(polls(), 0u);
  EXPECT_EQ(buf[0], 0x77);
}

// The poll's only seed is the clock in whole seconds: two polls in one
// second feed the generator the same 32 bytes, credited as 32.
TEST_F(Generator, PollsInOneSecondFeedTheSameBytes) {
  ScopedRandMethod recording(&testing_rand::stuck);
  held_time = 1700000000;
  rawcrypt::RAND_poll();
  rawcrypt::RAND_poll();
  held_time = 1700000001;
  rawcrypt::RAND_poll();
  held_time = 0;
  ASSERT_EQ(testing_rand::added.size(), 3u);
  EXPECT_EQ(testing_rand::added[0].size(), 32u);
  EXPECT_EQ(testing_rand::added[0], testing_rand::added[1]);
  EXPECT_NE(testing_rand::added[0], testing_rand::added[2]);
}

TEST_F(Generator, MethodWithoutBytesIsReported) {
  ScopedRandMethod method(&testing_rand::without_bytes);
  unsigned char buf[4];
  char expected[128];
  snprintf(expected, sizeof expected, "meth = %p, bytes = %p\n",
           static_cast<const void*>(&testing_rand::without_bytes), static_cast<void*>(nullptr));
  EXPECT_EQ(printed_by([&] { EXPECT_EQ(rawcrypt::RAND_bytes(buf, 4), -1); }), expected);
}

// Several tasks making their first request at once: one poll, every
// signature valid. Run under ThreadSanitizer by the test command.
TEST_F(Generator, ConcurrentColdStartPollsOnce) {
  const reference::RawKey key = reference::generate_key();
  host::ThreadLocking locking;
  std::vector<std::thread> tasks;
  std::atomic<int> valid{0};
  for (int t = 0; t < 8; ++t) {
    tasks.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        const Bytes msg = {static_cast<unsigned char>(t), static_cast<unsigned char>(i)};
        unsigned char sig[64];
        if (ecc_sign(key.d.data(), msg.data(), sig, msg.size()) == 1 &&
            ecc_verify(key.x.data(), key.y.data(), msg.data(), sig, msg.size()) == 1)
          ++valid;
      }
    });
  }
  for (auto& task : tasks) task.join();
  EXPECT_EQ(valid.load(), 80);
  EXPECT_EQ(polls(), 1u);
}

// The device's case: a low-priority task inside the poll (held there 50 ms)
// and a high-priority task making its first request, both on one CPU under
// strict priority scheduling. The high one must block until the poll is
// done; had it spun, the holder would never run again. Run in a child
// process, so that a hang fails the test instead of stopping the suite.
constexpr int kNoRealTime = 77;
sem_t poll_entered;

void* request_bytes(void* result) {
  unsigned char buf[8];
  *static_cast<int*>(result) = rawcrypt::RAND_bytes(buf, sizeof buf);
  return nullptr;
}

// start_on_cpu0: a SCHED_FIFO thread at `priority` on CPU 0.
int start_on_cpu0(pthread_t* thread, int priority, int* result) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  cpu_set_t cpu0;
  CPU_ZERO(&cpu0);
  CPU_SET(0, &cpu0);
  sched_param param{};
  param.sched_priority = priority;
  pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
  pthread_attr_setschedpolicy(&attr, SCHED_FIFO);
  pthread_attr_setschedparam(&attr, &param);
  pthread_attr_setaffinity_np(&attr, sizeof cpu0, &cpu0);
  const int rc = pthread_create(thread, &attr, request_bytes, result);
  pthread_attr_destroy(&attr);
  return rc;
}

// priority_scenario: in the child; writes the high task's wait in
// microseconds to `report` and returns 0 when both requests succeeded after
// one poll.
int priority_scenario(int report) {
  sem_init(&poll_entered, 0, 0);
  inside_poll = [] {
    sem_post(&poll_entered);
    const timespec held = {0, 50 * 1000 * 1000};
    nanosleep(&held, nullptr);
  };
  const unsigned polls_before = rawcrypt::generator_polls();
  pthread_t low, high;
  int low_result = -2, high_result = -2;
  if (start_on_cpu0(&low, 10, &low_result) != 0) return kNoRealTime;
  sem_wait(&poll_entered);
  const auto started = std::chrono::steady_clock::now();
  if (start_on_cpu0(&high, 20, &high_result) != 0) return kNoRealTime;
  pthread_join(high, nullptr);
  const long waited = static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                            std::chrono::steady_clock::now() - started)
                                            .count());
  pthread_join(low, nullptr);
  if (write(report, &waited, sizeof waited) != sizeof waited) return 3;
  return low_result == 1 && high_result == 1 && rawcrypt::generator_polls() - polls_before == 1
             ? 0
             : 1;
}

TEST_F(Generator, HighPriorityFirstRequestBlocksUntilThePollEnds) {
  host::ThreadLocking locking;  // as the device's application does on 1.0.2
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  fflush(stdout);
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) _exit(priority_scenario(report[1]));
  close(report[1]);
  int status = 0;
  pid_t done = 0;
  for (int waited_ms = 0; (done = waitpid(child, &status, WNOHANG)) == 0 && waited_ms < 5000;
       waited_ms += 10)
    usleep(10 * 1000);
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    close(report[0]);
    FAIL() << "the high-priority request never finished: the waiting task kept the holder off the CPU";
  }
  long waited_us = -1;
  const bool reported = read(report[0], &waited_us, sizeof waited_us) == sizeof waited_us;
  close(report[0]);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kNoRealTime) GTEST_SKIP() << "real-time scheduling (SCHED_FIFO) is refused here";
  ASSERT_EQ(WEXITSTATUS(status), 0) << "a request failed or the generator polled more than once";
  ASSERT_TRUE(reported);
  std::printf("high-priority first request waited %.1f ms for a poll held 50 ms\n", waited_us / 1000.0);
  EXPECT_LT(waited_us, 1000 * 1000);  // about the poll's own time; a hang is the fault
}

struct Drawn {
  int result;
  std::string lines;
};

Drawn draw(int bits, int top, int bottom, BIGNUM* out) {
  Drawn d{-2, ""};
  d.lines = printed_by([&] { d.result = rawcrypt::BN_rand(out, bits, top, bottom); });
  return d;
}

TEST(RandomNumbers, BitCountsAndTheirRefusals) {
  Owned<BIGNUM> n(BN_new());
  BN_set_word(n.get(), 99);
  struct Case {
    int bits, top, bottom, result;
    const char* lines;
  } cases[] = {
      {0, -1, 0, 1, ""},           {0, 0, 0, 0, lines::kTooSmall1}, {0, -1, 1, 0, lines::kTooSmall1},
      {1, 1, 0, 0, lines::kTooSmall2}, {-8, -1, 0, 0, lines::kTooSmall2},
  };
  for (const auto& c : cases) {
    Drawn d = draw(c.bits, c.top, c.bottom, n.get());
    EXPECT_EQ(d.result, c.result) << c.bits << " " << c.top;
    EXPECT_EQ(d.lines, c.lines) << c.bits << " " << c.top;
  }
  EXPECT_TRUE(BN_is_zero(n.get()));  // from the 0-bit draw
  for (int i = 0; i < 50; ++i) {     // top and bottom as asked, every mode
    ASSERT_EQ(rawcrypt::BN_rand(n.get(), 77, 1, 1), 1);
    EXPECT_EQ(BN_num_bits(n.get()), 77);
    EXPECT_TRUE(BN_is_bit_set(n.get(), 75));
    EXPECT_TRUE(BN_is_odd(n.get()));
    ASSERT_EQ(rawcrypt::BN_bntest_rand(n.get(), 64, 0, 0), 1);
    EXPECT_EQ(BN_num_bits(n.get()), 64);
    ASSERT_EQ(rawcrypt::BN_pseudo_rand(n.get(), 9, -1, 0), 1);
    EXPECT_LE(BN_num_bits(n.get()), 9);
  }
}

TEST(RandomNumbers, RangesAndTheirRefusals) {
  Owned<BIGNUM> r(BN_new()), range(BN_new());
  struct Case {
    long range;
    int result;
    const char* lines;
  } cases[] = {{0, 0, lines::kRangeNotPositive}, {-5, 0, lines::kRangeNotPositive}, {1, 1, ""}};
  for (const auto& c : cases) {
    BN_set_word(range.get(), c.range < 0 ? -c.range : c.range);
    BN_set_negative(range.get(), c.range < 0);
    int result = -2;
    EXPECT_EQ(printed_by([&] { result = rawcrypt::BN_rand_range(r.get(), range.get()); }), c.lines);
    EXPECT_EQ(result, c.result) << c.range;
  }
  EXPECT_TRUE(BN_is_zero(r.get()));
  for (long top : {1000L, 1L << 20, 0x500000L}) {  // both branches, always below the range
    BN_set_word(range.get(), top);
    for (int i = 0; i < 200; ++i) {
      ASSERT_EQ(rawcrypt::BN_pseudo_rand_range(r.get(), range.get()), 1);
      ASSERT_LT(BN_cmp(r.get(), range.get()), 0);
    }
  }
}

// A stuck generator whose draws never fall below the range: the 100th gives up.
TEST(RandomNumbers, HundredDrawsThenGiveUp) {
  Owned<BIGNUM> r(BN_new()), range(BN_new());
  testing_rand::stuck_byte = 0xff;
  ScopedRandMethod method(&testing_rand::stuck);
  struct Case {
    const char* range_hex;
    const char* line;
  } cases[] = {{"8000000000000001", lines::kRangeCount}, {"C000000000000001", lines::kRangeCount2}};
  for (const auto& c : cases) {
    BIGNUM* raw = range.get();
    BN_hex2bn(&raw, c.range_hex);
    testing_rand::stuck_draws = 0;
    int result = -2;
    EXPECT_EQ(printed_by([&] { result = rawcrypt::BN_rand_range(r.get(), range.get()); }), c.line);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(testing_rand::stuck_draws, 100) << c.range_hex;
  }
}

// RFC 6979 A.2.5 (P-256, SHA-256): with no additional data the derivation
// is the RFC's deterministic nonce.
TEST(HedgedNonce, KnownAnswersWithoutAdditionalData) {
  Owned<EC_GROUP> group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  Owned<BN_CTX> ctx(BN_CTX_new());
  Owned<BIGNUM> order(BN_new()), x(BN_new()), k(BN_new());
  EC_GROUP_get_order(group.get(), order.get(), ctx.get());
  BIGNUM* raw = x.get();
  BN_hex2bn(&raw, "C9AFA9D845BA75166B5C215767B1D6934E50C3DB36E89B127B8A622B120F6721");
  struct Case {
    std::string message;
    const char* k;
  } cases[] = {{"sample", "A6E3C57DD01ABE90086538398355DD4C3B17AA873382B0F24D6129493D8AAD60"},
               {"test", "D16B6AE827F17175E040871A1C7EC3500192C4C92677336EC2537ACAEE0008E0"}};
  for (const auto& c : cases) {
    Bytes h = reference::sha256(Bytes(c.message.begin(), c.message.end()));
    ASSERT_EQ(rawcrypt::derive_nonce(k.get(), order.get(), x.get(), h.data(), 32, nullptr, ctx.get()), 1);
    char* hex = BN_bn2hex(k.get());
    EXPECT_STREQ(hex, c.k) << c.message;
    OPENSSL_free(hex);
    // The draw changes the nonce.
    Owned<BIGNUM> extra(BN_new()), hedged(BN_new());
    BN_set_word(extra.get(), 12345);
    rawcrypt::derive_nonce(hedged.get(), order.get(), x.get(), h.data(), 32, extra.get(), ctx.get());
    EXPECT_NE(BN_cmp(hedged.get(), k.get()), 0);
  }
}

Owned<EC_KEY> key_on(int nid) {
  Owned<EC_KEY> key(EC_KEY_new_by_curve_name(nid));
  EC_KEY_generate_key(key.get());
  return key;
}

TEST(SigningOperation, KeysItCannotSignWith) {
  Owned<EC_KEY> public_only(EC_KEY_new_by_curve_name(NID_X9_62_prime256v1));
  const Bytes z(32, 0x11);
  ECDSA_SIG* sig = reinterpret_cast<ECDSA_SIG*>(1);
  EXPECT_EQ(printed_by([&] { sig = rawcrypt::ECDSA_do_sign(z.data(), 32, public_only.get()); }),
            std::string(lines::kParaError) + lines::kEcdsaDoSign);
  EXPECT_EQ(sig, nullptr);
  EXPECT_EQ(printed_by([&] { sig = rawcrypt::ECDSA_do_sign(z.data(), 32, nullptr); }),
            lines::kEcdsaCheck);
  EXPECT_EQ(sig, nullptr);
  unsigned char der[80];
  unsigned int der_len = 99;
  EXPECT_EQ(printed_by([&] {
              EXPECT_EQ(rawcrypt::ECDSA_sign(0, z.data(), 32, der, &der_len, public_only.get()), 0);
            }),
            std::string(lines::kParaError) + lines::kEcdsaDoSign);
  EXPECT_EQ(der_len, 0u);
}

// Signatures of the road on other curves and through its other entries,
// checked by libcrypto's own verification: a binary-field curve, a digest
// longer than the order, DER output, and a precomputed nonce.
TEST(SigningOperation, OtherCurvesAndEntries) {
  std::vector<int> curves = {NID_X9_62_prime256v1, NID_secp384r1, NID_secp521r1, NID_secp160r1};
#ifndef OPENSSL_NO_EC2M
  curves.push_back(NID_sect163k1);
#endif
  const Bytes digest = reference::sha256({'d'});
  const Bytes long_digest(64, 0xab);  // cut to the order's bits on the smaller curves
  for (int nid : curves) {
    Owned<EC_KEY> key = key_on(nid);
    for (const Bytes* z : {&digest, static_cast<const Bytes*>(&long_digest)}) {
      Owned<ECDSA_SIG> sig(rawcrypt::ECDSA_do_sign(z->data(), z->size(), key.get()));
      ASSERT_NE(sig, nullptr) << OBJ_nid2sn(nid);
      EXPECT_EQ(ECDSA_do_verify(z->data(), z->size(), sig.get(), key.get()), 1) << OBJ_nid2sn(nid);
    }
    Bytes der(ECDSA_size(key.get()));
    unsigned int der_len = 0;
    ASSERT_EQ(rawcrypt::ECDSA_sign(0, digest.data(), 32, der.data(), &der_len, key.get()), 1);
    EXPECT_EQ(ECDSA_verify(0, digest.data(), 32, der.data(), der_len, key.get()), 1);
    BIGNUM *kinv = nullptr, *r = nullptr;
    ASSERT_EQ(rawcrypt::ECDSA_sign_setup(key.get(), nullptr, &kinv, &r), 1);
    Owned<ECDSA_SIG> sig(rawcrypt::ECDSA_do_sign_ex(digest.data(), 32, kinv, r, key.get()));
    ASSERT_NE(sig, nullptr);
    EXPECT_EQ(ECDSA_do_verify(digest.data(), 32, sig.get(), key.get()), 1);
    BN_clear_free(kinv);
    BN_clear_free(r);
  }
}

}  // namespace
