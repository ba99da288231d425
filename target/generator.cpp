// The generator's accounting and the requests that reach it.
//
// Who keeps the accounting (initialized, entropy) depends on the library:
// - 1.0.2's default generator keeps its own and polls through the module's
//   RAND_poll, which the module exports for it. Every request in the system,
//   the application's own included, is then served after that one poll, so
//   the module must not poll or count a second time: it passes requests on
//   and reads the library's verdict (and polls itself only where the
//   library's generator turns out to call a poll of its own; see serve).
// - 1.1 and later never call a RAND_poll symbol. The module keeps the
//   accounting for requests on its own road, runs the poll at the first of
//   them, and serialises polls on two locks of libcrypto's.
// Both sit behind the same small interface: serve, record_not_seeded,
// credit, status, forget.
#include "target/generator.h"

#include <atomic>

#include "target/console.h"

RAWCRYPT_SHORT_CALLS_BEGIN
namespace rawcrypt {
namespace {

enum class Served { kSeeded, kNotSeeded, kFailed };

#ifdef RAWCRYPT_LIBCRYPTO_102

// The library's generator records its "not seeded" error exactly when it
// served a strong request unseeded; its other failures (digest steps) record
// nothing. Peeking leaves the queue as it is.
bool library_says_not_seeded() {
  const unsigned long err = ERR_peek_last_error();
  return ERR_GET_LIB(err) == ERR_LIB_RAND && ERR_GET_REASON(err) == RAND_R_PRNG_NOT_SEEDED;
}

Served ask_library(unsigned char* buf, int num, bool pseudo) {
  if (pseudo) {
    // An unseeded pseudo request records nothing; its 0 is the verdict
    // (the library's digest failures cannot be told apart from it).
    return ::RAND_pseudo_bytes(buf, num) == 1 ? Served::kSeeded : Served::kNotSeeded;
  }
  if (::RAND_bytes(buf, num) == 1) return Served::kSeeded;
  return library_says_not_seeded() ? Served::kNotSeeded : Served::kFailed;
}

// An unseeded request always polls first. When the library's poll in it was
// not the module's, the library's generator calls a poll of its own, which
// gathers nothing on the device: the module was loaded at run time into an
// image linked with the library's poll, or a shared libcrypto binds its
// calls to itself. The road then seeds the generator as the poll would and
// asks again. Tasks that meet an unseeded generator at once take turns on a
// lock of the library's that nothing the poll or a request calls takes (this
// series builds without its STORE); the first polls, and each asks the
// library again before it would poll, so one poll serves them all. Only the
// library's own calls of the module's poll are counted here: a neighbour's
// fallback poll must not pass for the library's.
Served serve(unsigned char* buf, int num, bool pseudo) {
  const unsigned library_polls_before = library_polls();
  Served served = ask_library(buf, num, pseudo);
  if (served != Served::kNotSeeded || library_polls() != library_polls_before) return served;
  CRYPTO_w_lock(CRYPTO_LOCK_STORE);
  served = ask_library(buf, num, pseudo);
  if (served == Served::kNotSeeded) {
    rawcrypt::RAND_poll();
    served = ask_library(buf, num, pseudo);
  }
  CRYPTO_w_unlock(CRYPTO_LOCK_STORE);
  return served;
}

void credit(const void* buf, int num, double entropy) { ::RAND_add(buf, num, entropy); }
void record_not_seeded() {}  // the library has recorded its error
int status() { return ::RAND_status(); }
void forget() { ::RAND_cleanup(); }

#else  // 1.1 and later: the module's own accounting

// The generator's two locks, libcrypto's own, so that a task waiting for one
// blocks (and, with the OS's mutexes, lends its priority) instead of
// spinning. The poll lock serialises polls (exactly one poll when several
// tasks make their first request at once); the accounting lock guards
// `entropy` and is never held across a call. Each is made at its first use
// and published with a compare-and-swap: a request that finds no memory for
// it fails, and a later one tries again.
enum Lock { kPollLock = 0, kAccountingLock = 1 };
std::atomic<CRYPTO_RWLOCK*> locks[2] = {nullptr, nullptr};

CRYPTO_RWLOCK* lock_of(Lock which) {
  CRYPTO_RWLOCK* lock = locks[which].load(std::memory_order_acquire);
  if (lock != nullptr) return lock;
  CRYPTO_RWLOCK* made = CRYPTO_THREAD_lock_new();
  if (made == nullptr) return nullptr;
  if (locks[which].compare_exchange_strong(lock, made, std::memory_order_acq_rel)) return made;
  CRYPTO_THREAD_lock_free(made);  // another task published one first
  return lock;
}

// Holds one of the locks for a scope. held() is false only when libcrypto
// could not make the lock; the generator then serves nothing rather than
// serve unguarded.
class Locked {
 public:
  explicit Locked(Lock which) : lock_(lock_of(which)) {
    if (lock_ != nullptr && CRYPTO_THREAD_write_lock(lock_) != 1) lock_ = nullptr;
  }
  ~Locked() {
    if (lock_ != nullptr) CRYPTO_THREAD_unlock(lock_);
  }
  bool held() const { return lock_ != nullptr; }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  CRYPTO_RWLOCK* lock_;
};

// Constant-initialised, so the module has no constructor to run.
std::atomic<bool> initialized{false};
double entropy = 0.0;

enum class Seeding { kSeeded, kNotSeeded, kNoLock };

// Polls when the generator is not initialised; says whether it is seeded.
Seeding seeded_after_poll() {
  if (initialized.load(std::memory_order_acquire)) return Seeding::kSeeded;
  Locked gate(kPollLock);
  if (!gate.held()) return Seeding::kNoLock;
  if (initialized.load(std::memory_order_acquire)) return Seeding::kSeeded;  // another task polled
  rawcrypt::RAND_poll();
  bool enough = false;
  {
    Locked guard(kAccountingLock);
    if (!guard.held()) return Seeding::kNoLock;
    enough = entropy >= kEntropyNeeded;
  }
  initialized.store(enough, std::memory_order_release);
  return enough ? Seeding::kSeeded : Seeding::kNotSeeded;
}

Served serve(unsigned char* buf, int num, bool /* pseudo: served alike */) {
  const Seeding seeding = seeded_after_poll();
  if (seeding == Seeding::kNoLock) return Served::kFailed;
  if (::RAND_bytes(buf, num) != 1) return Served::kFailed;  // the library's own generator failed
  if (seeding == Seeding::kSeeded) return Served::kSeeded;
  {
    Locked guard(kAccountingLock);
    if (!guard.held()) return Served::kFailed;
    entropy = entropy > num ? entropy - num : 0.0;
  }
  return Served::kNotSeeded;
}

// After the line, as the library's generator records its error.
void record_not_seeded() { raise_not_seeded(); }

void credit(const void* buf, int num, double added) {
  ::RAND_add(buf, num, added);
  Locked guard(kAccountingLock);
  if (guard.held() && entropy < kEntropyNeeded) entropy += added;
}

int status() { return seeded_after_poll() == Seeding::kSeeded ? 1 : 0; }

void forget() {
  Locked gate(kPollLock);
  Locked guard(kAccountingLock);
  if (!gate.held() || !guard.held()) return;  // no locks: nothing was ever seeded
  initialized.store(false, std::memory_order_release);
  entropy = 0.0;
}

#endif

bool serves_default(const RAND_METHOD* meth) { return meth == default_rand_method(); }

// The default generator's byte production, for both kinds of request.
int generator_bytes(unsigned char* buf, int num, bool pseudo) {
  if (num <= 0) return 1;
  switch (serve(buf, num, pseudo)) {
    case Served::kSeeded:
      return 1;
    case Served::kNotSeeded:
      if (pseudo) {
        say(Line::kPseudo);
      } else {
        say(Line::kElse);
        record_not_seeded();
      }
      return 0;
    case Served::kFailed:
      break;
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

void RAND_add(const void* buf, int num, double entropy) {
  const RAND_METHOD* meth = RAND_get_rand_method();
  if (meth == nullptr) return;
  if (!serves_default(meth)) {
    if (meth->add != nullptr) meth->add(buf, num, entropy);
    return;
  }
  credit(buf, num, entropy);
}

void RAND_seed(const void* buf, int num) { rawcrypt::RAND_add(buf, num, static_cast<double>(num)); }

int RAND_status() {
  const RAND_METHOD* meth = RAND_get_rand_method();
  if (meth != nullptr && !serves_default(meth)) return meth->status != nullptr ? meth->status() : 0;
  return status();
}

void RAND_cleanup() { forget(); }

}  // namespace rawcrypt
RAWCRYPT_SHORT_CALLS_END
