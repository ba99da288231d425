// The module's generator and its entropy poll, tested from inside. The C
// library's srand and time are wrapped at link time, so that polls can be
// counted and the clock held.
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
int rand_calls = 0;
time_t held_time = 0;     // 0: the real clock
void (*inside_poll)();  // called by the poll while it holds the poll lock
double credit_scale = 1.0;  // below 1: a poll that credits less than it should
bool library_polls_itself = false;
}  // namespace

extern "C" {
void __real_srand(unsigned seed);
int __real_rand();
time_t __real_time(time_t* t);
void __wrap_srand(unsigned seed) {
  ++srand_calls;
  if (inside_poll != nullptr) inside_poll();
  __real_srand(seed);
}
int __wrap_rand() {
  ++rand_calls;
  return __real_rand();
}
// The poll 1.0.2's generator calls: the module's, or (library_polls_itself)
// one that gathers nothing, as a library linked with its own poll calls.
int __real_RAND_poll();
int __wrap_RAND_poll() { return library_polls_itself ? 0 : __real_RAND_poll(); }
// rawcrypt::RAND_add, as the poll reaches it from its own unit.
void __real__ZN8rawcrypt8RAND_addEPKvid(const void* buf, int num, double entropy);
void __wrap__ZN8rawcrypt8RAND_addEPKvid(const void* buf, int num, double entropy) {
  __real__ZN8rawcrypt8RAND_addEPKvid(buf, num, entropy * credit_scale);
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

#ifdef RAWCRYPT_LIBCRYPTO_102
// 1.0.2's own generator polls through the module's RAND_poll: the
// application's first request, before any helper, runs the poll once and is
// served seeded; the road of a signature does not poll again; after
// RAND_cleanup the next request (a status query here) polls again.
// (1.1 and later never call a RAND_poll symbol.)
TEST_F(Generator, LibrarysOwnFirstRequestPollsThroughTheModule) {
  const int rands_before = rand_calls;
  unsigned char buf[16];
  EXPECT_EQ(::RAND_bytes(buf, sizeof buf), 1);
  EXPECT_EQ(srands(), 1);
  EXPECT_EQ(rand_calls - rands_before, 32);
  const reference::RawKey key = reference::generate_key();
  unsigned char sig[64];
  EXPECT_EQ(ecc_sign(key.d.data(), buf, sig, sizeof buf), 1);
  EXPECT_EQ(polls(), 1u);
  ::RAND_cleanup();
  EXPECT_EQ(::RAND_status(), 1);
  EXPECT_EQ(polls(), 2u);
}

// A module loaded at run time into an image whose libcrypto calls its own
// poll: the road seeds the generator itself, once, and signs.
TEST_F(Generator, RoadSeedsALibraryThatNeverCallsTheModulesPoll) {
  const reference::RawKey key = reference::generate_key();
  rawcrypt::RAND_cleanup();
  const unsigned polls_before = rawcrypt::generator_polls();
  library_polls_itself = true;
  unsigned char sig[64];
  std::string printed = printed_by([&] {
    EXPECT_EQ(ecc_sign(key.d.data(), sig, sig, 16), 1);
    EXPECT_EQ(ecc_sign(key.d.data(), sig, sig, 16), 1);
  });
  library_polls_itself = false;
  ERR_clear_error();
  EXPECT_EQ(printed, "");
  EXPECT_EQ(rawcrypt::generator_polls() - polls_before, 1u);
}
#endif

// A poll that credits too little leaves the generator unseeded: the bytes
// are served, but the request fails with its line (and the library's
// error), and so does the signature, line by line.
TEST_F(Generator, UnseededRequestFailsTheRoadWithItsLines) {
  const reference::RawKey key = reference::generate_key();
  rawcrypt::RAND_cleanup();  // the key's own draws may have polled
  const unsigned polls_before = rawcrypt::generator_polls();
  unsigned char sig[64];
  memset(sig, 0x3c, sizeof sig);
  credit_scale = 0.5;
  const std::string printed = printed_by([&] { EXPECT_EQ(ecc_sign(key.d.data(), sig, sig, 8), 0); });
  credit_scale = 1.0;
  EXPECT_EQ(printed, std::string(lines::kElse) + lines::kRandBytes + lines::kRangeDraw4 +
                         lines::kRandRange + lines::kSignSetup + lines::kEcdsaDoSign + lines::kDoSign);
  EXPECT_EQ(rawcrypt::generator_polls() - polls_before, 1u);
  EXPECT_EQ(ERR_GET_REASON(ERR_peek_last_error()), RAND_R_PRNG_NOT_SEEDED);
  ERR_clear_error();
  EXPECT_EQ(sig[0], 0x3c);
}

TEST_F(Generator, MethodWithoutBytesIsReported) {
  ScopedRandMethod method(&testing_rand::without_bytes);
  unsigned char buf[4];
  char expected[128];
  snprintf(expected, sizeof expected, "meth = %p, bytes = %p\n",
           static_cast<const void*>(&testing_rand::without_bytes), static_cast<void*>(nullptr));
  EXPECT_EQ(printed_by([&] { EXPECT_EQ(rawcrypt::RAND_bytes(buf, 4), -1); }), expected);
}

// Several tasks making their first request at once, each arriving while the
// poll runs: one poll, every signature valid, whether the library's
// generator polls through the module or (1.0.2 loaded beside a library
// linked with its own poll) the road seeds it. Run under ThreadSanitizer by
// the test command.
TEST_F(Generator, ConcurrentColdStartPollsOnce) {
  const struct {
    const char* poll;
    bool library_polls_itself;
  } cases[] = {
      {"the module's, called by the library", false},
#ifdef RAWCRYPT_LIBCRYPTO_102
      {"the library's own, then the road's", true},
#endif
  };
  const reference::RawKey key = reference::generate_key();
  host::ThreadLocking locking;
  inside_poll = [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
  for (const auto& c : cases) {
    rawcrypt::RAND_cleanup();
    const unsigned polls_before = rawcrypt::generator_polls();
    library_polls_itself = c.library_polls_itself;
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
    library_polls_itself = false;
    EXPECT_EQ(valid.load(), 80) << c.poll;
    EXPECT_EQ(rawcrypt::generator_polls() - polls_before, 1u) << c.poll;
  }
  inside_poll = nullptr;
  ERR_clear_error();
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

}  // namespace
