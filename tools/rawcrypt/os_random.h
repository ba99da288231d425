// What the tool draws at random: private scalars and token key ids, from
// the host OS's generator (getrandom), never from libcrypto's. Built against
// 1.0.2, the tool's libcrypto polls through the module, whose poll reads the
// clock: right for the device, and no source of keys on the host. Touches
// nothing but the host's generator.
#ifndef RAWCRYPT_TOOLS_RAWCRYPT_OS_RANDOM_H
#define RAWCRYPT_TOOLS_RAWCRYPT_OS_RANDOM_H

#include <cstddef>

#include "host/keys.h"

namespace cli {

// os_random: `size` bytes from getrandom(2), waiting until the host's
// generator is seeded.
void os_random(unsigned char* out, size_t size);

// fresh_key_pair: a P-256 pair whose private scalar is drawn by os_random.
host::RawKeyPair fresh_key_pair();

}  // namespace cli

#endif  // RAWCRYPT_TOOLS_RAWCRYPT_OS_RANDOM_H
