/* The module's seven helpers as the application reaches them: linked into
 * the image with it (module_linked.c), or loaded at run time from a file
 * into an image that keeps a symbol table of its own (module_loaded.c), as
 * a device's loader does. */
#ifndef RAWCRYPT_EXAMPLES_FREERTOS_MODULE_H
#define RAWCRYPT_EXAMPLES_FREERTOS_MODULE_H

#include "helpers/encrypt.h"

struct rawcrypt_helpers {
  __typeof__(des3_dec) *des3_dec;
  __typeof__(aes_enc) *aes_enc;
  __typeof__(aes_dec) *aes_dec;
  __typeof__(ecc_sign) *ecc_sign;
  __typeof__(ecc_verify) *ecc_verify;
  __typeof__(base64_encode) *base64_encode;
  __typeof__(base64_decode) *base64_decode;
};

/* module_open: the helpers. The loaded image reads the module from
 * object_path (ignored where the module is linked); NULL when it cannot be
 * loaded, after a line saying why. Call it before the scheduler starts. */
const struct rawcrypt_helpers *module_open(const char *object_path);

/* module_describe: one line on where the helpers are (the loaded copy's
 * address and its distance from libcrypto). */
void module_describe(void);

#endif
