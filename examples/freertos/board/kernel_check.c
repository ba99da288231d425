/* The kernel library must have been built against this example's
 * FreeRTOSConfig.h: the layout of a task's control block, the FPU context
 * and the newlib state all follow from it. The installed kernel records the
 * configuration it was built for (kernel_build.h, written at its build);
 * the build passes this example's as RAWCRYPT_FREERTOS_CONFIG. Both are the
 * first 64 bits of the header's SHA-256. */
#include "kernel_build.h"

_Static_assert(KERNEL_BUILT_FOR_CONFIG == RAWCRYPT_FREERTOS_CONFIG,
               "the installed FreeRTOS kernel was built for another FreeRTOSConfig.h: rebuild it against "
               "examples/freertos/FreeRTOSConfig.h");
