// The target's entropy poll: the only platform seed of the generator.
#include "target/generator.h"

#include <stdlib.h>
#include <time.h>

namespace rawcrypt {

int RAND_poll() {
  unsigned char buf[32];
  srand(static_cast<unsigned>(time(nullptr)));
  for (unsigned char& byte : buf) byte = static_cast<unsigned char>(rand() & 0xff);
  rawcrypt::RAND_add(buf, sizeof buf, 32.0);
  OPENSSL_cleanse(buf, sizeof buf);
  return 1;
}

}  // namespace rawcrypt
