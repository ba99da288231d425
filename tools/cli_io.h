// Files and streams for the host tool: inputs streamed or held without
// copies, outputs that replace a file whole or not at all (or write straight
// to a device, a pipe or a terminal), key files read into wiped memory, and
// the helpers' console lines caught for stderr.
#ifndef RAWCRYPT_TOOLS_CLI_IO_H
#define RAWCRYPT_TOOLS_CLI_IO_H

#include <cstddef>
#include <stdexcept>
#include <string>

#include "host/bytes.h"

namespace cli {

using host::Bytes;
using host::SecretBytes;

constexpr int kUsage = 2;  // exit code of a usage error
constexpr int kFailed = 1;  // of any other failure

// A problem to report on one line of stderr, with the exit code to leave by.
struct Failure : std::runtime_error {
  explicit Failure(const std::string& what, int code = kFailed) : std::runtime_error(what), exit_code(code) {}
  int exit_code;
};

// install_signal_cleanup: SIGINT, SIGTERM and SIGHUP remove a named
// temporary output before the tool dies; SIGBUS (a mapped input that shrank)
// ends the tool with a clear message instead of a crash. Call once, first.
void install_signal_cleanup();

// claim_stdin: standard input serves one input per command; a second claim
// ("--key -" with the message on standard input too) is a usage error.
void claim_stdin(const std::string& what);

// Input: a file, or "-" for standard input, read in chunks.
class Input {
 public:
  explicit Input(const std::string& path);
  ~Input();
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;
  // read: up to `size` bytes; fewer only at the end, 0 there.
  size_t read(unsigned char* buffer, size_t size);
  const std::string& name() const { return name_; }
  int fd() const { return fd_; }

 private:
  std::string name_;
  int fd_ = -1;
};

// Held: a whole input in memory for a command that needs all of it at once.
// A regular file is mapped (up to the device's 32-bit lengths); a pipe or a
// device is read into memory grown without copies, up to `cap` bytes.
class Held {
 public:
  Held(const std::string& path, size_t cap, const std::string& what);
  ~Held();
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  const unsigned char* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  unsigned char* data_ = nullptr;
  size_t size_ = 0, reserved_ = 0;
  bool mapped_ = false;
};

// The most a pipe or a device may give a command that holds its input.
constexpr size_t kHeldCap = size_t{1} << 30;  // 1 GiB

// Output: where a command's result goes.
// - "-": standard output, which must be open.
// - a regular file, new or existing, through any symlinks: written to an
//   unnamed temporary in the final file's folder and put in its place by
//   commit(), keeping an existing file's mode (and owner, where allowed);
//   other hard links keep the old content. A command that fails, or is
//   interrupted, leaves the old file as it was and no temporary file.
// - anything else (a device, a FIFO, /dev/fd/N, a terminal): written
//   straight through.
// Secret outputs are mode 0600 whatever existed. Every write and the final
// close are checked.
class Output {
 public:
  enum Kind { kPublic, kSecret };
  explicit Output(const std::string& path, Kind kind = kPublic);
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  void write(const void* data, size_t size);
  void write(const std::string& text) { write(text.data(), text.size()); }
  void commit();

 private:
  std::string shown_;         // the path as the user gave it
  std::string target_;        // the regular file replaced by commit()
  std::string named_temp_;    // a temporary with a name (fallback)
  int fd_ = -1;
  bool replaces_ = false, unnamed_ = false, committed_ = false;
};

// exists: whether the path names anything (a dangling symlink included).
bool exists(const std::string& path);

// read_key: a key file of exactly `size` bytes in any format the tool
// writes: raw bytes, hex text or Base64 text (standard alphabet). Errors
// name the file and what is wrong, never its content.
SecretBytes read_key(const std::string& path, size_t size, const std::string& what);

// key_text: a key written as hex or Base64 text with a final newline, in
// wiped memory.
SecretBytes key_text(const SecretBytes& key, bool base64);

// hex_argument: the bytes of a hex command-line argument (--key-hex ...);
// errors name the option and the position, never the digits.
SecretBytes hex_argument(const std::string& hex, size_t size, const std::string& what);

// base64 through the module's helpers (standard alphabet for decoding).
std::string base64(const unsigned char* data, size_t size, const char* alphabet);
// unbase64: a refused text is reported by a short prefix and its length.
Bytes unbase64(const std::string& text, const std::string& what);

// console_of: what a helper printed on standard output while fn ran (its
// first 4 KiB), kept off the tool's own output.
template <typename Fn>
std::string console_of(Fn fn);

class Capture {
 public:
  Capture();
  ~Capture();
  std::string finish();

 private:
  int saved_ = -1, file_ = -1;
  bool done_ = false;
};

template <typename Fn>
std::string console_of(Fn fn) {
  Capture capture;
  fn();
  return capture.finish();
}

}  // namespace cli

#endif  // RAWCRYPT_TOOLS_CLI_IO_H
