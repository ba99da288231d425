/* What the test image sees of the platform beneath the module: its console
 * lines, the clock, the C library's rand, the generator's credit, the
 * instructions spent and the stack taken. The image is linked with
 * --wrap=printf,--wrap=time,--wrap=srand,--wrap=rand,--wrap=RAND_add. */
#ifndef RAWCRYPT_TESTS_BAREMETAL_PROBES_H
#define RAWCRYPT_TESTS_BAREMETAL_PROBES_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

/* out: the image's own output (never captured). */
void out(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* check: one line, "ok    what" or "FAIL  what", counted. checks_end: prints
 * "N passed, M failed"; returns 0 when none failed, else 1. */
void check(int ok, const char *what, ...) __attribute__((format(printf, 2, 3)));
int checks_end(void);

/* capture_start / capture_stop: what printf wrote in between; the text
 * stays valid until the next capture_start. */
void capture_start(void);
const char *capture_stop(void);

/* held_clock: 0 for the board's clock (the host's, through semihosting),
 * else the calendar time every time() call returns. */
extern time_t held_clock;

/* The poll as the C library sees it: srand calls (counted atomically, from
 * any task), the last seed and when it came (instructions()), rand calls. */
extern unsigned srand_calls, rand_calls, last_seed;
extern uint64_t last_srand_at;

/* credit_scale: multiplies every credit handed to libcrypto's RAND_add
 * (below 1: a poll that credits less than the generator needs). */
extern double credit_scale;

/* counter_start: finds the Cortex-A9 global timer and calibrates it against
 * a loop of known length. instructions: instructions run so far (qemu
 * -icount shift=0: one instruction per virtual nanosecond), 0 before
 * counter_start. */
void counter_start(void);
uint64_t instructions(void);

/* peak_stack: bytes of stack that call(arg) took, run on a painted stack. */
size_t peak_stack(void (*call)(void *), void *arg);

#endif
