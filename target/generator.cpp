// The generator's accounting and the requests that reach it.
#include "target/generator.h"

#include <stdio.h>

#include <atomic>

namespace rawcrypt {
namespace {

// A lock for a few instructions, built on an atomic flag: the module may not
// depend on the OS's threads, and no libcrypto lock is ours to nest.
class SpinLock {
 public:
  void lock() {
    while (flag_.test_and_set(std::memory_order_acquire)) {
    }
  }
  void unlock() { flag_.clear(std::memory_order_release); }

 private:
  std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

class Locked {
 public:
  explicit Locked(SpinLock& lock) : lock_(lock) { lock_.lock(); }
  ~Locked() { lock_.unlock(); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  SpinLock& lock_;
};

// The generator's state: constant-initialised, so the module has no
// constructor to run. `poll_lock` serialises polls (exactly one poll when
// several tasks make their first request at once); `entropy_lock` guards
// `entropy` and is never held across a call.
SpinLock poll_lock;
SpinLock entropy_lock;
std::atomic<bool> initialized{false};
std::atomic<unsigned> polls{0};
double entropy = 0.0;

bool serves_default(const RAND_METHOD* meth) { return meth == default_rand_method(); }

// Polls when the generator is not initialised; returns whether it is seeded.
bool seeded_after_poll() {
  if (initialized.load(std::memory_order_acquire)) return true;
  Locked gate(poll_lock);
  if (!initialized.load(std::memory_order_acquire)) {  // another task may have polled
    RAND_poll();
    polls.fetch_add(1, std::memory_order_relaxed);
    bool enough;
    {
      Locked guard(entropy_lock);
      enough = entropy >= kEntropyNeeded;
    }
    initialized.store(enough, std::memory_order_release);
    return enough;
  }
  return true;
}

// The default generator's byte production, for both kinds of request.
int generator_bytes(unsigned char* buf, int num, bool pseudo) {
  if (num <= 0) return 1;
  const bool seeded = seeded_after_poll();
  if (::RAND_bytes(buf, num) != 1) return 0;  // the library's own generator failed
  if (seeded) return 1;
  {
    Locked guard(entropy_lock);
    entropy = entropy > num ? entropy - num : 0.0;
  }
  if (pseudo) {
    printf("pseudo\n");
  } else {
    printf("else\n");
    raise_not_seeded();
  }
  return 0;
}

int method_bytes(unsigned char* buf, int num, bool pseudo) {
  const RAND_METHOD* meth = RAND_get_rand_method();
  if (meth == nullptr || meth->bytes == nullptr) {
    printf("meth = %p, bytes = %p\n", static_cast<const void*>(meth),
           meth != nullptr ? reinterpret_cast<void*>(meth->bytes) : nullptr);
    return -1;
  }
  if (serves_default(meth)) return generator_bytes(buf, num, pseudo);
  if (pseudo && meth->pseudorand != nullptr) return meth->pseudorand(buf, num);
  return meth->bytes(buf, num);
}

}  // namespace

int RAND_bytes(unsigned char* buf, int num) { return method_bytes(buf, num, false); }

int RAND_pseudo_bytes(unsigned char* buf, int num) { return method_bytes(buf, num, true); }

void RAND_add(const void* buf, int num, double credit) {
  const RAND_METHOD* meth = RAND_get_rand_method();
  if (meth == nullptr) return;
  if (!serves_default(meth)) {
    if (meth->add != nullptr) meth->add(buf, num, credit);
    return;
  }
  ::RAND_add(buf, num, credit);
  Locked guard(entropy_lock);
  if (entropy < kEntropyNeeded) entropy += credit;
}

void RAND_seed(const void* buf, int num) { RAND_add(buf, num, static_cast<double>(num)); }

int RAND_status() {
  const RAND_METHOD* meth = RAND_get_rand_method();
  if (meth != nullptr && !serves_default(meth)) return meth->status != nullptr ? meth->status() : 0;
  return seeded_after_poll() ? 1 : 0;
}

void RAND_cleanup() {
  Locked gate(poll_lock);
  initialized.store(false, std::memory_order_release);
  Locked guard(entropy_lock);
  entropy = 0.0;
}

unsigned generator_polls() { return polls.load(std::memory_order_relaxed); }

}  // namespace rawcrypt
