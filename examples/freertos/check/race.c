/* The first-request race: a generator lifetime begins (RAND_cleanup), the
 * lowest of four tasks makes the system's first request (an ecc_sign), and
 * the tick, timed to land inside it, wakes the three higher tasks, which
 * make their own first requests at once. The tick is swept across the poll:
 * one round alone finds where the poll begins (its srand), then each round
 * lands a little later, from just before the poll to past its end. Every
 * task must sign, and the poll must run once per lifetime (srand counted).
 * Without libcrypto's locking callbacks the same race must poll more than
 * once: the check sees the race. */
#include <openssl/crypto.h>
#include <openssl/rand.h>

#include "FreeRTOS.h"
#include "board/board.h"
#include "event_groups.h"
#include "suite.h"
#include "task.h"
#include "tests/baremetal/probes.h"

#define RACERS 4
#define TIMER_COUNTER (*(volatile uint32_t *)(configINTERRUPT_CONTROLLER_BASE_ADDRESS - 0x1000u + 0x604u))
#define INSTRUCTIONS_PER_TIMER_COUNT 10 /* 100 MHz under -icount shift=0 */

static TaskHandle_t racers[RACERS]; /* [0] makes the first request */
static volatile int signed_ok[RACERS];
static EventGroupHandle_t finished;
static volatile int armed;

static void racer(void *argument) {
  const int i = (int)(intptr_t)argument;
  static uint8_t signatures[RACERS][64];
  for (;;) {
    ulTaskNotifyTake(pdTRUE, portMAX_DELAY);
    signed_ok[i] = real_helpers->ecc_sign(work.d, work.message, signatures[i], work.message_length) == 1;
    xEventGroupSetBits(finished, 1u << i);
  }
}

void race_tick(BaseType_t *woken) {
  if (!armed) return;
  armed = 0;
  for (int i = 1; i < RACERS; ++i) vTaskNotifyGiveFromISR(racers[i], woken);
}

/* One lifetime: the tick `offset` instructions after the first request
 * starts (0: no tick wakes anyone). Returns the polls; *all_signed. */
static unsigned round_with_tick(uint64_t offset, uint64_t *poll_at, int *all_signed) {
  RAND_cleanup();
  const unsigned polls = srand_calls;
  const int wakes = offset != 0;
  for (int i = 0; i < RACERS; ++i) signed_ok[i] = !wakes && i > 0;
  taskENTER_CRITICAL();
  if (wakes) TIMER_COUNTER = (uint32_t)(offset / INSTRUCTIONS_PER_TIMER_COUNT);
  armed = wakes;
  const uint64_t start = instructions();
  xTaskNotifyGive(racers[0]);
  taskEXIT_CRITICAL();
  xEventGroupWaitBits(finished, wakes ? (1u << RACERS) - 1 : 1u, pdTRUE, pdTRUE, portMAX_DELAY);
  *poll_at = last_srand_at - start;
  *all_signed = signed_ok[0] && signed_ok[1] && signed_ok[2] && signed_ok[3];
  return srand_calls - polls;
}

/* rounds over the poll; returns how many polled more than once. */
static int sweep(int rounds, const char *how, int expect_race) {
  uint64_t poll_at, unused;
  int all_signed;
  const unsigned alone = round_with_tick(0, &poll_at, &all_signed);
  int once = 0, more = 0, unsigned_rounds = 0;
  for (int r = 0; r < rounds; ++r) {
    const uint64_t offset = poll_at - 8000 + (uint64_t)r * 16000 / (uint64_t)rounds;
    const unsigned polls = round_with_tick(offset, &unused, &all_signed);
    once += polls == 1;
    more += polls > 1;
    unsigned_rounds += !all_signed;
  }
  if (expect_race) {
    check(more > 0, "%s: %d of %d rounds polled more than once (the race is there to see)", how, more, rounds);
  } else {
    check(alone == 1 && once == rounds && unsigned_rounds == 0,
          "%s: %d of %d rounds polled once, every task signed in %d (the poll %lu instructions into the first "
          "request)", how, once, rounds, rounds - unsigned_rounds, (unsigned long)poll_at);
  }
  return more;
}

void race_checks(int rounds, int module_loaded) {
  finished = xEventGroupCreate();
  for (int i = 0; i < RACERS; ++i)
    if (xTaskCreate(racer, "racer", 4096 / sizeof(StackType_t), (void *)(intptr_t)i, (UBaseType_t)(1 + i),
                    &racers[i]) != pdPASS || finished == NULL)
      board_fault("no room for the racers");
  sweep(rounds, module_loaded ? "loaded copy, with the locking callbacks" : "with the locking callbacks", 0);
  if (module_loaded) return;
  void (*const locking)(int, int, const char *, int) = CRYPTO_get_locking_callback();
  CRYPTO_set_locking_callback(NULL);
  sweep(rounds, "without them", 1);
  CRYPTO_set_locking_callback(locking);
}
