/* The example firmware: rawcrypt's helpers used by four tasks of different
 * priorities under FreeRTOS, beside libcrypto 1.0.2 and newlib, on qemu's
 * vexpress-a9 board. What the application does before any task uses a
 * helper, in this order:
 *   1. the board's set-up (vectors, mode stacks);
 *   2. libcrypto's locking and thread-id callbacks (crypto_threads.c);
 *   3. a hardware entropy source, where the board has one (add_board_entropy);
 *   4. the module: linked, or loaded from a file (module.h);
 *   5. the tasks, each stack sized by the budget rule (workers.c).
 * The module itself needs no initialisation call. Runs for RUN_SECONDS,
 * prints what each task did and how much stack it took, and stops.
 * Arguments (qemu's -append): the module's path, for the loaded image. */
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "FreeRTOS.h"
#include "board/board.h"
#include "crypto_threads.h"
#include "module.h"
#include "task.h"
#include "workers.h"

#define RUN_SECONDS 2

/* A demo key (RFC 6979's P-256 example): a device's own comes from its
 * provisioning, never from the generator on a board without an entropy
 * source (see docs/rtos.md). */
static const uint8_t demo_d[32] = {0xc9, 0xaf, 0xa9, 0xd8, 0x45, 0xba, 0x75, 0x16, 0x6b, 0x5c, 0x21,
                                   0x57, 0x67, 0xb1, 0xd6, 0x93, 0x4e, 0x50, 0xc3, 0xdb, 0x36, 0xe8,
                                   0x9b, 0x12, 0x7b, 0x8a, 0x62, 0x2b, 0x12, 0x0f, 0x67, 0x21};
static const uint8_t demo_x[32] = {0x60, 0xfe, 0xd4, 0xba, 0x25, 0x5a, 0x9d, 0x31, 0xc9, 0x61, 0xeb,
                                   0x74, 0xc6, 0x35, 0x6d, 0x68, 0xc0, 0x49, 0xb8, 0x92, 0x3b, 0x61,
                                   0xfa, 0x6c, 0xe6, 0x69, 0x62, 0x2e, 0x60, 0xf2, 0x9f, 0xb6};
static const uint8_t demo_y[32] = {0x79, 0x03, 0xfe, 0x10, 0x08, 0xb8, 0xbc, 0x99, 0xa4, 0x1a, 0xe9,
                                   0xe9, 0x56, 0x28, 0xbc, 0x64, 0xf2, 0xf1, 0xb2, 0x0c, 0x2d, 0x7e,
                                   0x9f, 0x51, 0x77, 0xa3, 0xc2, 0x94, 0xd4, 0x46, 0x22, 0x99};

/* Where a board with a hardware entropy source (a TRNG, a ring oscillator)
 * feeds the generator: at boot, before any task draws, crediting what the
 * source is worth. With the module linked into the image, its poll still
 * runs at the first request and adds the clock's seconds and rand(); with
 * the module loaded beside a libcrypto that polls on its own, a credit of
 * 32 bytes or more seeds the generator alone and the module's poll never
 * runs. This board has no such source, so nothing is added: the poll is
 * then the generator's only seed. */
static void add_board_entropy(void) {
#ifdef BOARD_ENTROPY_SOURCE
  uint8_t sample[32];
  board_entropy_read(sample, sizeof sample);
  RAND_add(sample, sizeof sample, (double)sizeof sample);
  OPENSSL_cleanse(sample, sizeof sample);
#endif
}

/* The demo's inputs, and the results every task must get under preemption:
 * those of one call each, made before any task runs. */
static struct crypto_work work;

static void prepare_work(const struct rawcrypt_helpers *h) {
  memcpy(work.d, demo_d, 32);
  memcpy(work.x, demo_x, 32);
  memcpy(work.y, demo_y, 32);
  work.message_length = sizeof work.message;
  for (size_t i = 0; i < sizeof work.message; ++i) work.message[i] = (uint8_t)(i * 7 + 1);
  memset(work.aes_key, 0x2b, sizeof work.aes_key);
  memset(work.aes_iv, 0x0f, sizeof work.aes_iv);
  memcpy(work.aes_plain, work.message, sizeof work.aes_plain);
  h->aes_enc(work.aes_plain, sizeof work.aes_plain, work.aes_key, work.aes_iv, work.aes_cipher);
  memset(work.des3_key, 0x5d, sizeof work.des3_key);
  work.des3_length = sizeof work.des3_cipher;
  memcpy(work.des3_cipher, work.message + 64, sizeof work.des3_cipher);
  h->des3_dec(work.des3_cipher, work.des3_length, work.des3_key, work.des3_plain);
  work.base64_length = sizeof work.base64_bytes;
  memcpy(work.base64_bytes, work.message + 128, sizeof work.base64_bytes);
  h->base64_encode(work.base64_bytes, work.base64_length,
                   "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", work.base64_text);
}

/* Above the workers: waits for them, then reports. */
static void report_task(void *argument) {
  (void)argument;
  workers_wait();
  unsigned calls = 0, wrong = 0;
  for (int i = 0; i < WORKERS; ++i) {
    const struct worker *w = &workers[i];
    const size_t used = w->stack_bytes - uxTaskGetStackHighWaterMark(w->task) * sizeof(StackType_t);
    printf("task %-6s priority %u: %6u helper calls, %u wrong; stack %u of %u bytes\n", w->name,
           (unsigned)w->priority, w->calls, w->wrong, (unsigned)used, (unsigned)w->stack_bytes);
    calls += w->calls;
    wrong += w->wrong;
  }
  printf("%u helper calls in %d s, %u wrong\n", calls, RUN_SECONDS, wrong);
  exit(wrong == 0 ? 0 : 1);
}

int main(int argc, char **argv) {
  board_init();
  if (!crypto_threads_install()) board_fault("no room for libcrypto's locks");
  add_board_entropy();
  const struct rawcrypt_helpers *helpers = module_open(argc > 1 ? argv[1] : NULL);
  if (helpers == NULL) return 2;
  module_describe();
  prepare_work(helpers);
  if (!workers_start(helpers, &work, RUN_SECONDS * configTICK_RATE_HZ) ||
      xTaskCreate(report_task, "report", 1024, NULL, WORKERS + 1, NULL) != pdPASS)
    board_fault("no room for the tasks");
  vTaskStartScheduler();
  board_fault("the scheduler did not start");
}
