// A loader of ELF relocatable objects for 32-bit ARM, standing in for the
// device's: it maps an object's allocated sections at an address of its own
// choosing, resolves what the object leaves undefined against the running
// process and applies the relocations, ARM and Thumb-2, refusing what a
// loader cannot place. Test-only: nothing here ships. The relocations
// themselves are arm_relocate.c's, which the FreeRTOS example's loaded image
// shares.
#ifndef RAWCRYPT_TESTS_LOADER_ELF_LOADER_H
#define RAWCRYPT_TESTS_LOADER_ELF_LOADER_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace loader {

// Where the object goes, measured from the functions it calls outside itself.
enum class Placement {
  kNearCallees,     // as close to them as the address space allows
  kFarFromCallees,  // more than 64 MiB from every one of them
};

// One loaded object; unmapped when destroyed.
class Loaded {
 public:
  ~Loaded();
  Loaded(const Loaded&) = delete;
  Loaded& operator=(const Loaded&) = delete;

  uintptr_t base() const { return reinterpret_cast<uintptr_t>(base_); }
  // symbol: a symbol the object defines, global or local, as a caller
  // reaches it (bit 0 set for Thumb code); null when it has none.
  void* symbol(const std::string& name) const;

 private:
  friend std::unique_ptr<Loaded> load(const std::vector<unsigned char>&, Placement, std::string*);
  Loaded(void* base, size_t size) : base_(base), size_(size) {}
  void* base_;
  size_t size_;
  std::map<std::string, uintptr_t> symbols_;
};

// load: the object in `elf` placed and relocated; null when the loader
// refuses it, with the reason (relocation type and symbol) in *error.
std::unique_ptr<Loaded> load(const std::vector<unsigned char>& elf, Placement where,
                             std::string* error);

// resolve: a name in the running process, as a caller reaches it. This
// program's own symbol table first (it holds everything when the program is
// linked statically), then the shared libraries; 0 when neither has it.
uintptr_t resolve(const std::string& name);

}  // namespace loader

#endif  // RAWCRYPT_TESTS_LOADER_ELF_LOADER_H
