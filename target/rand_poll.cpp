// The target's entropy poll: the only platform seed of the generator.
#include "target/generator.h"
#include "target/secret.h"

#include <stdlib.h>
#include <time.h>

#include <atomic>

RAWCRYPT_SHORT_CALLS_BEGIN
namespace rawcrypt {
namespace {
std::atomic<unsigned> polls{0};
std::atomic<unsigned> polls_by_library{0};
}  // namespace

int RAND_poll() {
  Wiped<unsigned char[32]> buf;
  srand(static_cast<unsigned>(time(nullptr)));
  for (unsigned char& byte : buf.value) byte = static_cast<unsigned char>(rand() & 0xff);
  rawcrypt::RAND_add(buf.value, sizeof buf.value, 32.0);
  polls.fetch_add(1, std::memory_order_relaxed);
  return 1;
}

unsigned generator_polls() { return polls.load(std::memory_order_relaxed); }

unsigned library_polls() { return polls_by_library.load(std::memory_order_relaxed); }

}  // namespace rawcrypt
RAWCRYPT_SHORT_CALLS_END

#ifdef RAWCRYPT_LIBCRYPTO_102
// The poll 1.0.2's default generator calls at its first request, and again
// after RAND_cleanup, while it holds its own lock. The library's own poll
// gathers nothing on the target; this one takes its place (in a static
// image the linker never pulls the library's in, and a shared 1.0.2 calls
// the image's).
extern "C" int RAND_poll(void) {
  rawcrypt::polls_by_library.fetch_add(1, std::memory_order_relaxed);
  return rawcrypt::RAND_poll();
}
#endif
