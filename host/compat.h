// Host-side code (the tool, the tests, the bench) against libcrypto 1.0.2
// and 1.1/3.x: the calls it makes that the module does not. The module's
// own differences stay in target/compat.h, which this header builds on.
#ifndef RAWCRYPT_HOST_COMPAT_H
#define RAWCRYPT_HOST_COMPAT_H

#include "target/compat.h"

#include <openssl/bio.h>

#include "target/owners.h"

#ifdef RAWCRYPT_LIBCRYPTO_102
#include <pthread.h>
#endif

namespace host {

// MdContext: an EVP digest context on the heap, freed with its owner.
struct MdContextDeleter {
  void operator()(EVP_MD_CTX* ctx) const {
#ifdef RAWCRYPT_LIBCRYPTO_102
    EVP_MD_CTX_destroy(ctx);
#else
    EVP_MD_CTX_free(ctx);
#endif
  }
};
using MdContext = std::unique_ptr<EVP_MD_CTX, MdContextDeleter>;

inline MdContext new_md_context() {
#ifdef RAWCRYPT_LIBCRYPTO_102
  return MdContext(EVP_MD_CTX_create());
#else
  return MdContext(EVP_MD_CTX_new());
#endif
}

// group_order: a copy of the group's order (null when out of memory).
inline rawcrypt::Owned<BIGNUM> group_order(const EC_GROUP* group) {
  rawcrypt::Owned<BIGNUM> order(BN_new());
  if (order && EC_GROUP_get_order(group, order.get(), nullptr) != 1) order.reset();
  return order;
}

// secret_memory_bio: a memory BIO for key text; 1.1 and later keep it in
// memory that is wiped when freed.
inline BIO* secret_memory_bio() {
#ifdef RAWCRYPT_LIBCRYPTO_102
  return BIO_new(BIO_s_mem());
#else
  return BIO_new(BIO_s_secmem());
#endif
}

// release_library: makes libcrypto let go of every cache it keeps, so that
// what is still allocated afterwards is a leak.
inline void release_library() {
#ifdef RAWCRYPT_LIBCRYPTO_102
  CRYPTO_cleanup_all_ex_data();
  ERR_remove_thread_state(nullptr);
  ERR_free_strings();
  EVP_cleanup();
  RAND_cleanup();
#else
  OPENSSL_cleanup();
#endif
}

// library_version: libcrypto's own version text.
inline const char* library_version() {
#ifdef RAWCRYPT_LIBCRYPTO_102
  return SSLeay_version(SSLEAY_VERSION);
#else
  return OpenSSL_version(OPENSSL_VERSION);
#endif
}

// ThreadLocking: what an application does before it calls libcrypto from
// several threads. 1.0.2 takes its locks only through callbacks the
// application installs (the device's application installs its OS mutexes);
// 1.1 and later lock by themselves.
class ThreadLocking {
 public:
#ifdef RAWCRYPT_LIBCRYPTO_102
  ThreadLocking() {
    for (pthread_mutex_t& m : locks_) pthread_mutex_init(&m, nullptr);
    CRYPTO_THREADID_set_callback(thread_id);
    CRYPTO_set_locking_callback(lock);
  }
  ~ThreadLocking() { CRYPTO_set_locking_callback(nullptr); }

 private:
  static void thread_id(CRYPTO_THREADID* id) {
    CRYPTO_THREADID_set_numeric(id, static_cast<unsigned long>(pthread_self()));
  }
  static void lock(int mode, int n, const char*, int) {
    if (mode & CRYPTO_LOCK)
      pthread_mutex_lock(&locks_[n]);
    else
      pthread_mutex_unlock(&locks_[n]);
  }
  static inline pthread_mutex_t locks_[CRYPTO_NUM_LOCKS];

 public:
#else
  ThreadLocking() {}  // user-provided: a holder reads as used
#endif
  ThreadLocking(const ThreadLocking&) = delete;
  ThreadLocking& operator=(const ThreadLocking&) = delete;
};

}  // namespace host

#endif  // RAWCRYPT_HOST_COMPAT_H
