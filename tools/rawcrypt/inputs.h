// A command's inputs: files, standard input (one input per command) or one
// of the caller's descriptors, streamed in chunks or held whole without
// copies. Touches only what it reads.
#ifndef RAWCRYPT_TOOLS_RAWCRYPT_INPUTS_H
#define RAWCRYPT_TOOLS_RAWCRYPT_INPUTS_H

#include <cstddef>
#include <string>

namespace cli {

// Streams go in chunks of a multiple of 3 (Base64), 8 and 16 (the ciphers).
constexpr size_t kChunk = size_t{3} << 18;  // 768 KiB

// claim_stdin: standard input serves one input per command; a second claim
// ("--key -" with the message on standard input too) is a usage error.
void claim_stdin(const std::string& what);

// Input: a file, or "-" for standard input, read in chunks. A path that
// names one of the caller's descriptors (/dev/stdin, /dev/fd/N, ... as for
// Output) is read through a duplicate of it, from its offset.
class Input {
 public:
  explicit Input(const std::string& path);
  ~Input();
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;
  // read: up to `size` bytes; fewer only at the end, 0 there.
  size_t read(unsigned char* buffer, size_t size);
  // name: the input as messages show it.
  const std::string& name() const { return name_; }
  int fd() const { return fd_; }

 private:
  std::string name_;
  int fd_ = -1;
};

// Held: a whole input in memory for a command that needs all of it at once,
// from the descriptor's offset. A regular file is mapped (up to the device's
// 32-bit lengths); a pipe or a device is read into memory grown without
// copies. Neither may be larger than `cap` bytes, or with kPipesOnly a pipe
// or a device only.
class Held {
 public:
  enum Limit { kEveryInput, kPipesOnly };
  Held(const std::string& path, size_t cap, const std::string& what, Limit limit = kEveryInput);
  ~Held();
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  const unsigned char* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  unsigned char* data_ = nullptr;
  size_t size_ = 0;
  void* map_ = nullptr;  // what is unmapped at the end
  size_t mapped_ = 0;
};

// The most a pipe or a device may give a command that holds its input.
constexpr size_t kHeldCap = size_t{1} << 30;  // 1 GiB

}  // namespace cli

#endif  // RAWCRYPT_TOOLS_RAWCRYPT_INPUTS_H
