/* The image's own symbol table, made when the image is linked
 * (symbol_table.cmake): what a module loaded at run time may call. */
#ifndef RAWCRYPT_EXAMPLES_FREERTOS_IMAGE_SYMBOLS_H
#define RAWCRYPT_EXAMPLES_FREERTOS_IMAGE_SYMBOLS_H

struct image_symbol {
  const char *name;
  void *address; /* as a caller reaches it: bit 0 set for Thumb code */
};

extern const struct image_symbol image_symbols[]; /* sorted by name */
extern const unsigned image_symbol_count;

#endif
