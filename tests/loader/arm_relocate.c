/* The loader's steps that need no operating system: the object's view, its
 * layout, its undefined symbols, and each relocation of an allocated
 * section. Formulas as the ARM ELF ABI gives them: S the symbol's address,
 * A the addend held in the place (REL), P the place, T 1 when the target is
 * Thumb code. */
#include "arm_relocate.h"

#include <stdio.h>
#include <string.h>

#ifndef R_ARM_THM_CALL
#define R_ARM_THM_CALL R_ARM_THM_PC22 /* the C libraries' older name for it */
#endif

static const struct {
  uint32_t type;
  const char *name;
} type_names[] = {
    {0, "R_ARM_NONE"}, {1, "R_ARM_PC24"}, {2, "R_ARM_ABS32"}, {3, "R_ARM_REL32"},
    {10, "R_ARM_THM_CALL"}, {24, "R_ARM_GOTOFF32"}, {25, "R_ARM_BASE_PREL"},
    {26, "R_ARM_GOT_BREL"}, {27, "R_ARM_PLT32"}, {28, "R_ARM_CALL"}, {29, "R_ARM_JUMP24"},
    {30, "R_ARM_THM_JUMP24"}, {38, "R_ARM_TARGET1"}, {40, "R_ARM_V4BX"}, {41, "R_ARM_TARGET2"},
    {42, "R_ARM_PREL31"}, {43, "R_ARM_MOVW_ABS_NC"}, {44, "R_ARM_MOVT_ABS"},
    {45, "R_ARM_MOVW_PREL_NC"}, {46, "R_ARM_MOVT_PREL"}, {47, "R_ARM_THM_MOVW_ABS_NC"},
    {48, "R_ARM_THM_MOVT_ABS"}, {51, "R_ARM_THM_JUMP19"}, {96, "R_ARM_GOT_PREL"},
    {102, "R_ARM_THM_JUMP11"}, {103, "R_ARM_THM_JUMP8"}, {104, "R_ARM_TLS_GD32"},
    {105, "R_ARM_TLS_LDM32"}, {106, "R_ARM_TLS_LDO32"}, {107, "R_ARM_TLS_IE32"},
    {108, "R_ARM_TLS_LE32"},
};

static void type_name(uint32_t type, char *out, size_t size) {
  for (size_t i = 0; i < sizeof type_names / sizeof type_names[0]; ++i)
    if (type_names[i].type == type) {
      snprintf(out, size, "%s", type_names[i].name);
      return;
    }
  snprintf(out, size, "R_ARM type %u", (unsigned)type);
}

static uint32_t get32(const unsigned char *p) { uint32_t v; memcpy(&v, p, 4); return v; }
static void put32(unsigned char *p, uint32_t v) { memcpy(p, &v, 4); }
static uint16_t get16(const unsigned char *p) { uint16_t v; memcpy(&v, p, 2); return v; }
static void put16(unsigned char *p, uint16_t v) { memcpy(p, &v, 2); }
static int32_t sign_extend(uint32_t v, int bits) { return (int32_t)(v << (32 - bits)) >> (32 - bits); }

/* at: count items of `item` bytes at offset, or NULL when they pass the end. */
static const void *at(const struct arm_elf *elf, uint64_t offset, uint64_t count, size_t item) {
  return offset + count * item <= elf->size ? elf->bytes + offset : NULL;
}

/* section_text: the string at offset in a string section, or NULL unless
 * it ends inside the section. */
static const char *section_text(const struct arm_elf *elf, const Elf32_Shdr *strings, uint32_t offset) {
  if (offset >= strings->sh_size) return NULL;
  const char *text = at(elf, (uint64_t)strings->sh_offset + offset, strings->sh_size - offset, 1);
  return text != NULL && memchr(text, '\0', strings->sh_size - offset) != NULL ? text : NULL;
}

