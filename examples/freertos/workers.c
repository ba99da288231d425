/* The example's tasks. Each one's stack is sized by the budget rule:
 *   the deepest helper it calls, as helpers/encrypt.h documents it,
 * + the context the port saves on the task's stack when the tick preempts
 *   it there (332 B with the FPU registers on this port; 340 B allowed),
 * + the task's own frames (its function and the kernel's, measured).
 * Buffers stay off the stacks. The work is read, never written, by all. */
#include "workers.h"

#include <string.h>

#include "event_groups.h"

#define SAVED_CONTEXT 340u
#define OWN_FRAMES 256u
#define BUDGET(helper_peak) ((helper_peak) + SAVED_CONTEXT + OWN_FRAMES)

static const struct rawcrypt_helpers *helpers;
static const struct crypto_work *work;
static TickType_t started, run_ticks;
static EventGroupHandle_t stopped;

static int running(void) { return run_ticks == portMAX_DELAY || xTaskGetTickCount() - started < run_ticks; }

/* Lowest priority, never sleeps: signs and checks its own signature, and
 * that a changed one is refused. */
static void sign_and_verify(struct worker *self) {
  static uint8_t signature[64];
  if (helpers->ecc_sign(work->d, work->message, signature, work->message_length) != 1) {
    self->calls += 1;
    self->wrong += 1;
    return;
  }
  const int right = helpers->ecc_verify(work->x, work->y, work->message, signature, work->message_length) == 1;
  signature[5] ^= 0x40;
  const int refused = helpers->ecc_verify(work->x, work->y, work->message, signature, work->message_length) == 0;
  self->calls += 3;
  self->wrong += !right + !refused;
}

static void encrypt_and_decrypt(struct worker *self) {
  static uint8_t out[64];
  helpers->aes_enc(work->aes_plain, sizeof out, work->aes_key, work->aes_iv, out);
  self->wrong += memcmp(out, work->aes_cipher, sizeof out) != 0;
  helpers->aes_dec(work->aes_cipher, sizeof out, work->aes_key, work->aes_iv, out);
  self->wrong += memcmp(out, work->aes_plain, sizeof out) != 0;
  self->calls += 2;
  vTaskDelay(2);
}

static void decrypt_des3(struct worker *self) {
  static uint8_t out[64];
  helpers->des3_dec(work->des3_cipher, work->des3_length, work->des3_key, out);
  self->wrong += memcmp(out, work->des3_plain, work->des3_length) != 0;
  self->calls += 1;
  vTaskDelay(3);
}

static void base64_both_ways(struct worker *self) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  static char text[68];
  static uint8_t bytes[48];
  int32_t length = -1;
  helpers->base64_encode(work->base64_bytes, work->base64_length, alphabet, text);
  self->wrong += strcmp(text, work->base64_text) != 0;
  self->wrong += helpers->base64_decode(work->base64_text, &length, bytes) != 0 || length != work->base64_length ||
                 memcmp(bytes, work->base64_bytes, (size_t)length) != 0;
  self->calls += 2;
  vTaskDelay(1);
}

static void (*const jobs[WORKERS])(struct worker *) = {sign_and_verify, encrypt_and_decrypt, decrypt_des3,
                                                       base64_both_ways};

struct worker workers[WORKERS] = {
    {"sign", 1, BUDGET(1664), 0, 0, NULL},  /* ecc_sign's peak */
    {"aes", 2, BUDGET(640), 0, 0, NULL},    /* aes_enc's and aes_dec's */
    {"des3", 3, BUDGET(576), 0, 0, NULL},   /* des3_dec's */
    {"base64", 4, BUDGET(448), 0, 0, NULL}, /* base64_decode's */
};

static void worker_task(void *argument) {
  struct worker *self = argument;
  const int index = (int)(self - workers);
  while (running()) jobs[index](self);
  xEventGroupSetBits(stopped, 1u << index);
  vTaskSuspend(NULL);
}

int workers_start(const struct rawcrypt_helpers *with, const struct crypto_work *on, TickType_t ticks) {
  helpers = with;
  work = on;
  started = xTaskGetTickCount();
  run_ticks = ticks;
  stopped = xEventGroupCreate();
  if (stopped == NULL) return 0;
  for (int i = 0; i < WORKERS; ++i)
    if (xTaskCreate(worker_task, workers[i].name, (configSTACK_DEPTH_TYPE)(workers[i].stack_bytes / 4), &workers[i],
                    workers[i].priority, &workers[i].task) != pdPASS)
      return 0;
  return 1;
}

void workers_wait(void) { xEventGroupWaitBits(stopped, (1u << WORKERS) - 1, pdFALSE, pdTRUE, portMAX_DELAY); }
