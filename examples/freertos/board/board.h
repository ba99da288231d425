/* The board's part of the example (vexpress-a9 under FreeRTOS): set-up
 * before the scheduler starts, and the fault exit. */
#ifndef RAWCRYPT_EXAMPLES_FREERTOS_BOARD_H
#define RAWCRYPT_EXAMPLES_FREERTOS_BOARD_H

/* board_init: mode stacks and the exception vectors; first thing in main,
 * before anything can take an interrupt or fault. The tick starts with the
 * scheduler. */
void board_init(void);

/* board_fault: reports what went wrong and stops the board. */
void board_fault(const char *what) __attribute__((noreturn));

#endif
