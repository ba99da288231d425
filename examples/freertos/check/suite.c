/* The example's suite on qemu's vexpress-a9 board (-icount shift=0, the
 * clock held so that two runs print the same counts): the example's tasks
 * on known answers for a few seconds of virtual time, counting the tick's
 * preemptions inside a helper; each task's stack high-water mark against
 * its budget (the kernel's overflow check on); the first-request race
 * (race.c). Arguments: the vectors folder, then the module's path for the
 * loaded image. Ends with "N passed, M failed". Linked with
 * --wrap=FreeRTOS_Tick_Handler and probes.h's wraps. */
#include <openssl/crypto.h>
#include <stdlib.h>
#include <string.h>

#include "FreeRTOS.h"
#include "board/board.h"
#include "crypto_threads.h"
#include "suite.h"
#include "task.h"
#include "tests/baremetal/probes.h"
#include "tests/baremetal/vector_file.h"

#define STRESS_SECONDS 3
#define RACE_ROUNDS 36

const struct rawcrypt_helpers *real_helpers;
struct crypto_work work;

/* One known answer of each kind from the public vectors. */
static int read_known_answers(const char *dir) {
  struct vector_file f;
  const char *name, *value;
  int found = 0;
  if (vector_open(&f, dir, "extra/rfc6979_p256.txt")) {
    while (vector_next(&f, &name, &value)) {
      if (!strcmp(name, "x")) found += hex_bytes(value, work.d, 32) == 32;
      if (!strcmp(name, "Ux")) found += hex_bytes(value, work.x, 32) == 32;
      if (!strcmp(name, "Uy")) found += hex_bytes(value, work.y, 32) == 32;
    }
    vector_close(&f);
  }
  size_t plain = 0, cipher = 0;
  if (vector_open(&f, dir, "extra/sp800-38a_cbc_aes256.txt")) {
    while (vector_next(&f, &name, &value)) {
      if (!strcmp(name, "Key")) found += hex_bytes(value, work.aes_key, 32) == 32;
      if (!strcmp(name, "IV")) found += hex_bytes(value, work.aes_iv, 16) == 16;
      if (!strcmp(name, "Plaintext") && plain < 64) plain += hex_bytes(value, work.aes_plain + plain, 16);
      if (!strcmp(name, "Ciphertext") && cipher < 64) cipher += hex_bytes(value, work.aes_cipher + cipher, 16);
    }
    vector_close(&f);
  }
  found += plain == 64 && cipher == 64;
  if (vector_open(&f, dir, "nist-cavp/tdes/TECBMMT3.rsp")) { /* COUNT = 2: three blocks */
    while (vector_next(&f, &name, &value) && work.des3_length == 0) {
      if (!strncmp(name, "KEY", 3) && name[3] >= '1' && name[3] <= '3')
        hex_bytes(value, work.des3_key + 8 * (name[3] - '1'), 8);
      if (!strcmp(name, "PLAINTEXT")) plain = hex_bytes(value, work.des3_plain, 64);
      if (!strcmp(name, "CIPHERTEXT") && plain == 24) work.des3_length = hex_bytes(value, work.des3_cipher, 64);
    }
    vector_close(&f);
  }
  found += work.des3_length == 24;
  memcpy(work.base64_bytes, "foobar", 6); /* RFC 4648, section 10 */
  work.base64_length = 6;
  strcpy(work.base64_text, "Zm9vYmFy");
  work.message_length = 32;
  memcpy(work.message, "sample, signed by four tasks...", 32);
  return found == 7;
}

/* The helpers as the tasks reach them: each call marks its task as inside
 * a helper, which the tick reads. */
static struct {
  TaskHandle_t task;
  volatile int depth;
} inside[8];

static volatile int *depth_of(TaskHandle_t task) {
  for (size_t i = 0; i < 8; ++i)
    if (inside[i].task == task) return &inside[i].depth;
  return NULL;
}

