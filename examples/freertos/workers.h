/* The example's tasks: four priorities, each using the helpers on its own
 * buffers, each comparing what it gets with the results its work must give. */
#ifndef RAWCRYPT_EXAMPLES_FREERTOS_WORKERS_H
#define RAWCRYPT_EXAMPLES_FREERTOS_WORKERS_H

#include <stddef.h>
#include <stdint.h>

#include "FreeRTOS.h"
#include "module.h"
#include "task.h"

/* The inputs, and the results they must give. */
struct crypto_work {
  uint8_t d[32], x[32], y[32]; /* a P-256 key pair */
  uint8_t message[256];
  uint32_t message_length;
  uint8_t aes_key[32], aes_iv[16], aes_plain[64], aes_cipher[64]; /* AES-256-CBC */
  uint8_t des3_key[24], des3_cipher[64], des3_plain[64];
  uint32_t des3_length;
  uint8_t base64_bytes[48];
  int32_t base64_length;
  char base64_text[68];
};

/* What one task did. */
struct worker {
  const char *name;
  UBaseType_t priority;
  size_t stack_bytes;  /* its budget: see workers.c */
  unsigned calls;      /* helper calls */
  unsigned wrong;      /* results that were not the work's */
  TaskHandle_t task;
};

enum { WORKERS = 4 };
extern struct worker workers[WORKERS];

/* workers_start: creates the tasks; they run until `ticks` have passed
 * (portMAX_DELAY: for ever), then stop. Returns 0 when the kernel's heap
 * cannot hold them. */
int workers_start(const struct rawcrypt_helpers *helpers, const struct crypto_work *work, TickType_t ticks);

/* workers_wait: blocks until every task has stopped. */
void workers_wait(void);

#endif
