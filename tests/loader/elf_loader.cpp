// The loader on Linux: the process's own symbols, a mapping placed near or
// far from the object's callees, and the relocation core (arm_relocate.c)
// between them.
#include "tests/loader/elf_loader.h"

#include "tests/loader/arm_relocate.h"

#include <dlfcn.h>
#include <elf.h>
#include <sys/auxv.h>
#include <sys/mman.h>

#include <fstream>
#include <iterator>

namespace loader {
namespace {

constexpr uint64_t kMiB = 1 << 20;

// This program's defined global symbols, from its own file: the image a
// device's loader resolves against.
const std::map<std::string, uintptr_t>& image_symbols() {
  static const std::map<std::string, uintptr_t> symbols = [] {
    std::map<std::string, uintptr_t> found;
    std::ifstream in("/proc/self/exe", std::ios::binary);
    const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in), {}};
    arm_elf image;
    if (arm_elf_open(&image, bytes.data(), bytes.size(), ET_EXEC) != nullptr) return found;
    const Elf32_Sym* syms = image.symbols;
    for (size_t i = 0; i < image.symbol_count; ++i) {
      const int bind = ELF32_ST_BIND(syms[i].st_info);
      const char* name = arm_elf_symbol_name(&image, &syms[i]);
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
  arm_elf elf;
  if (const char* why = arm_elf_open(&elf, bytes.data(), bytes.size(), ET_REL)) return *error = why, nullptr;
  std::vector<uint32_t> offsets(elf.section_count), values(elf.symbol_count);
  const char* why = nullptr;
  size_t size = arm_object_layout(&elf, offsets.data(), &why);
  if (why != nullptr) return *error = why, nullptr;

  // What the object leaves undefined, found in this process; their span.
  char message[256];
  uint32_t lo, hi;
  const auto in_process = [](const char* name, void*) { return resolve(name); };
  if (arm_object_resolve(&elf, values.data(), in_process, nullptr, "this process", &lo, &hi, message,
                         sizeof message) != 0)
    return *error = message, nullptr;
  if (hi == 0) lo = hi = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&resolve));
  size = (size + 4095) / 4096 * 4096;
  auto* base = static_cast<unsigned char*>(place(lo, hi, size, where));
  if (base == nullptr) return *error = "no room in the address space", nullptr;
  std::unique_ptr<Loaded> loaded(new Loaded(base, size));

  const uint32_t at = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(base));
  if (arm_object_place(&elf, offsets.data(), values.data(), base, at, size, message, sizeof message) != 0)
    return *error = message, nullptr;
  for (size_t i = 1; i < elf.symbol_count; ++i) {
    const uint16_t shndx = elf.symbols[i].st_shndx;
    const char* name = arm_elf_symbol_name(&elf, &elf.symbols[i]);
    if (shndx == SHN_UNDEF || shndx >= SHN_LORESERVE || shndx >= elf.section_count) continue;
    if (name && *name && ELF32_ST_TYPE(elf.symbols[i].st_info) != STT_SECTION)
      loaded->symbols_.emplace(name, values[i]);
  }
  __builtin___clear_cache(reinterpret_cast<char*>(base), reinterpret_cast<char*>(base + size));
  return loaded;
}

}  // namespace loader
