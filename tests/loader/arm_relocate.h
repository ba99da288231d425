/* The relocation core of the tests' loader, in C with no run time of its
 * own (no allocation, no C++): it checks an ELF32 ARM relocatable object,
 * lays out its allocated sections, resolves what the object leaves
 * undefined through the caller, copies it where the caller placed it and
 * applies its relocations, ARM and Thumb-2, refusing by name what a loader
 * cannot place. The caller chooses the place and owns every buffer. It
 * serves the Linux loader (elf_loader.cpp) and the FreeRTOS example's
 * loaded image alike. */
#ifndef RAWCRYPT_TESTS_LOADER_ARM_RELOCATE_H
#define RAWCRYPT_TESTS_LOADER_ARM_RELOCATE_H

#include <elf.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A bounds-checked view of an ELF32 little-endian ARM file in memory. */
struct arm_elf {
  const unsigned char *bytes;
  size_t size;
  const Elf32_Shdr *sections;
  size_t section_count;
  const Elf32_Sym *symbols; /* the symbol table (SHT_SYMTAB) */
  size_t symbol_count;
  const Elf32_Shdr *names;  /* its names' section */
};

/* arm_elf_open: a view of the file in bytes, of ELF type `type` (ET_REL,
 * ET_EXEC), with its symbol table. Returns NULL, or why it cannot. */
const char *arm_elf_open(struct arm_elf *elf, const void *bytes, size_t size, unsigned type);

/* arm_elf_symbol_name: a symbol's name; NULL when it lies outside the file. */
const char *arm_elf_symbol_name(const struct arm_elf *elf, const Elf32_Sym *symbol);

/* arm_object_layout: offsets[i] (section_count entries) of each allocated
 * section, one after another at their alignments. Returns the bytes they
 * take; 0 with *why set when a section lies outside the file. */
size_t arm_object_layout(const struct arm_elf *elf, uint32_t *offsets, const char **why);

/* arm_object_resolve: values[i] (symbol_count entries) of each undefined
 * symbol, as resolve(name, context) gives it (bit 0 set for Thumb code, 0
 * when unknown); *lo and *hi the span they cover (both 0 when none). Returns
 * 0, or -1 with the reason in error ("... is not in " scope). */
int arm_object_resolve(const struct arm_elf *elf, uint32_t *values, uintptr_t (*resolve)(const char *, void *),
                       void *context, const char *scope, uint32_t *lo, uint32_t *hi, char *error, size_t error_size);

/* arm_object_place: copies the allocated sections into base (size bytes,
 * zeroed first), where the object's code sees them at address `at`, gives
 * every defined symbol its address in values[], and applies the
 * relocations. Returns 0, or -1 with the reason (relocation type, symbol and
 * what is wrong) in error. The caller makes the instructions visible to the
 * CPU (caches) before running them. */
int arm_object_place(const struct arm_elf *elf, const uint32_t *offsets, uint32_t *values, unsigned char *base,
                     uint32_t at, size_t size, char *error, size_t error_size);

/* arm_object_symbol: the address of a symbol the object defines, as a caller
 * reaches it (bit 0 set for Thumb code), after arm_object_place; 0 when it
 * has none of that name. */
uint32_t arm_object_symbol(const struct arm_elf *elf, const uint32_t *values, const char *name);

#ifdef __cplusplus
}
#endif

#endif
