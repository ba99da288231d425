/* rawcrypt: the device's cryptographic helpers.
 *
 * Seven plain C functions with fixed algorithms and raw byte-string keys. No
 * initialisation call and no teardown; no helper allocates, grows or frees a
 * caller's buffer. None is told the size of its output buffer; the caller
 * sizes it by the rule given with each function. Pointers are not tested for
 * null (except base64_encode's input).
 *
 * State: the ciphers and Base64 keep none (Base64 remembers which of its
 * code paths the CPU runs, found at its first call). ecc_sign draws from
 * libcrypto's default random generator, seeded once per lifetime of the
 * generator (again after RAND_cleanup) by the module's entropy poll, which
 * reseeds the C library's rand() from the clock (see Entropy below):
 *   libcrypto 1.0.2   the module exports the poll as RAND_poll, which the
 *                     library's generator calls at the system's first random
 *                     request, wherever it comes from (the application's own
 *                     RAND_bytes included), so that every request is served
 *                     seeded; the object's eighth global symbol. Where the
 *                     library calls a poll of its own instead (the module
 *                     loaded at run time into an image linked with the
 *                     library's poll), the first ecc_sign seeds it once, and
 *                     the application's requests before it are unseeded;
 *   1.1 and 3.x       their generators never call RAND_poll: the module
 *                     polls at the first request on its own road (the first
 *                     ecc_sign) and exports only the seven helpers.
 * libcrypto keeps its own caches.
 *
 * Threads: every helper may be called from any number of tasks at once on
 * separate buffers. ecc_sign's first requests are serialised on libcrypto's
 * locks (a waiting task blocks, it does not spin). With libcrypto 1.0.2 the
 * application MUST install the library's locking and thread-id callbacks
 * (CRYPTO_set_locking_callback, CRYPTO_THREADID_set_callback; on an RTOS,
 * one mutex with priority inheritance per lock, the task handle as the id)
 * before any task uses a helper: without them every lock is a no-op, and
 * tasks that make the system's first request at once each run the poll (the
 * FreeRTOS example's suite: 17 of 36 lifetimes polled twice or more) while
 * the library's shared state goes unguarded. 1.0.2 also keeps an error
 * queue per task from the task's first ecc_verify (and from any failure):
 * a task that ends calls ERR_remove_thread_state(NULL) first, as the
 * library asks of every thread that used it. Console lines of concurrent
 * calls may interleave. examples/freertos and docs/rtos.md show the set-up.
 *
 * Entropy: the poll's only varying input is the calendar time in seconds.
 *   - Two generator lifetimes started in the same second, or on a board
 *     whose clock is not set, give the same stream. Signatures stay safe:
 *     the nonce is hedged with the key and the message, so two different
 *     messages never share one. But keys, IVs or vectors the application
 *     draws from libcrypto on such a target are predictable (a review
 *     rebuilt the same private key from two runs in the same second): make
 *     them elsewhere, or give the generator a real source. The poll stays
 *     as it is, since such a target has no other source and must sign.
 *   - A board with a hardware source adds it at boot, before any task
 *     draws: RAND_add(sample, n, credit). Linked into the image, the
 *     module's poll still runs and adds its part; loaded beside a library
 *     that polls on its own, a credit of 32 or more seeds the generator
 *     alone and the module's poll does not run.
 *   - srand: where the C library keeps rand()'s state per task (newlib with
 *     a per-task reentrancy structure, as FreeRTOS's configUSE_NEWLIB_
 *     REENTRANT gives), the poll reseeds only the rand() of the task that
 *     made the request; where the state is shared, every user of rand()
 *     sees its sequence start again.
 *
 * Raw layouts shared by the ECDSA helpers:
 *   scalar     32 bytes, big-endian, zero bytes in front of a shorter value;
 *   signature  64 bytes: r as a scalar in bytes 0-31, s in bytes 32-63
 *              (no DER, no length prefix, no recovery id).
 *
 * Failures are reported by the result and by one line on standard output
 * (printf); the helpers never clear or add to the library's error queue,
 * and read it in two places only, leaving it as it is: against 1.0.2 the
 * generator peeks at its last entry, to tell an unseeded request from
 * another failure; against 1.0.2 and 1.1.1 ecc_verify looks for a failed
 * allocation among the entries its call added (see there).
 *
 * Side channels: no branch and no memory index in the module's own code
 * depends on a private scalar, a nonce or a cipher key, and in libcrypto's
 * code only those named here do (checked under valgrind, tests/ct, with
 * each accepted library function named in its suppressions):
 *   ecc_sign     3.x: scalar and nonce go to constant-time code (the nonce
 *                multiplied and inverted as drawn, below the order, so that
 *                the library never reduces it with its division); only its
 *                length is read. 1.0.2 (the device) and 1.1.1 have no
 *                constant-time P-256 code: their ladders (ec_mul_consttime,
 *                ec_scalar_mul_ladder) swap points in constant time, but the
 *                field arithmetic under them, the affine conversion
 *                (1.0.2's ec_GFp_simple_point_get_affine_coordinates inverts
 *                Z with the variable-time BN_mod_inverse), the Montgomery
 *                steps of the nonce's inversion (1.0.2's
 *                BN_mod_exp_mont_consttime), k + n and s = (m + r d) / k
 *                branch on values. No limb of k is left in freed memory on
 *                any series (1.0.2 frees a grown number's old words
 *                uncleared; the road keeps its numbers from growing). The
 *                whether-in-range test of the scalar is constant time;
 *   ecc_verify   handles only public values;
 *   aes_enc/dec  calls under 512 bytes use libcrypto's table-based AES, open
 *                to cache timing; longer ones go through EVP, which uses the
 *                CPU's AES instructions where there are any;
 *   des3_dec     libcrypto's DES is table-based;
 *   base64_*     not for secrets (see each).
 * Secrets the module holds (key schedules, the scalar's and the nonce's
 * numbers, the short Base64 decoder's buffer) are wiped before their memory
 * goes; a compiler may still leave a register's copy of a decoded group in
 * a released frame (seen at -Os).
 *
 * Stack: each helper's peak, libcrypto's frames included, measured on a
 * painted stack in Release, RelWithDebInfo and MinSizeRel builds (under
 * qemu: tests/stack_depth.cpp for armhf and arm64, the bare-metal image for
 * the Cortex-A9; both fail past these figures):
 *                     armhf            arm64     Cortex-A9, bare metal
 *                     (1.0.2 and 3.0)  (3.0)     (1.0.2, newlib, ARM state)
 *   ecc_sign          1792 B           2944 B    1664 B
 *   ecc_verify        1472 B           1536 B     960 B
 *   aes_enc, aes_dec   960 B           1536 B     640 B
 *   des3_dec           704 B            768 B     576 B
 *   base64_encode      256 B            256 B     256 B
 *   base64_decode      448 B            448 B     448 B
 * The first ecc_sign of a process also runs the entropy poll (a 32-byte
 * buffer) and whatever one-time set-up libcrypto does. Against 1.1.1
 * (without assembler) ecc_verify goes deeper, its generic verification
 * blinding the coordinates: 2176 B on armhf (1992 B measured, against
 * 824 B with 1.0.2 and 1320 B with 3.0); the other helpers stay within the
 * figures above.
 * In an RTOS task, budget the helper's peak above + the context the kernel
 * saves on the task's stack when it preempts it there (332 B with the FPU
 * registers on FreeRTOS's Cortex-A9 port: allow 340 B) + the task's own
 * frames. The example's signing task peaked at 1972 B against a budget of
 * 1664 + 340 + 256 = 2260 B, preempted inside helpers about 3000 times.
 */
