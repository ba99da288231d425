// Failed allocations that libcrypto recorded in the calling thread's error
// queue during a call, seen without changing the queue. 1.0.2 and 1.1.1
// lose some of them inside their arithmetic (their division ignores a
// failed allocation for its remainder), so that a result built on the
// wrong number comes back as if nothing had failed; the allocator's entry
// in the queue is then the only sign of it. 3.x reports each such failure
// through its results.
#ifndef RAWCRYPT_TARGET_LIBRARY_ERRORS_H
#define RAWCRYPT_TARGET_LIBRARY_ERRORS_H

#include "target/calls.h"
#include "target/compat.h"

RAWCRYPT_SHORT_CALLS_BEGIN
namespace rawcrypt {

#if defined(RAWCRYPT_LIBCRYPTO_102) || defined(RAWCRYPT_LIBCRYPTO_111)

// The queue of these series is a public ring of ERR_NUM_ERRORS entries:
// what was added since the watch began lies after the top it saw.
class AllocationFailureWatch {
 public:
  AllocationFailureWatch() : state_(ERR_get_state()), top_(state_ != nullptr ? state_->top : 0) {}

  // seen: whether an entry added since then records a failed allocation.
  bool seen() const {
    if (state_ == nullptr) return false;
    for (int i = top_; i != state_->top;) {
      i = (i + 1) % ERR_NUM_ERRORS;
      if (ERR_GET_REASON(state_->err_buffer[i]) == ERR_R_MALLOC_FAILURE) return true;
    }
    return false;
  }

 private:
  const ERR_STATE* state_;
  int top_;
};

#else

class AllocationFailureWatch {
 public:
  bool seen() const { return false; }
};

#endif

}  // namespace rawcrypt
RAWCRYPT_SHORT_CALLS_END

#endif  // RAWCRYPT_TARGET_LIBRARY_ERRORS_H
