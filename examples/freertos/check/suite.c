/* The example's suite on qemu's vexpress-a9 board (-icount shift=0, the
 * clock held so that two runs print the same lines): the example's tasks on
 * known answers for a few seconds of virtual time, counting the tick's
 * preemptions inside a helper; each task's stack high-water mark against
 * its budget (the kernel's overflow check on); then the first-request race.
 * Arguments: the vectors folder, then the module's path for the loaded
 * image. Ends with "N passed, M failed". Linked with
 * --wrap=FreeRTOS_Tick_Handler and probes.h's wraps. */
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <stdlib.h>
#include <string.h>

#include "FreeRTOS.h"
#include "board/board.h"
#include "crypto_threads.h"
#include "event_groups.h"
#include "task.h"
#include "tests/baremetal/probes.h"
#include "tests/baremetal/vector_file.h"
#include "workers.h"

#define STRESS_SECONDS 3
#define RACE_ROUNDS 36

static const struct rawcrypt_helpers *real;
static struct crypto_work work;

/* One known answer of each kind: each value fills its field once (the AES
 * blocks add up to 64 bytes; TECBMMT3's first record, one block). */
static int read_known_answers(const char *dir) {
  static const char *const files[] = {"extra/rfc6979_p256.txt", "extra/sp800-38a_cbc_aes256.txt",
                                      "nist-cavp/tdes/TECBMMT3.rsp"};
  const struct {
    int file;
    const char *name;
    uint8_t *field;
    size_t size;
  } answers[] = {
      {0, "x", work.d, 32}, {0, "Ux", work.x, 32}, {0, "Uy", work.y, 32},
      {1, "Key", work.aes_key, 32}, {1, "IV", work.aes_iv, 16}, {1, "Plaintext", work.aes_plain, 64},
      {1, "Ciphertext", work.aes_cipher, 64}, {2, "KEY1", work.des3_key, 8}, {2, "KEY2", work.des3_key + 8, 8},
      {2, "KEY3", work.des3_key + 16, 8}, {2, "PLAINTEXT", work.des3_plain, 8}, {2, "CIPHERTEXT", work.des3_cipher, 8},
  };
  size_t filled[sizeof answers / sizeof answers[0]] = {0}, complete = 0;
  for (int file = 0; file < 3; ++file) {
    struct vector_file f;
    const char *name, *value;
    if (!vector_open(&f, dir, files[file])) return 0;
    while (vector_next(&f, &name, &value))
      for (size_t i = 0; i < sizeof answers / sizeof answers[0]; ++i)
        if (answers[i].file == file && !strcmp(name, answers[i].name) && filled[i] < answers[i].size)
          complete += (filled[i] += hex_bytes(value, answers[i].field + filled[i], answers[i].size - filled[i])) ==
                      answers[i].size;
    vector_close(&f);
  }
  work.des3_length = 8;
  memcpy(work.base64_bytes, "foobar", 6); /* RFC 4648, section 10 */
  work.base64_length = 6;
  strcpy(work.base64_text, "Zm9vYmFy");
  work.message_length = 32;
  memcpy(work.message, "sample, signed by four tasks...", 32);
  return complete == sizeof answers / sizeof answers[0];
}

/* The helpers as the workers reach them: each call marks its task as
 * inside a helper, which the tick reads. */
static struct {
  TaskHandle_t task;
  volatile int depth;
} inside[WORKERS];

static volatile int *depth_of(TaskHandle_t task) {
  for (size_t i = 0; i < WORKERS; ++i)
    if (inside[i].task == task) return &inside[i].depth;
  return NULL;
}

#define MARKED(call)                                             \
  do {                                                           \
    volatile int *depth = depth_of(xTaskGetCurrentTaskHandle()); \
    ++*depth;                                                    \
    call;                                                        \
    --*depth;                                                    \
  } while (0)
#define RETURNING(call) \
  int result;           \
  MARKED(result = call); \
  return result

typedef const unsigned char *in;
static void des3(in i, uint32_t n, in k, unsigned char *o) { MARKED(real->des3_dec(i, n, k, o)); }
static void aes_e(in i, uint32_t n, in k, in v, unsigned char *o) { MARKED(real->aes_enc(i, n, k, v, o)); }
static void aes_d(in i, uint32_t n, in k, in v, unsigned char *o) { MARKED(real->aes_dec(i, n, k, v, o)); }
static int sign(in d, in m, unsigned char *s, uint32_t n) { RETURNING(real->ecc_sign(d, m, s, n)); }
static int verify(in x, in y, in m, in s, uint32_t n) { RETURNING(real->ecc_verify(x, y, m, s, n)); }
static void encode(in i, int32_t n, const char *a, char *o) { MARKED(real->base64_encode(i, n, a, o)); }
static int decode(const char *t, int32_t *n, unsigned char *o) { RETURNING(real->base64_decode(t, n, o)); }
static const struct rawcrypt_helpers marked = {des3, aes_e, aes_d, sign, verify, encode, decode};

/* The first-request race: a generator lifetime begins (RAND_cleanup), the
 * lowest of four tasks makes the system's first request (an ecc_sign), and
 * the tick, timed to land inside it, wakes the three higher tasks, which
 * make their own first requests at once. */
#define RACERS 4
#define TIMER_COUNTER (*(volatile uint32_t *)(configINTERRUPT_CONTROLLER_BASE_ADDRESS - 0x1000u + 0x604u))
static TaskHandle_t racers[RACERS]; /* [0] makes the first request */
static volatile int signed_ok[RACERS], armed;
static EventGroupHandle_t finished;