#ifndef RAWCRYPT_HELPERS_ENCRYPT_H
#define RAWCRYPT_HELPERS_ENCRYPT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* des3_dec: three-key triple-DES (EDE) decryption in ECB mode.
 *
 * In:  input   ceil(length / 8) * 8 bytes of ciphertext; a length that is not
 *              a multiple of 8 still reads a whole final block.
 *      length  bytes to decrypt; 0 touches nothing.
 *      key     24 bytes: K1 = bytes 0-7, K2 = 8-15, K3 = 16-23, used as they
 *              are (parity not checked, weak keys not refused).
 * Out: output  ceil(length / 8) * 8 bytes of plaintext; may be input itself.
 * Prints nothing, reports nothing.
 */
void des3_dec(const unsigned char *input, uint32_t length, const unsigned char *key,
              unsigned char *output);

/* aes_enc: AES-256 encryption in CBC mode, no padding.
 *
 * In:  input   length bytes of plaintext.
 *      length  bytes to encrypt; 0 touches nothing. When it is not a multiple
 *              of 16, the final partial block is taken as padded with zero
 *              bytes and a whole final block is written.
 *      key     32 bytes.
 *      iv      16 bytes; read, never written, so calls never chain.
 * Out: output  length rounded up to a multiple of 16 bytes; may be input.
 * Prints nothing, reports nothing.
 */
void aes_enc(const unsigned char *input, uint32_t length, const unsigned char *key,
             const unsigned char *iv, unsigned char *output);

