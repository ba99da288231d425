/* The kernel's configuration for the example firmware: FreeRTOS's ARM_CA9
 * port on the vexpress-a9 board (one Cortex-A9 core, its GIC and private
 * timer). The kernel library is built against THIS header; the image checks
 * at compile time that the installed kernel was (board/kernel_check.c).
 * Change it, and the kernel is rebuilt with it. */
#ifndef FREERTOS_CONFIG_H
#define FREERTOS_CONFIG_H

/* Scheduling: strict priorities, a task runs until a higher one is ready. */
#define configUSE_PREEMPTION 1
#define configUSE_TIME_SLICING 1
#define configUSE_PORT_OPTIMISED_TASK_SELECTION 1
#define configMAX_PRIORITIES 8
#define configTICK_RATE_HZ 1000
#define configTICK_TYPE_WIDTH_IN_BITS TICK_TYPE_WIDTH_32_BITS
#define configMAX_TASK_NAME_LEN 12
#define configUSE_IDLE_HOOK 0
#define configUSE_TICK_HOOK 0
#define configMINIMAL_STACK_SIZE 256 /* words: the idle task's */

/* Memory: kernel objects and task stacks from heap_4's array; libcrypto's
 * allocations from newlib's malloc (board/newlib_glue.c). */
#define configSUPPORT_DYNAMIC_ALLOCATION 1
#define configSUPPORT_STATIC_ALLOCATION 0
#define configTOTAL_HEAP_SIZE (192 * 1024)
#define configUSE_MALLOC_FAILED_HOOK 1
#define configCHECK_FOR_STACK_OVERFLOW 2

/* What libcrypto 1.0.2's locking callbacks need: mutexes with priority
 * inheritance, non-recursive as the library expects of its locks. */
#define configUSE_MUTEXES 1
#define configUSE_RECURSIVE_MUTEXES 0
#define configUSE_COUNTING_SEMAPHORES 1
#define configUSE_EVENT_GROUPS 1
#define configUSE_TIMERS 0
#define configUSE_TRACE_FACILITY 0
#define configQUEUE_REGISTRY_SIZE 0

/* Each task its own newlib state (errno, stdio, rand()): a task's srand
 * reseeds that task's rand() only. */
#define configUSE_NEWLIB_REENTRANT 1
/* Every task gets an FPU context: newlib's memcpy, libcrypto's generator
 * and the module use VFP registers (the saved context is then 332 bytes). */
#define configUSE_TASK_FPU_SUPPORT 2

#define INCLUDE_vTaskDelay 1
#define INCLUDE_xTaskDelayUntil 1
#define INCLUDE_vTaskDelete 1
#define INCLUDE_vTaskSuspend 1
#define INCLUDE_uxTaskPriorityGet 1
#define INCLUDE_xTaskGetCurrentTaskHandle 1
#define INCLUDE_uxTaskGetStackHighWaterMark 1
#define INCLUDE_xTaskGetSchedulerState 1

/* The board (vexpress-a9 in qemu): GIC distributor at CBAR + 0x1000, CPU
 * interface at CBAR + 0x100; 5 priority bits; the tick is the private
 * timer (board/tick.c). */
#define configINTERRUPT_CONTROLLER_BASE_ADDRESS 0x1e001000UL
#define configINTERRUPT_CONTROLLER_CPU_INTERFACE_OFFSET (-0xf00)
#define configUNIQUE_INTERRUPT_PRIORITIES 32
#define configMAX_API_CALL_INTERRUPT_PRIORITY 18
void board_start_tick(void);
void board_clear_tick(void);
#define configSETUP_TICK_INTERRUPT() board_start_tick()
#define configCLEAR_TICK_INTERRUPT() board_clear_tick()

void board_assert_failed(const char *file, int line);
#define configASSERT(x) \
  if (!(x)) board_assert_failed(__FILE__, __LINE__)

#endif
