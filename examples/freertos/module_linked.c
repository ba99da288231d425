/* The module linked into the image: rawcrypt.o is one more object of the
 * link, and libcrypto 1.0.2's generator calls the module's entropy poll. */
#include <stdio.h>

#include "module.h"

static const struct rawcrypt_helpers linked = {
    des3_dec, aes_enc, aes_dec, ecc_sign, ecc_verify, base64_encode, base64_decode,
};

const struct rawcrypt_helpers *module_open(const char *object_path) {
  (void)object_path;
  return &linked;
}

void module_describe(void) { printf("module: rawcrypt.o linked into the image\n"); }
