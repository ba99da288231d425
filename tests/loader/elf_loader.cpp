// The loader's steps: lay the allocated sections out in one mapping, place
// it, give every symbol its address, then apply each relocation of an
// allocated section. Formulas as the ARM ELF ABI gives them: S the symbol's
// address, A the addend held in the place (REL), P the place, T 1 when the
// target is Thumb code.
#include "tests/loader/elf_loader.h"

#include <dlfcn.h>
#include <elf.h>
#include <sys/auxv.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#ifndef R_ARM_THM_CALL
#define R_ARM_THM_CALL R_ARM_THM_PC22  // glibc's name for it
#endif

namespace loader {
namespace {

constexpr uint64_t kMiB = 1 << 20;

std::string type_name(uint32_t type) {
  static const std::map<uint32_t, const char*> kNames = {
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
  const auto it = kNames.find(type);
  return it != kNames.end() ? it->second : "R_ARM type " + std::to_string(type);
}

uint32_t get32(const unsigned char* p) { uint32_t v; std::memcpy(&v, p, 4); return v; }
void put32(unsigned char* p, uint32_t v) { std::memcpy(p, &v, 4); }
uint16_t get16(const unsigned char* p) { uint16_t v; std::memcpy(&v, p, 2); return v; }
void put16(unsigned char* p, uint16_t v) { std::memcpy(p, &v, 2); }
int32_t sign_extend(uint32_t v, int bits) { return static_cast<int32_t>(v << (32 - bits)) >> (32 - bits); }

// A bounds-checked view of an ELF32 file in memory.
struct Elf {
  const std::vector<unsigned char>& bytes;

  template <class T>
  const T* at(uint64_t offset, uint64_t count = 1) const {
    return offset + count * sizeof(T) <= bytes.size() ? reinterpret_cast<const T*>(&bytes[offset]) : nullptr;
  }
  const Elf32_Ehdr& header() const { return *at<Elf32_Ehdr>(0); }
  const Elf32_Shdr* sections() const { return at<Elf32_Shdr>(header().e_shoff, header().e_shnum); }
  const char* name(const Elf32_Shdr& strings, uint32_t offset) const {
    return offset < strings.sh_size ? at<char>(strings.sh_offset + offset, strings.sh_size - offset) : nullptr;
  }
  bool valid(uint16_t type) const {
    const auto* h = at<Elf32_Ehdr>(0);
    return h != nullptr && std::memcmp(h->e_ident, ELFMAG, SELFMAG) == 0 &&
           h->e_ident[EI_CLASS] == ELFCLASS32 && h->e_ident[EI_DATA] == ELFDATA2LSB &&
           h->e_type == type && h->e_machine == EM_ARM && sections() != nullptr;
  }
  // The symbol table's entries and their names' section (SHT_SYMTAB).
  const Elf32_Shdr* symtab() const {
    for (int i = 0; i < header().e_shnum; ++i)
      if (sections()[i].sh_type == SHT_SYMTAB && sections()[i].sh_link < header().e_shnum &&
          at<Elf32_Sym>(sections()[i].sh_offset, sections()[i].sh_size / sizeof(Elf32_Sym)))
        return &sections()[i];
    return nullptr;
  }
};

// This program's defined global symbols, from its own file: the image a
// device's loader resolves against.
const std::map<std::string, uintptr_t>& image_symbols() {
  static const std::map<std::string, uintptr_t> symbols = [] {
    std::map<std::string, uintptr_t> found;
    std::ifstream in("/proc/self/exe", std::ios::binary);
    const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in), {}};
    const Elf image{bytes};
    const Elf32_Shdr* table = image.valid(ET_EXEC) ? image.symtab() : nullptr;
    if (table == nullptr) return found;
    const auto* syms = image.at<Elf32_Sym>(table->sh_offset);
    const Elf32_Shdr& strings = image.sections()[table->sh_link];
    for (size_t i = 0; i < table->sh_size / sizeof(Elf32_Sym); ++i) {
      const int bind = ELF32_ST_BIND(syms[i].st_info);
      const char* name = image.name(strings, syms[i].st_name);
      if (syms[i].st_shndx == SHN_UNDEF || (bind != STB_GLOBAL && bind != STB_WEAK) || !name) continue;
      uintptr_t at = syms[i].st_value;
      // A function chosen at start-up (memcpy by the CPU's features): the
      // symbol is its chooser, asked as the C library's start-up asks it.
      if (ELF32_ST_TYPE(syms[i].st_info) == STT_GNU_IFUNC)
        at = reinterpret_cast<uintptr_t (*)(unsigned long)>(at)(getauxval(AT_HWCAP));
      found.emplace(name, at);
    }
    return found;
  }();
  return symbols;
}

// map_at: `size` bytes mapped exactly at `address`, never over a mapping.
void* map_at(uint64_t address, size_t size) {
  if (address < 64 * 1024 || address + size > UINTPTR_MAX) return nullptr;
  void* want = reinterpret_cast<void*>(static_cast<uintptr_t>(address));
  void* got = mmap(want, size, PROT_READ | PROT_WRITE | PROT_EXEC,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (got == MAP_FAILED) return nullptr;
  if (got != want) munmap(got, size);  // a kernel without MAP_FIXED_NOREPLACE took it as a hint
  return got == want ? got : nullptr;
}

// place: a mapping beside [lo, hi], the callees' span: just outside it when
// near, 64 MiB or more outside it when far; the nearer candidates first.
void* place(uint64_t lo, uint64_t hi, size_t size, Placement where) {
  const uint64_t gap = where == Placement::kNearCallees ? 0 : 64 * kMiB;
  const uint64_t step = where == Placement::kNearCallees ? kMiB : 16 * kMiB;
  for (uint64_t k = 0; k < 32; ++k) {
    const uint64_t above = (hi + gap + kMiB) / kMiB * kMiB + k * step;
    if (void* p = map_at(above, size)) return p;
    const uint64_t below = lo > gap + size + k * step + kMiB ? (lo - gap - size) / kMiB * kMiB - k * step : 0;
    if (void* p = map_at(below, size)) return p;
  }
  return nullptr;
}

// One relocation: its type, the place in the mapping and at its address, the
// target without its Thumb bit.
struct Relocation {
  uint32_t type;
  unsigned char* place;
  uint32_t P, S, T;
};

// apply: writes the place's new contents; "" or why it cannot.
std::string apply(const Relocation& r) {
  unsigned char* const p = r.place;
  const uint32_t S = r.S, T = r.T, P = r.P;
  switch (r.type) {
    case R_ARM_ABS32:
      put32(p, (S + get32(p)) | T);
      return "";
    case R_ARM_REL32:
      put32(p, ((S + get32(p)) | T) - P);
      return "";
    case R_ARM_PREL31: {
      const uint32_t word = get32(p);
      const uint32_t value = ((S + sign_extend(word, 31)) | T) - P;
      put32(p, (word & 0x80000000u) | (value & 0x7fffffffu));
      return "";
    }
    case R_ARM_V4BX:  // BX Rm, as good as it stands on ARMv5T and later
      return "";
    case R_ARM_CALL:
    case R_ARM_JUMP24: {  // B/BL/BLX <imm24>, ARM state: +-32 MiB
      uint32_t insn = get32(p);
      const bool blx = insn >> 28 == 0xf;
      const int32_t A = sign_extend((insn & 0xffffff) << 2, 26) | (blx ? (insn >> 23) & 2 : 0);
      const int64_t X = static_cast<int64_t>((S + A) | T) - P;
      if (X < -(int64_t{1} << 25) || X >= (int64_t{1} << 25)) return "out of range";
      if (T && (r.type == R_ARM_JUMP24 || (!blx && insn >> 28 != 0xe)))
        return "cannot reach Thumb code (no BLX form)";
      if (T)
        insn = 0xfa000000u | (static_cast<uint32_t>(X) & 2) << 23;
      else
        insn = blx ? 0xeb000000u : insn & 0xff000000u;
      put32(p, insn | ((static_cast<uint32_t>(X) >> 2) & 0xffffff));
      return "";
    }
    case R_ARM_THM_CALL:
    case R_ARM_THM_JUMP24: {  // BL/BLX/B.W, Thumb-2: +-16 MiB
      uint16_t hi = get16(p), lo = get16(p + 2);
      const uint32_t s = (hi >> 10) & 1;
      const uint32_t i1 = ~((lo >> 13) ^ s) & 1, i2 = ~((lo >> 11) ^ s) & 1;
      const int32_t A = sign_extend(s << 24 | i1 << 23 | i2 << 22 | (hi & 0x3ffu) << 12 | (lo & 0x7ffu) << 1, 25);
      if (!T && r.type == R_ARM_THM_JUMP24) return "cannot reach ARM code (no B.W form)";
      // BLX to ARM code counts from the place rounded down to a word.
      const int64_t X = T ? static_cast<int64_t>((S + A) | T) - P : static_cast<int64_t>(S + A) - (P & ~3u);
      if (X < -(int64_t{1} << 24) || X >= (int64_t{1} << 24)) return "out of range";
      const uint32_t u = static_cast<uint32_t>(X), sign = (u >> 24) & 1;
      hi = static_cast<uint16_t>(0xf000 | sign << 10 | ((u >> 12) & 0x3ff));
      lo = static_cast<uint16_t>((lo & 0xd000) | (((u >> 23) ^ sign ^ 1) & 1) << 13 |
                                 (((u >> 22) ^ sign ^ 1) & 1) << 11 | ((u >> 1) & 0x7ff));
      if (r.type == R_ARM_THM_CALL) lo = T ? lo | 0x1000 : lo & ~0x1001;  // BL or BLX
      put16(p, hi);
      put16(p + 2, lo);
      return "";
    }
    case R_ARM_MOVW_ABS_NC:
    case R_ARM_MOVT_ABS: {  // imm4:imm12 at bits 19-16 and 11-0
      const uint32_t insn = get32(p);
      const int32_t A = sign_extend((insn >> 4 & 0xf000) | (insn & 0xfff), 16);
      const uint32_t v = r.type == R_ARM_MOVW_ABS_NC ? (S + A) | T : (S + A) >> 16;
      put32(p, (insn & 0xfff0f000u) | (v & 0xf000) << 4 | (v & 0xfff));
      return "";
    }
    case R_ARM_THM_MOVW_ABS_NC:
    case R_ARM_THM_MOVT_ABS: {  // imm4 | i | imm3 | imm8 over the two halfwords
      const uint16_t hi = get16(p), lo = get16(p + 2);
      const int32_t A = sign_extend((hi & 0xfu) << 12 | (hi >> 10 & 1u) << 11 | (lo >> 12 & 7u) << 8 | (lo & 0xffu), 16);
      const uint32_t v = r.type == R_ARM_THM_MOVW_ABS_NC ? (S + A) | T : (S + A) >> 16;
      put16(p, static_cast<uint16_t>((hi & 0xfbf0) | (v >> 12 & 0xf) | (v >> 11 & 1) << 10));
      put16(p + 2, static_cast<uint16_t>((lo & 0x8f00) | (v >> 8 & 7) << 12 | (v & 0xff)));
      return "";
    }
    default:
      return "not a type this loader applies";
  }
}

}  // namespace

Loaded::~Loaded() { munmap(base_, size_); }

void* Loaded::symbol(const std::string& name) const {
  const auto it = symbols_.find(name);
  return it != symbols_.end() ? reinterpret_cast<void*>(it->second) : nullptr;
}

uintptr_t resolve(const std::string& name) {
  const auto& image = image_symbols();
  const auto it = image.find(name);
  if (it != image.end()) return it->second;
  return reinterpret_cast<uintptr_t>(dlsym(RTLD_DEFAULT, name.c_str()));
}

std::unique_ptr<Loaded> load(const std::vector<unsigned char>& bytes, Placement where, std::string* error) {
  const Elf elf{bytes};
  if (!elf.valid(ET_REL)) return *error = "not an ELF32 little-endian ARM relocatable object", nullptr;
  const Elf32_Shdr* sections = elf.sections();
  const size_t count = elf.header().e_shnum;
  const Elf32_Shdr* table = elf.symtab();
  if (table == nullptr) return *error = "no symbol table", nullptr;
  const auto* syms = elf.at<Elf32_Sym>(table->sh_offset);
  const size_t nsyms = table->sh_size / sizeof(Elf32_Sym);
  const Elf32_Shdr& strings = sections[table->sh_link];
  const Elf32_Shdr& section_names = sections[elf.header().e_shstrndx];

  // The allocated sections, one after another at their alignments.
  std::vector<uint32_t> offset(count, 0);
  size_t size = 0;
  for (size_t i = 0; i < count; ++i) {
    if (!(sections[i].sh_flags & SHF_ALLOC)) continue;
    const size_t align = sections[i].sh_addralign ? sections[i].sh_addralign : 1;
    size = (size + align - 1) / align * align;
    offset[i] = static_cast<uint32_t>(size);
    size += sections[i].sh_size;
    if (sections[i].sh_type != SHT_NOBITS && !elf.at<char>(sections[i].sh_offset, sections[i].sh_size))
      return *error = "a section outside the file", nullptr;
  }

  // What the object leaves undefined, found in this process; their span.
  std::vector<uint32_t> value(nsyms, 0);
  uint64_t lo = UINT64_MAX, hi = 0;
  for (size_t i = 1; i < nsyms; ++i) {
    const char* name = elf.name(strings, syms[i].st_name);
    if (syms[i].st_shndx != SHN_UNDEF && syms[i].st_shndx != SHN_COMMON) continue;
    if (name == nullptr || *name == '\0') continue;
    if (syms[i].st_shndx == SHN_COMMON) return *error = std::string("common symbol ") + name, nullptr;
    value[i] = static_cast<uint32_t>(resolve(name));
    if (value[i] == 0) return *error = std::string("undefined symbol ") + name + " is not in this process", nullptr;
    lo = std::min<uint64_t>(lo, value[i]);
    hi = std::max<uint64_t>(hi, value[i]);
  }
  if (hi == 0) lo = hi = reinterpret_cast<uintptr_t>(&resolve);
  size = (size + 4095) / 4096 * 4096;
  auto* base = static_cast<unsigned char*>(place(lo, hi, size, where));
  if (base == nullptr) return *error = "no room in the address space", nullptr;
  std::unique_ptr<Loaded> loaded(new Loaded(base, size));

  const uint32_t at = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(base));
  for (size_t i = 0; i < count; ++i)
    if ((sections[i].sh_flags & SHF_ALLOC) && sections[i].sh_type != SHT_NOBITS)
      std::memcpy(base + offset[i], &bytes[sections[i].sh_offset], sections[i].sh_size);
  for (size_t i = 1; i < nsyms; ++i) {
    const uint16_t shndx = syms[i].st_shndx;
    if (shndx == SHN_ABS) value[i] = syms[i].st_value;
    if (shndx == SHN_UNDEF || shndx >= SHN_LORESERVE || shndx >= count) continue;
    value[i] = at + offset[shndx] + syms[i].st_value;  // Thumb functions keep bit 0
    const char* name = elf.name(strings, syms[i].st_name);
    if (name && *name && ELF32_ST_TYPE(syms[i].st_info) != STT_SECTION) loaded->symbols_.emplace(name, value[i]);
  }

