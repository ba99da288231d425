/* libcrypto 1.0.2's locking and thread-id callbacks on FreeRTOS mutexes.
 * Without them every lock in the library is a no-op: two tasks that make
 * the system's first random request at once both run the entropy poll
 * (docs/rtos.md), and the library's shared state (the error queue, the
 * generator's pool, reference counts) is torn by preemption. Touches only
 * the kernel's heap (the mutexes, made once and never freed). */
#include "crypto_threads.h"

#include <openssl/crypto.h>

#include "FreeRTOS.h"
#include "semphr.h"
#include "task.h"

static SemaphoreHandle_t *locks;

/* A mutex rather than a binary semaphore: a low task holding a lock that a
 * high task waits for inherits the high priority until it gives it back.
 * Read and write requests are served alike. */
static void lock_callback(int mode, int n, const char *file, int line) {
  (void)file;
  (void)line;
  if (mode & CRYPTO_LOCK)
    (void)xSemaphoreTake(locks[n], portMAX_DELAY);
  else
    (void)xSemaphoreGive(locks[n]);
}

/* The library's default thread id is the address of errno, which is per
 * task only with the kernel's newlib support; the task handle always is. */
static void thread_id_callback(CRYPTO_THREADID *id) { CRYPTO_THREADID_set_pointer(id, xTaskGetCurrentTaskHandle()); }

int crypto_threads_install(void) {
  const int count = CRYPTO_num_locks();
  locks = pvPortMalloc((size_t)count * sizeof *locks);
  if (locks == NULL) return 0;
  for (int n = 0; n < count; ++n) {
    locks[n] = xSemaphoreCreateMutex();
    if (locks[n] == NULL) return 0;
  }
  CRYPTO_THREADID_set_callback(thread_id_callback);
  CRYPTO_set_locking_callback(lock_callback);
  return 1;
}
