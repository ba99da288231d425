/* The board's part under FreeRTOS on vexpress-a9 (one Cortex-A9): the
 * exception vectors and mode stacks, the GIC, the kernel's tick on the A9
 * private timer, the interrupt dispatch, and what the kernel calls when
 * something is wrong. Touches the CPU's banked stack pointers, VBAR, the
 * GIC and the private timer. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "FreeRTOS.h"
#include "board.h"
#include "task.h"

/* The A9's private memory region (CBAR): GIC distributor at +0x1000 and CPU
 * interface at +0x100 (FreeRTOSConfig.h), private timer at +0x600. */
#define PRIVATE_REGION (configINTERRUPT_CONTROLLER_BASE_ADDRESS - 0x1000u)
#define REG(offset) (*(volatile uint32_t *)(PRIVATE_REGION + (offset)))
#define GICD_CTLR REG(0x1000)
#define GICD_ISENABLER0 REG(0x1100)
#define GICD_IPRIORITYR(id) (*(volatile uint8_t *)(PRIVATE_REGION + 0x1400 + (id)))
#define GICC_CTLR REG(0x100)
#define GICC_PMR REG(0x104)
#define GICC_BPR REG(0x108)
#define TIMER_LOAD REG(0x600)
#define TIMER_CONTROL REG(0x608)
#define TIMER_STATUS REG(0x60c)

#define TICK_ID 29u                /* the private timer's PPI */
#define TIMER_HZ 100000000u        /* qemu's private timer clock */

/* IRQ mode holds only the return state (the kernel's IRQ entry moves to the
 * SVC stack, main's); abort and undefined modes run board_fault. */
static uint64_t irq_stack[32], fault_stack[128];
extern const uint32_t board_vectors[8];

void board_init(void) {
  uint32_t saved;
  __asm__ volatile(
      "mrs %0, cpsr\n\t"
      "cps #0x12\n\tmov sp, %1\n\t" /* IRQ */
      "cps #0x17\n\tmov sp, %2\n\t" /* abort */
      "cps #0x1b\n\tmov sp, %2\n\t" /* undefined */
      "msr cpsr_c, %0"
      : "=&r"(saved)
      : "r"(irq_stack + 32), "r"(fault_stack + 128)
      : "memory");
  __asm__ volatile("mcr p15, 0, %0, c12, c0, 0\n\tisb" : : "r"(board_vectors)); /* VBAR */
}

/* configSETUP_TICK_INTERRUPT: called by the kernel with IRQs off. */
void board_start_tick(void) {
  GICD_CTLR = 1;
  GICD_IPRIORITYR(TICK_ID) = portLOWEST_USABLE_INTERRUPT_PRIORITY << portPRIORITY_SHIFT;
  GICD_ISENABLER0 = 1u << TICK_ID;
  GICC_PMR = 0xff;
  GICC_BPR = 0;
  GICC_CTLR = 1;
  TIMER_LOAD = TIMER_HZ / configTICK_RATE_HZ - 1;
  TIMER_CONTROL = 7; /* enabled, auto-reload, interrupt */
}

void board_clear_tick(void) { TIMER_STATUS = 1; }

/* The port's IRQ entry has saved the FPU registers: C may use them here. */
void vApplicationFPUSafeIRQHandler(uint32_t iar) {
  if ((iar & 0x3ffu) == TICK_ID) FreeRTOS_Tick_Handler();
}

/* A firmware would log and reset; the example reports and stops. */
void board_fault(const char *what) {
  static const char prefix[] = "board: ";
  write(2, prefix, sizeof prefix - 1);
  for (const char *end = what; ; ++end)
    if (*end == '\0') { write(2, what, (size_t)(end - what)); break; }
  write(2, "\n", 1);
  _exit(3);
}

void board_assert_failed(const char *file, int line) {
  taskDISABLE_INTERRUPTS();
  fprintf(stderr, "board: assertion failed at %s:%d\n", file, line);
  _exit(3);
}

void vApplicationStackOverflowHook(TaskHandle_t task, char *name) {
  (void)task;
  fprintf(stderr, "board: the stack of task %s overflowed\n", name);
  _exit(3);
}

void vApplicationMallocFailedHook(void) { board_fault("the kernel's heap is exhausted"); }
