// The generator's accounting and the requests that reach it.
#include "target/generator.h"

#include <atomic>

#include "target/console.h"

RAWCRYPT_SHORT_CALLS_BEGIN
namespace rawcrypt {
namespace {

// Holds one of the generator's locks for a scope. held() is false only when
// libcrypto could not make its locks (out of memory at the first request);
// the generator then serves nothing rather than serve unguarded.
class Locked {
 public:
  explicit Locked(GeneratorLock which) : which_(which), held_(generator_lock(which) == 1) {}
  ~Locked() {
    if (held_) generator_unlock(which_);
  }
  bool held() const { return held_; }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  GeneratorLock which_;
  bool held_;
};

// The generator's state: constant-initialised, so the module has no
// constructor to run. The poll lock serialises polls (exactly one poll when
// several tasks make their first request at once); the accounting lock
// guards `entropy`.
std::atomic<bool> initialized{false};
std::atomic<unsigned> polls{0};
double entropy = 0.0;

bool serves_default(const RAND_METHOD* meth) { return meth == default_rand_method(); }

enum class Seeding { kSeeded, kNotSeeded, kNoLock };

// Polls when the generator is not initialised; says whether it is seeded.
Seeding seeded_after_poll() {
  if (initialized.load(std::memory_order_acquire)) return Seeding::kSeeded;
  Locked gate(kPollLock);
  if (!gate.held()) return Seeding::kNoLock;
  if (initialized.load(std::memory_order_acquire)) return Seeding::kSeeded;  // another task polled
  rawcrypt::RAND_poll();
  polls.fetch_add(1, std::memory_order_relaxed);
  bool enough = false;
  {
    Locked guard(kAccountingLock);
    if (!guard.held()) return Seeding::kNoLock;
    enough = entropy >= kEntropyNeeded;
  }
  initialized.store(enough, std::memory_order_release);
  return enough ? Seeding::kSeeded : Seeding::kNotSeeded;
}

// The default generator's byte production, for both kinds of request.
int generator_bytes(unsigned char* buf, int num, bool pseudo) {
  if (num <= 0) return 1;
  const Seeding seeding = seeded_after_poll();
  if (seeding == Seeding::kNoLock) return 0;
  if (::RAND_bytes(buf, num) != 1) return 0;  // the library's own generator failed
  if (seeding == Seeding::kSeeded) return 1;
  {
    Locked guard(kAccountingLock);
    if (!guard.held()) return 0;
    entropy = entropy > num ? entropy - num : 0.0;
  }
  if (pseudo) {
    say(Line::kPseudo);
  } else {
    say(Line::kElse);
    raise_not_seeded();
  }
  return 0;
}

int method_bytes(unsigned char* buf, int num, bool pseudo) {
  const RAND_METHOD* meth = RAND_get_rand_method();
  if (meth == nullptr || meth->bytes == nullptr) {
    say(Line::kNoMethod, static_cast<const void*>(meth),
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
  Locked guard(kAccountingLock);
  if (guard.held() && entropy < kEntropyNeeded) entropy += credit;
}

void RAND_seed(const void* buf, int num) { rawcrypt::RAND_add(buf, num, static_cast<double>(num)); }

int RAND_status() {
  const RAND_METHOD* meth = RAND_get_rand_method();
  if (meth != nullptr && !serves_default(meth)) return meth->status != nullptr ? meth->status() : 0;
  return seeded_after_poll() == Seeding::kSeeded ? 1 : 0;
}

void RAND_cleanup() {
  Locked gate(kPollLock);
  Locked guard(kAccountingLock);
  if (!gate.held() || !guard.held()) return;  // no locks: nothing was ever seeded
  initialized.store(false, std::memory_order_release);
  entropy = 0.0;
}

unsigned generator_polls() { return polls.load(std::memory_order_relaxed); }

}  // namespace rawcrypt
RAWCRYPT_SHORT_CALLS_END