const char *arm_elf_open(struct arm_elf *elf, const void *bytes, size_t size, unsigned type) {
  memset(elf, 0, sizeof *elf);
  elf->bytes = bytes;
  elf->size = size;
  const Elf32_Ehdr *h = at(elf, 0, 1, sizeof *h);
  if (h == NULL || memcmp(h->e_ident, ELFMAG, SELFMAG) != 0 || h->e_ident[EI_CLASS] != ELFCLASS32 ||
      h->e_ident[EI_DATA] != ELFDATA2LSB || h->e_type != type || h->e_machine != EM_ARM ||
      (elf->sections = at(elf, h->e_shoff, h->e_shnum, sizeof(Elf32_Shdr))) == NULL)
    return type == ET_REL ? "not an ELF32 little-endian ARM relocatable object"
                          : "not an ELF32 little-endian ARM executable";
  elf->section_count = h->e_shnum;
  for (size_t i = 0; i < elf->section_count; ++i) {
    const Elf32_Shdr *s = &elf->sections[i];
    const size_t count = s->sh_size / sizeof(Elf32_Sym);
    if (s->sh_type != SHT_SYMTAB || s->sh_link >= elf->section_count) continue;
    if ((elf->symbols = at(elf, s->sh_offset, count, sizeof(Elf32_Sym))) == NULL) continue;
    elf->symbol_count = count;
    elf->names = &elf->sections[s->sh_link];
    return NULL;
  }
  return "no symbol table";
}

const char *arm_elf_symbol_name(const struct arm_elf *elf, const Elf32_Sym *symbol) {
  return section_text(elf, elf->names, symbol->st_name);
}

size_t arm_object_layout(const struct arm_elf *elf, uint32_t *offsets, const char **why) {
  uint64_t size = 0;  /* wide enough that no sum of 32-bit sizes wraps */
  for (size_t i = 0; i < elf->section_count; ++i) {
    const Elf32_Shdr *s = &elf->sections[i];
    offsets[i] = 0;
    if (!(s->sh_flags & SHF_ALLOC)) continue;
    const uint64_t align = s->sh_addralign ? s->sh_addralign : 1;
    size = (size + align - 1) / align * align;
    offsets[i] = (uint32_t)size;
    size += s->sh_size;
    if (s->sh_type != SHT_NOBITS && at(elf, s->sh_offset, s->sh_size, 1) == NULL) {
      *why = "a section outside the file";
      return 0;
    }
    if (size > UINT32_MAX / 2) {
      *why = "sections larger than an address space";
      return 0;
    }
  }
  return (size_t)size;
}

int arm_object_resolve(const struct arm_elf *elf, uint32_t *values, uintptr_t (*resolve)(const char *, void *),
                       void *context, const char *scope, uint32_t *lo, uint32_t *hi, char *error, size_t error_size) {
  *lo = UINT32_MAX;
  *hi = 0;
  for (size_t i = 0; i < elf->symbol_count; ++i) {
    const Elf32_Sym *sym = &elf->symbols[i];
    const char *name = arm_elf_symbol_name(elf, sym);
    values[i] = 0;
    if (i == 0 || (sym->st_shndx != SHN_UNDEF && sym->st_shndx != SHN_COMMON)) continue;
    if (name == NULL || *name == '\0') continue;
    if (sym->st_shndx == SHN_COMMON) return snprintf(error, error_size, "common symbol %s", name), -1;
    values[i] = (uint32_t)resolve(name, context);
    if (values[i] == 0) return snprintf(error, error_size, "undefined symbol %s is not in %s", name, scope), -1;
    if (values[i] < *lo) *lo = values[i];
    if (values[i] > *hi) *hi = values[i];
  }
  if (*hi == 0) *lo = 0;
  return 0;
}

