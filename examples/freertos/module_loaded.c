/* The module loaded at run time, as the device's loader does it: the
 * long-calls rawcrypt.o read from a file, placed in a region of its own far
 * from libcrypto (beyond any branch's reach, which is why the object must
 * call out through registers), its undefined symbols resolved against the
 * image's symbol table, its relocations applied by the tests' loader core
 * (tests/loader/arm_relocate.c). The image links libcrypto with the
 * library's own entropy poll, so the module's first ecc_sign seeds the
 * generator (helpers/encrypt.h). Touches the module region, and the heap
 * while loading. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "image_symbols.h"
#include "module.h"
#include "tests/loader/arm_relocate.h"

/* RAM the board keeps for modules: 128 MiB above the image, below the
 * start-up stack at the top of RAM. The board has 256 MiB of RAM there
 * (qemu's vexpress-a9 with -m 256M; with its default 128 MiB the region
 * is not memory at all). A board with less moves the region. */
#define MODULE_REGION 0x68000000u
#define MODULE_REGION_BYTES (1u << 20)

static struct rawcrypt_helpers loaded;
static size_t loaded_bytes;
static uint32_t nearest_callee;
static const char *loaded_from;

static int by_name(const void *name, const void *entry) {
  return strcmp(name, ((const struct image_symbol *)entry)->name);
}

static uintptr_t from_image(const char *name, void *context) {
  (void)context;
  const struct image_symbol *found =
      bsearch(name, image_symbols, image_symbol_count, sizeof image_symbols[0], by_name);
  return found != NULL ? (uintptr_t)found->address : 0;
}

static unsigned char *read_file(const char *path, size_t *size) {
  FILE *file = fopen(path, "rb");
  if (file == NULL) return NULL;
  unsigned char *bytes = NULL;
  long length;
  if (fseek(file, 0, SEEK_END) == 0 && (length = ftell(file)) > 0 && fseek(file, 0, SEEK_SET) == 0 &&
      (bytes = malloc((size_t)length)) != NULL && fread(bytes, 1, (size_t)length, file) != (size_t)length) {
    free(bytes);
    bytes = NULL;
  }
  fclose(file);
  *size = bytes != NULL ? (size_t)length : 0;
  return bytes;
}

/* place: the object in the module region; NULL, or why not. */
static const char *place(const unsigned char *bytes, size_t size, char *error, size_t error_size) {
  struct arm_elf elf;
  const char *why = arm_elf_open(&elf, bytes, size, ET_REL);
  if (why != NULL) return why;
  uint32_t *offsets = malloc(elf.section_count * sizeof *offsets);
  uint32_t *values = malloc(elf.symbol_count * sizeof *values);
  uint32_t lo, hi;
  if (offsets == NULL || values == NULL)
    why = "no memory";
  else if ((loaded_bytes = arm_object_layout(&elf, offsets, &why)) > MODULE_REGION_BYTES)
    why = "larger than the module region";
  else if (why == NULL &&
           (arm_object_resolve(&elf, values, from_image, NULL, "the image's symbol table", &lo, &hi, error,
                               error_size) != 0 ||
            arm_object_place(&elf, offsets, values, (unsigned char *)MODULE_REGION, MODULE_REGION, loaded_bytes,
                             error, error_size) != 0))
    why = error;
  if (why == NULL) {
    nearest_callee = hi;
    loaded.des3_dec = (__typeof__(des3_dec) *)arm_object_symbol(&elf, values, "des3_dec");
    loaded.aes_enc = (__typeof__(aes_enc) *)arm_object_symbol(&elf, values, "aes_enc");
    loaded.aes_dec = (__typeof__(aes_dec) *)arm_object_symbol(&elf, values, "aes_dec");
    loaded.ecc_sign = (__typeof__(ecc_sign) *)arm_object_symbol(&elf, values, "ecc_sign");
    loaded.ecc_verify = (__typeof__(ecc_verify) *)arm_object_symbol(&elf, values, "ecc_verify");
    loaded.base64_encode = (__typeof__(base64_encode) *)arm_object_symbol(&elf, values, "base64_encode");
    loaded.base64_decode = (__typeof__(base64_decode) *)arm_object_symbol(&elf, values, "base64_decode");
    if (!loaded.des3_dec || !loaded.aes_enc || !loaded.aes_dec || !loaded.ecc_sign || !loaded.ecc_verify ||
        !loaded.base64_encode || !loaded.base64_decode)
      why = "a helper is missing from the object";
  }
  free(offsets);
  free(values);
  return why;
}

const struct rawcrypt_helpers *module_open(const char *object_path) {
  size_t size;
  char error[160];
  unsigned char *bytes = object_path != NULL ? read_file(object_path, &size) : NULL;
  const char *why = bytes == NULL ? "cannot read it" : place(bytes, size, error, sizeof error);
  free(bytes);
  if (why != NULL) {
    printf("module: %s not loaded: %s\n", object_path != NULL ? object_path : "(no path given)", why);
    return NULL;
  }
  loaded_from = object_path;
  return &loaded;
}

void module_describe(void) {
  printf("module: %s loaded at 0x%08x (%u bytes), %u MiB above the image's highest callee it uses\n", loaded_from,
         MODULE_REGION, (unsigned)loaded_bytes, (unsigned)((MODULE_REGION - nearest_callee) >> 20));
}
