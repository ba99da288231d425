// Random methods an application might install, for driving the generator
// and the road of a signature into their failure paths.
#ifndef RAWCRYPT_TESTS_RAND_METHODS_H
#define RAWCRYPT_TESTS_RAND_METHODS_H

#include "target/compat.h"

#include <cstring>
#include <vector>

namespace testing_rand {

// The bytes every draw of a stuck method returns, and how many draws it saw.
inline unsigned char stuck_byte = 0xff;
inline int stuck_draws = 0;
// What the recording method was given through add/seed.
inline std::vector<std::vector<unsigned char>> added;

inline int stuck_bytes(unsigned char* buf, int num) {
  memset(buf, stuck_byte, num);
  ++stuck_draws;
  return 1;
}
inline rawcrypt::rand_seed_result record_add(const void* buf, int num, double) {
  const auto* p = static_cast<const unsigned char*>(buf);
  added.emplace_back(p, p + num);
  return rawcrypt::rand_seed_result(1);
}
inline rawcrypt::rand_seed_result record_seed(const void* buf, int num) { return record_add(buf, num, num); }
inline int always_seeded() { return 1; }

// A method without a byte operation, one whose bytes are stuck at
// stuck_byte, and both recording what is added.
inline RAND_METHOD without_bytes = {record_seed, nullptr, nullptr, record_add, nullptr, always_seeded};
inline RAND_METHOD stuck = {record_seed, stuck_bytes, nullptr, record_add, stuck_bytes, always_seeded};

// ScopedRandMethod: installs a method in libcrypto for the scope, then puts
// the library's default back.
class ScopedRandMethod {
 public:
  explicit ScopedRandMethod(const RAND_METHOD* meth) {
    stuck_draws = 0;
    added.clear();
    RAND_set_rand_method(meth);
  }
  ~ScopedRandMethod() { RAND_set_rand_method(rawcrypt::default_rand_method()); }
};

}  // namespace testing_rand

#endif  // RAWCRYPT_TESTS_RAND_METHODS_H