/* apply: writes the place's new contents; NULL or why it cannot. */
static const char *apply(uint32_t type, unsigned char *p, uint32_t P, uint32_t S, uint32_t T) {
  switch (type) {
    case R_ARM_ABS32:
      put32(p, (S + get32(p)) | T);
      return NULL;
    case R_ARM_REL32:
      put32(p, ((S + get32(p)) | T) - P);
      return NULL;
    case R_ARM_PREL31: {
      const uint32_t word = get32(p);
      const uint32_t value = ((S + (uint32_t)sign_extend(word, 31)) | T) - P;
      put32(p, (word & 0x80000000u) | (value & 0x7fffffffu));
      return NULL;
    }
    case R_ARM_V4BX: /* BX Rm, as good as it stands on ARMv5T and later */
      return NULL;
    case R_ARM_CALL:
    case R_ARM_JUMP24: { /* B/BL/BLX <imm24>, ARM state: +-32 MiB */
      uint32_t insn = get32(p);
      const int blx = insn >> 28 == 0xf;
      const int32_t A = sign_extend((insn & 0xffffff) << 2, 26) | (blx ? (int32_t)((insn >> 23) & 2) : 0);
      const int64_t X = (int64_t)((S + (uint32_t)A) | T) - P;
      if (X < -((int64_t)1 << 25) || X >= ((int64_t)1 << 25)) return "out of range";
      if (T && (type == R_ARM_JUMP24 || (!blx && insn >> 28 != 0xe))) return "cannot reach Thumb code (no BLX form)";
      if (T)
        insn = 0xfa000000u | ((uint32_t)X & 2) << 23;
      else
        insn = blx ? 0xeb000000u : insn & 0xff000000u;
      put32(p, insn | (((uint32_t)X >> 2) & 0xffffff));
      return NULL;
    }
    case R_ARM_THM_CALL:
    case R_ARM_THM_JUMP24: { /* BL/BLX/B.W, Thumb-2: +-16 MiB */
      uint16_t hi = get16(p), lo = get16(p + 2);
      const uint32_t s = (hi >> 10) & 1;
      const uint32_t i1 = ~((lo >> 13) ^ s) & 1, i2 = ~((lo >> 11) ^ s) & 1;
      const int32_t A = sign_extend(s << 24 | i1 << 23 | i2 << 22 | (hi & 0x3ffu) << 12 | (lo & 0x7ffu) << 1, 25);
      if (!T && type == R_ARM_THM_JUMP24) return "cannot reach ARM code (no B.W form)";
      /* BLX to ARM code counts from the place rounded down to a word. */
      const int64_t X = T ? (int64_t)((S + (uint32_t)A) | T) - P : (int64_t)(S + (uint32_t)A) - (P & ~3u);
      if (X < -((int64_t)1 << 24) || X >= ((int64_t)1 << 24)) return "out of range";
      const uint32_t u = (uint32_t)X, sign = (u >> 24) & 1;
      hi = (uint16_t)(0xf000 | sign << 10 | ((u >> 12) & 0x3ff));
      lo = (uint16_t)((lo & 0xd000) | (((u >> 23) ^ sign ^ 1) & 1) << 13 | (((u >> 22) ^ sign ^ 1) & 1) << 11 |
                      ((u >> 1) & 0x7ff));
      if (type == R_ARM_THM_CALL) lo = T ? lo | 0x1000 : lo & ~0x1001; /* BL or BLX */
      put16(p, hi);
      put16(p + 2, lo);
      return NULL;
    }
    case R_ARM_MOVW_ABS_NC:
    case R_ARM_MOVT_ABS: { /* imm4:imm12 at bits 19-16 and 11-0 */
      const uint32_t insn = get32(p);
      const int32_t A = sign_extend((insn >> 4 & 0xf000) | (insn & 0xfff), 16);
      const uint32_t v = type == R_ARM_MOVW_ABS_NC ? (S + (uint32_t)A) | T : (S + (uint32_t)A) >> 16;
      put32(p, (insn & 0xfff0f000u) | (v & 0xf000) << 4 | (v & 0xfff));
      return NULL;
    }
    case R_ARM_THM_MOVW_ABS_NC:
    case R_ARM_THM_MOVT_ABS: { /* imm4 | i | imm3 | imm8 over the two halfwords */
      const uint16_t hi = get16(p), lo = get16(p + 2);
      const int32_t A =
          sign_extend((hi & 0xfu) << 12 | (hi >> 10 & 1u) << 11 | (lo >> 12 & 7u) << 8 | (lo & 0xffu), 16);
      const uint32_t v = type == R_ARM_THM_MOVW_ABS_NC ? (S + (uint32_t)A) | T : (S + (uint32_t)A) >> 16;
      put16(p, (uint16_t)((hi & 0xfbf0) | (v >> 12 & 0xf) | (v >> 11 & 1) << 10));
      put16(p + 2, (uint16_t)((lo & 0x8f00) | (v >> 8 & 7) << 12 | (v & 0xff)));
      return NULL;
    }
    default:
      return "not a type this loader applies";
  }
}