static void racer(void *argument) {
  const int i = (int)(intptr_t)argument;
  static uint8_t signatures[RACERS][64];
  for (;;) {
    ulTaskNotifyTake(pdTRUE, portMAX_DELAY);
    signed_ok[i] = real->ecc_sign(work.d, work.message, signatures[i], work.message_length) == 1;
    xEventGroupSetBits(finished, 1u << i);
  }
}

static volatile unsigned tick_preemptions;
extern uint32_t ulPortYieldRequired; /* the port's: a switch at the IRQ's end */
void __real_FreeRTOS_Tick_Handler(void);
void __wrap_FreeRTOS_Tick_Handler(void) {
  __real_FreeRTOS_Tick_Handler();
  if (armed) {
    BaseType_t woken = pdFALSE;
    armed = 0;
    for (int i = 1; i < RACERS; ++i) vTaskNotifyGiveFromISR(racers[i], &woken);
    portYIELD_FROM_ISR(woken);
  }
  volatile int *depth = depth_of(xTaskGetCurrentTaskHandle());
  if (*(volatile uint32_t *)&ulPortYieldRequired && depth != NULL && *depth > 0) ++tick_preemptions;
}

/* One lifetime, the tick `offset` instructions after the first request
 * starts (0: no tick wakes anyone). Returns the polls (srand counted). */
static unsigned race_round(uint64_t offset, uint64_t *poll_at, int *all_signed) {
  RAND_cleanup();
  const unsigned polls = srand_calls;
  for (int i = 0; i < RACERS; ++i) signed_ok[i] = offset == 0 && i > 0;
  taskENTER_CRITICAL();
  if (offset != 0) TIMER_COUNTER = (uint32_t)(offset / 10); /* 100 MHz: 10 instructions a count */
  armed = offset != 0;
  const uint64_t start = instructions();
  xTaskNotifyGive(racers[0]);
  taskEXIT_CRITICAL();
  xEventGroupWaitBits(finished, offset != 0 ? (1u << RACERS) - 1 : 1u, pdTRUE, pdTRUE, portMAX_DELAY);
  *poll_at = last_srand_at - start;
  *all_signed = signed_ok[0] && signed_ok[1] && signed_ok[2] && signed_ok[3];
  return srand_calls - polls;
}

/* One round alone finds where the poll begins (its srand); then the tick
 * sweeps from well before it (inside the library's unseeded answer) to past
 * its end. Every task must sign with one poll per lifetime; without the
 * locking callbacks (expect_race) the same rounds must poll more than once. */
static void sweep(const char *how, int expect_race) {
  uint64_t poll_at, unused;
  int all_signed, once = 0, more = 0, signed_rounds = 0;
  const unsigned alone = race_round(0, &poll_at, &all_signed);
  for (int r = 0; r < RACE_ROUNDS; ++r) {
    const unsigned polls = race_round(poll_at - 8000 + (uint64_t)r * 16000 / RACE_ROUNDS, &unused, &all_signed);
    once += polls == 1;
    more += polls > 1;
    signed_rounds += all_signed;
  }
  if (expect_race)
    check(more > 0, "%s: %d of %d rounds polled more than once (the race is there to see)", how, more, RACE_ROUNDS);
  else
    check(alone == 1 && once == RACE_ROUNDS && signed_rounds == RACE_ROUNDS,
          "%s: %d of %d rounds polled once, every task signed in %d (the poll %lu instructions into the first "
          "request)", how, once, RACE_ROUNDS, signed_rounds, (unsigned long)poll_at);
}

static void race_checks(int module_loaded) {
  finished = xEventGroupCreate();
  for (int i = 0; i < RACERS; ++i)
    if (finished == NULL || xTaskCreate(racer, "racer", 1024, (void *)(intptr_t)i, (UBaseType_t)(1 + i),
                                        &racers[i]) != pdPASS)
      board_fault("no room for the racers");
  sweep(module_loaded ? "loaded copy, with the locking callbacks" : "with the locking callbacks", 0);
  if (module_loaded) return;
  void (*const locking)(int, int, const char *, int) = CRYPTO_get_locking_callback();
  CRYPTO_set_locking_callback(NULL);
  sweep("without them", 1);
  CRYPTO_set_locking_callback(locking);
}

static void stress_and_stacks(void) {
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

static void suite_task(void *module_loaded) {
  for (int i = 0; i < WORKERS; ++i) inside[i].task = workers[i].task; /* before any of them runs */
  stress_and_stacks();
  race_checks(module_loaded != NULL);
  exit(checks_end());
}

int main(int argc, char **argv) {
  board_init();
  held_clock = 1700000000;
  counter_start();
  if (argc < 2 || !crypto_threads_install() || !read_known_answers(argv[1])) board_fault("cannot start the suite");
  if ((real = module_open(argc > 2 ? argv[2] : NULL)) == NULL) return 2;
  module_describe();
  if (!workers_start(&marked, &work, STRESS_SECONDS * configTICK_RATE_HZ) ||
      xTaskCreate(suite_task, "suite", 2048, argc > 2 ? argv[2] : NULL, WORKERS + 2, NULL) != pdPASS)
    board_fault("no room for the tasks");
  vTaskStartScheduler();
  board_fault("the scheduler did not start");
}