  for (size_t r = 0; r < count; ++r) {
    const Elf32_Shdr& rel = sections[r];
    if (rel.sh_type == SHT_RELA) return *error = "RELA relocations", nullptr;
    if (rel.sh_type != SHT_REL || rel.sh_info >= count || !(sections[rel.sh_info].sh_flags & SHF_ALLOC)) continue;
    const Elf32_Shdr& target = sections[rel.sh_info];
    const auto* entries = elf.at<Elf32_Rel>(rel.sh_offset, rel.sh_size / sizeof(Elf32_Rel));
    if (entries == nullptr) return *error = "relocations outside the file", nullptr;
    for (size_t e = 0; e < rel.sh_size / sizeof(Elf32_Rel); ++e) {
      const uint32_t type = ELF32_R_TYPE(entries[e].r_info), sym = ELF32_R_SYM(entries[e].r_info);
      if (sym >= nsyms || entries[e].r_offset + 4 > target.sh_size) return *error = "a relocation out of bounds", nullptr;
      // T: a function symbol with bit 0 set; what this process resolves
      // carries the same bit for its Thumb functions.
      const int kind = ELF32_ST_TYPE(syms[sym].st_info);
      const bool code = kind == STT_FUNC || syms[sym].st_shndx == SHN_UNDEF;
      const uint32_t T = code ? value[sym] & 1 : 0;
      const uint32_t P = at + offset[rel.sh_info] + entries[e].r_offset;
      const std::string problem = apply({type, base + P - at, P, value[sym] & ~T, T});
      if (!problem.empty()) {
        const char* name = kind == STT_SECTION ? elf.name(section_names, sections[syms[sym].st_shndx].sh_name)
                                               : elf.name(strings, syms[sym].st_name);
        *error = type_name(type) + " to " + (name ? name : "?") + ": " + problem;
        return nullptr;
      }
    }
  }
  __builtin___clear_cache(reinterpret_cast<char*>(base), reinterpret_cast<char*>(base + size));
  return loaded;
}

}  // namespace loader
