// The target's entropy poll: the only platform seed of the generator.
#include "target/generator.h"
#include "target/secret.h"

#include <stdlib.h>
#include <time.h>

RAWCRYPT_SHORT_CALLS_BEGIN
namespace rawcrypt {

int RAND_poll() {
  Wiped<unsigned char[32]> buf;
  srand(static_cast<unsigned>(time(nullptr)));
  for (unsigned char& byte : buf.value) byte = static_cast<unsigned char>(rand() & 0xff);
  rawcrypt::RAND_add(buf.value, sizeof buf.value, 32.0);
  return 1;
}

}  // namespace rawcrypt
RAWCRYPT_SHORT_CALLS_END