/* aes_dec: AES-256 decryption in CBC mode, no padding.
 *
 * In:  input   ceil(length / 16) * 16 bytes of ciphertext (a whole final block
 *              is read when length is not a multiple of 16).
 *      length  bytes to write; 0 touches nothing.
 *      key     32 bytes.
 *      iv      16 bytes; read, never written.
 * Out: output  exactly length bytes of plaintext; may be input.
 * Prints nothing, reports nothing.
 */
void aes_dec(const unsigned char *input, uint32_t length, const unsigned char *key,
             const unsigned char *iv, unsigned char *output);

/* ecc_sign: ECDSA signature over P-256 with SHA-256 of the message.
 *
 * Returns: 1 when the signature was written; 0 on any failure, after one
 *          console line naming the failed step. Each signature takes a fresh
 *          nonce, so signing one message twice gives two signatures.
 * In:  private_key     32-byte scalar d in [1, n-1], n the order of P-256;
 *                      any other is refused ("set pri key failed\n", 0),
 *                      checked in constant time.
 *      message         message_length bytes (not read when the length is 0).
 *      message_length  bytes of message.
 * Out: signature       64 bytes r || s, written only on a result of 1; on 0
 *                      the buffer holds exactly what it held before.
 */
int ecc_sign(const unsigned char *private_key, const unsigned char *message,
             unsigned char *signature, uint32_t message_length);

/* ecc_verify: checks an ECDSA P-256/SHA-256 signature on a message.
 *
 * Returns: 1  the signature is valid for the message and the key;
 *          0  it is not, or a step before verification failed (with its
 *             console line, e.g. "set key failed\n" for a point that is not
 *             on P-256 or a coordinate not below the field prime);
 *         -1  the library's verification itself reported an error, or an
 *             allocation failed inside the library during the call (1.0.2
 *             and 1.1.1 can lose one in their arithmetic and go on with a
 *             wrong number; its entry in the error queue tells it). One
 *             failure 1.0.2 records nowhere, attaching its per-key data to
 *             the key, still gives 0.
 *          Accept a signature on a result of exactly 1; treat 0 and -1 alike.
 * In:  public_x, public_y  32-byte scalars, the affine coordinates of the key.
 *      message             message_length bytes (not read when the length is 0).
 *      signature           64 bytes r || s.
 *      message_length      bytes of message.
 */
int ecc_verify(const unsigned char *public_x, const unsigned char *public_y,
               const unsigned char *message, const unsigned char *signature,
               uint32_t message_length);

/* base64_encode: Base64 text of a byte string, in the caller's alphabet.
 *
 * In:  input     the bytes; null makes the call do nothing at all.
 *      length    bytes of input; 0 or less writes only the terminator.
 *      alphabet  64 characters, entry v standing for the 6-bit value v. The
 *                padding character is always '='.
 * Out: output    4 * ceil(length / 3) characters and a NUL; no line breaks.
 * Not for secret bytes: the bytes choose which alphabet entry is read.
 * Both Base64 helpers read and write the caller's buffers a word at a time
 * at any alignment: the CPU must allow unaligned accesses to them (on ARMv7,
 * SCTLR.A clear and the buffers in Normal memory, as with the MMU on); a
 * target that cannot builds the module with -mno-unaligned-access.
 */
void base64_encode(const unsigned char *input, int32_t length, const char *alphabet,
                   char *output);

/* base64_decode: strict decoding of standard Base64 text (A-Z a-z 0-9 + /).
 *
 * Returns: 0 on success; -1 when the text is refused, after one console line
 *          (without newline) quoting the whole text:
 *            strlen not a multiple of 4   "<text> is not base64 encoded";
 *                                         output_length and output untouched
 *            a character outside the set  "<text> is not base64 encoded";
 *            before the first '='         output_length 0, output untouched
 *            one lone final character     "invalid base64 encoded str <text>";
 *                                         the full groups' bytes stay written
 *                                         and output_length counts them
 *          Decoding stops at the first '=' or NUL; what follows '=' only counts
 *          towards the length. No character is skipped (no spaces, no line
 *          breaks, no URL-safe '-' or '_'). Spare low bits are not checked.
 *          Not for secret text: the characters decide branches and table
 *          indexes, and a refusal prints the whole text.
 * In:  text           NUL-terminated.
 * Out: output_length  bytes written to output.
 *      output         3 * strlen(text) / 4 bytes; no terminator is written.
 */
int base64_decode(const char *text, int32_t *output_length, unsigned char *output);

#ifdef __cplusplus
}
#endif

#endif /* RAWCRYPT_HELPERS_ENCRYPT_H */
