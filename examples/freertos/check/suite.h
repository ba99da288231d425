/* What the example's suite shares between its files: the helpers in use,
 * the known answers, and the tasks inside a helper. */
#ifndef RAWCRYPT_EXAMPLES_FREERTOS_CHECK_SUITE_H
#define RAWCRYPT_EXAMPLES_FREERTOS_CHECK_SUITE_H

#include "module.h"
#include "workers.h"

extern const struct rawcrypt_helpers *real_helpers;
extern struct crypto_work work;

/* race_checks: the first-request race over `rounds` generator lifetimes,
 * with the locking callbacks and (where the module is linked) without. */
void race_checks(int rounds, int module_loaded);

/* race_tick: the tick's part of the race, from the tick interrupt. */
void race_tick(BaseType_t *woken);

#endif