int arm_object_place(const struct arm_elf *elf, const uint32_t *offsets, uint32_t *values, unsigned char *base,
                     uint32_t at_address, size_t size, char *error, size_t error_size) {
  const Elf32_Shdr *sections = elf->sections;
  const size_t count = elf->section_count;
  memset(base, 0, size);
  for (size_t i = 0; i < count; ++i)
    if ((sections[i].sh_flags & SHF_ALLOC) && sections[i].sh_type != SHT_NOBITS)
      memcpy(base + offsets[i], elf->bytes + sections[i].sh_offset, sections[i].sh_size);
  for (size_t i = 1; i < elf->symbol_count; ++i) {
    const uint16_t shndx = elf->symbols[i].st_shndx;
    if (shndx == SHN_ABS) values[i] = elf->symbols[i].st_value;
    if (shndx == SHN_UNDEF || shndx >= SHN_LORESERVE || shndx >= count) continue;
    values[i] = at_address + offsets[shndx] + elf->symbols[i].st_value; /* Thumb functions keep bit 0 */
  }
  const Elf32_Ehdr *header = (const Elf32_Ehdr *)elf->bytes;
  for (size_t r = 0; r < count; ++r) {
    const Elf32_Shdr *rel = &sections[r];
    if (rel->sh_type == SHT_RELA) return snprintf(error, error_size, "RELA relocations"), -1;
    if (rel->sh_type != SHT_REL || rel->sh_info >= count || !(sections[rel->sh_info].sh_flags & SHF_ALLOC)) continue;
    const Elf32_Shdr *target = &sections[rel->sh_info];
    const size_t n = rel->sh_size / sizeof(Elf32_Rel);
    const Elf32_Rel *entries = at(elf, rel->sh_offset, n, sizeof(Elf32_Rel));
    if (entries == NULL) return snprintf(error, error_size, "relocations outside the file"), -1;
    for (size_t e = 0; e < n; ++e) {
      const uint32_t type = ELF32_R_TYPE(entries[e].r_info), sym = ELF32_R_SYM(entries[e].r_info);
      if (sym >= elf->symbol_count || (uint64_t)entries[e].r_offset + 4 > target->sh_size)
        return snprintf(error, error_size, "a relocation out of bounds"), -1;
      /* T: a function symbol with bit 0 set; what the resolver gives carries
       * the same bit for Thumb functions. */
      const int kind = ELF32_ST_TYPE(elf->symbols[sym].st_info);
      const int code = kind == STT_FUNC || elf->symbols[sym].st_shndx == SHN_UNDEF;
      const uint32_t T = code ? values[sym] & 1 : 0;
      const uint32_t P = at_address + offsets[rel->sh_info] + entries[e].r_offset;
      const char *problem = apply(type, base + (P - at_address), P, values[sym] & ~T, T);
      if (problem == NULL) continue;
      const uint16_t shndx = elf->symbols[sym].st_shndx;
      const char *name = kind != STT_SECTION ? arm_elf_symbol_name(elf, &elf->symbols[sym])
                         : shndx < count && header->e_shstrndx < count
                             ? section_text(elf, &sections[header->e_shstrndx], sections[shndx].sh_name)
                             : NULL;
      char kind_name[32];
      type_name(type, kind_name, sizeof kind_name);
      snprintf(error, error_size, "%s to %s: %s", kind_name, name ? name : "?", problem);
      return -1;
    }
  }
  return 0;
}

uint32_t arm_object_symbol(const struct arm_elf *elf, const uint32_t *values, const char *name) {
  for (size_t i = 1; i < elf->symbol_count; ++i) {
    const Elf32_Sym *sym = &elf->symbols[i];
    const char *own = arm_elf_symbol_name(elf, sym);
    if (sym->st_shndx == SHN_UNDEF || sym->st_shndx >= SHN_LORESERVE || ELF32_ST_TYPE(sym->st_info) == STT_SECTION)
      continue;
    if (own != NULL && strcmp(own, name) == 0) return values[i];
  }
  return 0;
}
