/* libcrypto 1.0.2 among tasks: the library is thread-safe only once the
 * application has given it locks and a way to tell tasks apart. */
#ifndef RAWCRYPT_EXAMPLES_FREERTOS_CRYPTO_THREADS_H
#define RAWCRYPT_EXAMPLES_FREERTOS_CRYPTO_THREADS_H

/* crypto_threads_install: one kernel mutex (priority inheritance) for each
 * of libcrypto's locks, and the task handle as the thread id. Call it
 * before any task uses a helper or libcrypto (before the scheduler starts).
 * Returns 1; 0 when the kernel's heap cannot hold the mutexes. */
int crypto_threads_install(void);

#endif
