/* What a board support package supplies to newlib on the vexpress-a9 board,
 * for the bare-metal test image and the FreeRTOS example alike: the FPU
 * switched on before main, the few POSIX calls libcrypto 1.0.2 names and
 * newlib lacks, and no device files. Under semihosting, open() reaches the
 * HOST's files: the host's /dev/urandom is not the device's, so the image
 * refuses every /dev path and libcrypto can never seed from it. */
#include <errno.h>
#include <string.h>
#include <sys/types.h>

/* newlib's rdimon start-up calls this before main. */
void _rdimon_hw_init_hook(void) {
#if defined(__ARM_FP)
  unsigned v;
  __asm__ volatile("mrc p15, 0, %0, c1, c0, 2" : "=r"(v));
  v |= 0xfu << 20; /* CPACR: coprocessors 10 and 11, full access */
  __asm__ volatile("mcr p15, 0, %0, c1, c0, 2\n\tisb" : : "r"(v));
  __asm__ volatile("vmsr fpexc, %0" : : "r"(0x40000000u)); /* FPEXC.EN */
#endif
}

uid_t getuid(void) { errno = ENOSYS; return (uid_t)-1; }
uid_t geteuid(void) { errno = ENOSYS; return (uid_t)-1; }
gid_t getgid(void) { errno = ENOSYS; return (gid_t)-1; }
gid_t getegid(void) { errno = ENOSYS; return (gid_t)-1; }
int chmod(const char *path, mode_t mode) { (void)path; (void)mode; errno = ENOSYS; return -1; }

/* Linked with --wrap=_open: newlib's open() and fopen() both come down to
 * _open, the semihosting call. */
int __real__open(const char *path, int flags, int mode);
int __wrap__open(const char *path, int flags, int mode) {
  if (strncmp(path, "/dev/", 5) == 0) {
    errno = ENOENT;
    return -1;
  }
  return __real__open(path, flags, mode);
}
