/* The public vector files, read whole through semihosting from the shared
 * folder beside the checkout: lines "Name = value", '#' comments and
 * "[SECTION]" headers, LF or CRLF. */
#ifndef RAWCRYPT_TESTS_BAREMETAL_VECTOR_FILE_H
#define RAWCRYPT_TESTS_BAREMETAL_VECTOR_FILE_H

#include <stddef.h>
#include <stdint.h>

struct vector_file {
  char *text;
  size_t next;
  const char *section; /* the last "[SECTION]" passed, "" before any */
};

/* vector_open: reads dir/name. Returns 0 when it cannot. */
int vector_open(struct vector_file *file, const char *dir, const char *name);
void vector_close(struct vector_file *file);

/* vector_next: the next "Name = value" line, both NUL-terminated in place.
 * Returns 0 at the end of the file. */
int vector_next(struct vector_file *file, const char **name, const char **value);

/* hex_bytes: decodes hex text into out (at most max bytes); returns the
 * byte count. */
size_t hex_bytes(const char *hex, uint8_t *out, size_t max);

#endif
