// Random bytes and private scalars from getrandom(2).
#include "tools/rawcrypt/os_random.h"

#include <cerrno>
#include <stdexcept>

#include <sys/random.h>

#include "tools/rawcrypt/failure.h"

namespace cli {

void os_random(unsigned char* out, size_t size) {
  for (size_t done = 0; done < size;) {
    const ssize_t n = getrandom(out + done, size - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Failure(system_error("cannot draw from the host's random generator"));
    done += static_cast<size_t>(n);
  }
}

host::RawKeyPair fresh_key_pair() {
  host::SecretBytes d(32);
  // A draw of 0 or not below the order (about one in 2^32) is drawn again.
  for (int attempt = 1;; ++attempt) {
    os_random(d.data(), d.size());
    try {
      return host::public_of(d.data());
    } catch (const std::invalid_argument& e) {
      if (attempt == 8) throw Failure(std::string("key generation failed: ") + e.what());
    }
  }
}

}  // namespace cli