#define MARKED(call)                                               \
  do {                                                             \
    volatile int *depth = depth_of(xTaskGetCurrentTaskHandle());   \
    ++*depth;                                                      \
    call;                                                          \
    --*depth;                                                      \
  } while (0)
#define RETURNING(type, call) \
  type result;                \
  MARKED(result = call);      \
  return result

typedef const unsigned char *in;
static void des3(in i, uint32_t n, in k, unsigned char *o) { MARKED(real_helpers->des3_dec(i, n, k, o)); }
static void aes_e(in i, uint32_t n, in k, in v, unsigned char *o) { MARKED(real_helpers->aes_enc(i, n, k, v, o)); }
static void aes_d(in i, uint32_t n, in k, in v, unsigned char *o) { MARKED(real_helpers->aes_dec(i, n, k, v, o)); }
static int sign(in d, in m, unsigned char *s, uint32_t n) { RETURNING(int, real_helpers->ecc_sign(d, m, s, n)); }
static int verify(in x, in y, in m, in s, uint32_t n) { RETURNING(int, real_helpers->ecc_verify(x, y, m, s, n)); }
static void encode(in i, int32_t n, const char *a, char *o) { MARKED(real_helpers->base64_encode(i, n, a, o)); }
static int decode(const char *t, int32_t *n, unsigned char *o) {
  RETURNING(int, real_helpers->base64_decode(t, n, o));
}
static const struct rawcrypt_helpers marked = {des3, aes_e, aes_d, sign, verify, encode, decode};

static volatile unsigned tick_preemptions;
extern uint32_t ulPortYieldRequired; /* the port's: a switch at the IRQ's end */
void __real_FreeRTOS_Tick_Handler(void);
void __wrap_FreeRTOS_Tick_Handler(void) {
  BaseType_t woken = pdFALSE;
  __real_FreeRTOS_Tick_Handler();
  race_tick(&woken);
  portYIELD_FROM_ISR(woken);
  volatile int *depth = depth_of(xTaskGetCurrentTaskHandle());
  if (*(volatile uint32_t *)&ulPortYieldRequired && depth != NULL && *depth > 0) ++tick_preemptions;
}

static void stress_and_stacks(void) {
  for (int i = 0; i < WORKERS; ++i) inside[i].task = workers[i].task;
  workers_wait();
  unsigned calls = 0, wrong = 0;
  for (int i = 0; i < WORKERS; ++i) {
    calls += workers[i].calls;
    wrong += workers[i].wrong;
    const size_t used = workers[i].stack_bytes - uxTaskGetStackHighWaterMark(workers[i].task) * sizeof(StackType_t);
    check(used < workers[i].stack_bytes, "task %-6s priority %u: stack %u of its budget %u bytes", workers[i].name,
          (unsigned)workers[i].priority, (unsigned)used, (unsigned)workers[i].stack_bytes);
  }
  check(calls > 1000 && wrong == 0, "%u helper calls by four tasks in %d s of virtual time, %u wrong", calls,
        STRESS_SECONDS, wrong);
  check(tick_preemptions > 0, "the tick preempted a task inside a helper %u times", (unsigned)tick_preemptions);
}

static int module_loaded;

static void suite_task(void *argument) {
  (void)argument;
  stress_and_stacks();
  race_checks(RACE_ROUNDS, module_loaded);
  exit(checks_end());
}

int main(int argc, char **argv) {
  board_init();
  held_clock = 1700000000;
  counter_start();
  if (argc < 2 || !crypto_threads_install() || !read_known_answers(argv[1])) board_fault("cannot start the suite");
  module_loaded = argc > 2;
  if ((real_helpers = module_open(module_loaded ? argv[2] : NULL)) == NULL) return 2;
  module_describe();
  if (!workers_start(&marked, &work, STRESS_SECONDS * configTICK_RATE_HZ) ||
      xTaskCreate(suite_task, "suite", 2048, NULL, WORKERS + 2, NULL) != pdPASS)
    board_fault("no room for the tasks");
  vTaskStartScheduler();
  board_fault("the scheduler did not start");
}
