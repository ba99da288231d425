#include "probes.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

void out(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  vprintf(format, ap);
  va_end(ap);
}

static unsigned passed, failed;

void check(int ok, const char *what, ...) {
  va_list ap;
  va_start(ap, what);
  out(ok ? "ok    " : "FAIL  ");
  vprintf(what, ap);
  out("\n");
  va_end(ap);
  ok ? ++passed : ++failed;
}

int checks_end(void) {
  out("%u passed, %u failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}

static char captured[4096];
static size_t captured_length;
static int capturing;

void capture_start(void) {
  captured_length = 0;
  captured[0] = '\0';
  capturing = 1;
}

const char *capture_stop(void) {
  capturing = 0;
  return captured;
}

int __wrap_printf(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int n;
  if (capturing) {
    const size_t room = sizeof captured - captured_length;
    n = vsnprintf(captured + captured_length, room, format, ap);
    if (n > 0) captured_length += (size_t)n < room ? (size_t)n : room - 1;
  } else {
    n = vprintf(format, ap);
  }
  va_end(ap);
  return n;
}

time_t held_clock;
time_t __real_time(time_t *t);
time_t __wrap_time(time_t *t) {
  if (held_clock == 0) return __real_time(t);
  if (t != NULL) *t = held_clock;
  return held_clock;
}

unsigned srand_calls, rand_calls, last_seed;
uint64_t last_srand_at;
void __real_srand(unsigned seed);
int __real_rand(void);
void __wrap_srand(unsigned seed) {
  __atomic_add_fetch(&srand_calls, 1, __ATOMIC_RELAXED);
  last_seed = seed;
  last_srand_at = instructions();
  __real_srand(seed);
}
int __wrap_rand(void) {
  ++rand_calls;
  return __real_rand();
}

double credit_scale = 1.0;
void __real_RAND_add(const void *buf, int num, double entropy);
void __wrap_RAND_add(const void *buf, int num, double entropy) {
  __real_RAND_add(buf, num, entropy * credit_scale);
}

/* The global timer: CBAR (the private memory region) + 0x200; counter low
 * and high words, then control (bit 0 enables it). */
static volatile uint32_t *global_timer;
static uint64_t per_tick_scaled; /* instructions per tick, times 2^16 */

static uint64_t ticks(void) {
  uint32_t high, low, again;
  do {
    high = global_timer[1];
    low = global_timer[0];
    again = global_timer[1];
  } while (high != again);
  return (uint64_t)high << 32 | low;
}

static void spin(uint32_t n) { /* exactly two instructions a turn */
  __asm__ volatile("1: subs %0, %0, #1\n\tbne 1b" : "+r"(n) : : "cc");
}

void counter_start(void) {
  uint32_t cbar;
  __asm__ volatile("mrc p15, 4, %0, c15, c0, 0" : "=r"(cbar));
  global_timer = (volatile uint32_t *)(uintptr_t)(cbar + 0x200);
  global_timer[2] = 1;
  /* Two lengths, so that the fixed cost of reading the timer cancels. */
  const uint64_t t0 = ticks();
  spin(1000000);
  const uint64_t t1 = ticks();
  spin(3000000);
  const uint64_t t2 = ticks();
  per_tick_scaled = ((uint64_t)4000000 << 16) / ((t2 - t1) - (t1 - t0));
}

uint64_t instructions(void) { return global_timer != NULL ? (ticks() * per_tick_scaled) >> 16 : 0; }

static uint8_t painted[16384] __attribute__((aligned(8)));

/* Calls call(arg) with the stack pointer at top, then puts it back. */
__attribute__((naked, noinline)) static void run_on_stack(void (*call)(void *), void *arg, void *top) {
  (void)call; (void)arg; (void)top;
  __asm__ volatile(
      "push {r4, lr}\n\t"
      "mov r4, sp\n\t"
      "mov sp, r2\n\t"
      "mov r2, r0\n\t"
      "mov r0, r1\n\t"
      "blx r2\n\t"
      "mov sp, r4\n\t"
      "pop {r4, pc}\n\t");
}

size_t peak_stack(void (*call)(void *), void *arg) {
  memset(painted, 0xa5, sizeof painted);
  run_on_stack(call, arg, painted + sizeof painted);
  size_t untouched = 0;
  while (untouched < sizeof painted && painted[untouched] == 0xa5) ++untouched;
  return sizeof painted - untouched;
}
