// Allocation failures inside the helpers: for N = 1, 2, ... the N-th
// allocation of one ecc_sign or ecc_verify call fails, until a call no
// longer reaches N allocations. Every run must give the right result or 0,
// print only lines of the road (the helper's own last), leave the signature
// buffer untouched on failure, and free all it allocated.
#include "host/compat.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <regex>

#include "helpers/encrypt.h"
#include "tests/support/console.h"
#include "tests/support/console_lines.h"
#include "tests/support/ecdsa_reference.h"

namespace {

// attempts: allocations asked for in the current run. Blocks handed out
// during runs are tracked until freed: the library keeps caches that it
// frees only at its cleanup, so what is still held is judged at exit.
long attempts = 0, fail_at = 0;  // fail_at 0: none fails
bool counting = false;
size_t tracked = 0;  // proof that the tracking saw the runs' blocks
bool swept = false;
std::map<void*, long>* held = new std::map<void*, long>;  // block -> fail_at of its run

void* track(void* p) {
  if (p != nullptr) {
    (*held)[p] = fail_at;
    ++tracked;
  }
  return p;
}
void untrack(void* p) {
  if (p != nullptr) held->erase(p);
}
void* counted_malloc(size_t n RAWCRYPT_MEM_ARGS) {
  if (!counting) return malloc(n);
  if (++attempts == fail_at) return nullptr;
  return track(malloc(n));
}
void* counted_realloc(void* p, size_t n RAWCRYPT_MEM_ARGS) {
  if (counting && ++attempts == fail_at) return nullptr;
  const bool was_tracked = p != nullptr && held->count(p) != 0;
  untrack(p);  // before realloc, which may free p
  void* q = realloc(p, n);
  if (q == nullptr) {
    if (was_tracked) track(p);  // p is still the caller's
  } else if (counting || was_tracked) {
    track(q);
  }
  return q;
}
void counted_free(void* p RAWCRYPT_MEM_ARGS) {
  untrack(p);
  free(p);
}

const std::regex kRoadLine(lines::kAnyRoadLine);

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  EXPECT_EQ(start, text.size()) << "a line without newline: " << text;
  return lines;
}

struct Sweep {
  int runs = 0, failures = 0;
};

// sweep: runs call() failing allocation N = 1, 2, ... until a run allocates
// fewer than N times; check(result, failed) judges each run after it,
// failed telling whether an allocation was refused in it.
// silent_zero_allowed: 1.0.2's ECDSA_do_verify reports a failure to attach
// its per-key data by returning 0, not -1; that 0 is the library's own
// result of verification and, like -1, comes without a line of ours.
template <typename Call, typename Check>
Sweep sweep(Call call, Check check, const char* helper_lines, bool silent_zero_allowed = false) {
  Sweep s;
  swept = true;
  for (fail_at = 1;; ++fail_at) {
    attempts = 0;
    int result = -2;
    counting = true;
    std::string printed = printed_by([&] { result = call(); });
    counting = false;
    const long reached = attempts;
    check(result, reached >= fail_at);
    ++s.runs;
    if (result == -1 || (result == 0 && printed.empty() && silent_zero_allowed)) {
      ++s.failures;  // the library's verification reported an error: no line of ours
      EXPECT_EQ(printed, "") << "at " << fail_at;
    } else if (result != 1) {
      ++s.failures;
      auto lines = lines_of(printed);
      EXPECT_FALSE(lines.empty()) << "silent failure at allocation " << fail_at;
      if (lines.empty()) continue;
      for (const auto& line : lines)
        EXPECT_TRUE(std::regex_match(line, kRoadLine)) << "'" << line << "' at " << fail_at;
      EXPECT_TRUE(std::regex_match(lines.back(), std::regex(helper_lines)))
          << "'" << lines.back() << "' last at " << fail_at;
    }
    if (reached < fail_at) break;  // this run allocated fewer: every N was tried
  }
  fail_at = 0;
  return s;
}

TEST(AllocationFailures, EccSign) {
  const reference::RawKey key = reference::generate_key();
  const vectors::Bytes msg(100, 0x61);
  unsigned char sig[64];
  ecc_sign(key.d.data(), msg.data(), sig, msg.size());  // the library's lazy set-up, once
  unsigned char out[64];
  Sweep s = sweep(
      [&] {
        memset(out, 0x3c, sizeof out);
        return ecc_sign(key.d.data(), msg.data(), out, msg.size());
      },
      [&](int result, bool) {
        const vectors::Bytes written(out, out + 64);
        if (result == 1)
          EXPECT_TRUE(reference::evp_verify(key, msg, written)) << "at " << fail_at;
        else
          EXPECT_TRUE(result == 0 && written == vectors::Bytes(64, 0x3c)) << "at " << fail_at;
      },
      lines::kSignHelperLine);
  EXPECT_GT(s.failures, 10);
  std::printf("ecc_sign: %d runs, %d failed\n", s.runs, s.failures);
}

TEST(AllocationFailures, EccVerify) {
  const reference::RawKey key = reference::generate_key();
  const vectors::Bytes msg(100, 0x62);
  unsigned char sig[64];
  ecc_sign(key.d.data(), msg.data(), sig, msg.size());
  ecc_verify(key.x.data(), key.y.data(), msg.data(), sig, msg.size());
  Sweep s = sweep(
      [&] { return ecc_verify(key.x.data(), key.y.data(), msg.data(), sig, msg.size()); },
      [&](int result, bool) { EXPECT_TRUE(result == 1 || result == 0 || result == -1) << result; },
      lines::kVerifyHelperLine,
#ifdef RAWCRYPT_LIBCRYPTO_102
      true
#else
      false
#endif
  );
  EXPECT_GT(s.failures, 5);
  std::printf("ecc_verify: %d runs, %d failed\n", s.runs, s.failures);
}

// What the module makes once, at the first signature of a process (the
// generator's locks on 1.1 and later), must be tried again by the next
// signature when the first found no memory for it. Each N runs in a fresh
// child, so that every allocation of a first signature fails once.
TEST(AllocationFailures, FirstSignatureFailureIsNotSticky) {
  // The library's own one-time set-up first (its failures are its own):
  // keys, digests and its generator, without the module's generator.
  const reference::RawKey key = reference::generate_key();
  const vectors::Bytes msg(32, 0x63);
  unsigned char sig[64] = {1};
  ecc_verify(key.x.data(), key.y.data(), msg.data(), sig, msg.size());
  for (fail_at = 1;; ++fail_at) {
    fflush(stdout);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      if (!freopen("/dev/null", "w", stdout)) _exit(4);
      attempts = 0;
      counting = true;
      ecc_sign(key.d.data(), msg.data(), sig, msg.size());
      counting = false;
      if (attempts < fail_at) _exit(3);  // every N was tried
      _exit(ecc_sign(key.d.data(), msg.data(), sig, msg.size()) == 1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3) break;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the next signature failed after allocation " << fail_at
                                      << " of the first was refused";
  }
  std::printf("first ecc_sign: %ld allocations, each refused once\n", fail_at - 1);
  fail_at = 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Before libcrypto allocates anything.
  if (!CRYPTO_set_mem_functions(counted_malloc, counted_realloc, counted_free)) return 2;
  testing::InitGoogleTest(&argc, argv);
  int failed = RUN_ALL_TESTS();
  // Once the library has let go of its caches, nothing allocated during a
  // run may still be held.
  host::release_library();
  if (swept && tracked == 0) failed = 1;
  for (const auto& block : *held) {
    std::printf("leak: a block allocated in the run that failed allocation %ld\n", block.second);
    failed = 1;
  }
  return failed;
}
