/* What newlib needs under the kernel: a heap that tasks can grow (rdimon's
 * _sbrk refuses to pass the current stack pointer, and a task's stack lies
 * below the heap), and malloc's lock, since libcrypto allocates in every
 * helper call from any task. Touches the heap's break only. */
#include <errno.h>
#include <reent.h>
#include <stddef.h>

#include "FreeRTOS.h"
#include "task.h"

/* The C library's heap: from the image's end, a fixed size. */
#define HEAP_BYTES (8u << 20)
extern char end[]; /* the linker's: the image's last byte + 1 */

void *_sbrk(ptrdiff_t increment) {
  static char *brk = end;
  if (increment > end + HEAP_BYTES - brk || increment < end - brk) {
    errno = ENOMEM;
    return (void *)-1;
  }
  char *old = brk;
  brk += increment;
  return old;
}

/* Allocation is short: holding off the scheduler is enough, and it works
 * before the scheduler starts too. */
void __malloc_lock(struct _reent *r) {
  (void)r;
  vTaskSuspendAll();
}

void __malloc_unlock(struct _reent *r) {
  (void)r;
  (void)xTaskResumeAll();
}
