// Files and streams for the host tool: inputs streamed or held without
// copies, outputs that replace a file whole or not at all (or write straight
// to a device, a pipe or a terminal), key files read into wiped memory, and
// the helpers' console lines caught for stderr.
#ifndef RAWCRYPT_TOOLS_CLI_IO_H
#define RAWCRYPT_TOOLS_CLI_IO_H

#include <cstddef>
#include <initializer_list>
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

// hold_standard_streams: a closed standard stream is held by /dev/null,
// opened for the other direction, so that no file the tool opens takes its
// number and the stream still fails as closed. Call first.
void hold_standard_streams();

// install_signal_cleanup: SIGINT, SIGTERM and SIGHUP remove every named
// temporary output before the tool dies (a signal ignored at start stays
// ignored); SIGBUS (a mapped input that shrank) ends the tool with a clear
// message and `shrink_exit_code` instead of a crash. Call once, early.
void install_signal_cleanup(int shrink_exit_code);

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
  bool standard_ = false;
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
// - "-" (that name only): standard output, which must be open.
// - /dev/fd/N, /proc/self/fd/N, /dev/stdout, /dev/stderr: written through a
//   duplicate of that descriptor, at its offset and with its flags.
// - a regular file, new or existing, through any symlinks: written to a
//   temporary in the final file's folder (unnamed where the filesystem and
//   /proc allow) and put in its place by commit(), keeping an existing
//   file's mode (and owner, where allowed); other hard links keep the old
//   content. A command that fails, or is interrupted, leaves the old file as
//   it was and no temporary file.
// - anything else (a device, a FIFO, a terminal): written straight through.
// Secret outputs are mode 0600 whatever existed. Every write and the final
// close are checked.
class Output;

// commit_together: outputs that belong together (a key and its public
// halves) are all replaced, or on any failure none is: each keeps its old
// file whole.
void commit_together(std::initializer_list<Output*> outputs);

class Output {
 public:
  enum Kind { kPublic, kSecret };
  explicit Output(const std::string& path, Kind kind = kPublic);
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  void write(const void* data, size_t size);
  void write(const std::string& text) { write(text.data(), text.size()); }
  void commit() { commit_together({this}); }

 private:
  friend void commit_together(std::initializer_list<Output*> outputs);
  void stage();  // written, closed, and named in the target's folder
  void drop_temp();

  std::string shown_;         // the path as the user gave it
  std::string target_;        // the regular file replaced by commit()
  std::string named_temp_;    // the temporary's name, once it has one
  int fd_ = -1;
  int slot_ = -1;             // of named_temp_ among those a signal removes
  bool standard_ = false, replaces_ = false, unnamed_ = false;
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
SecretBytes hex_argument(const SecretBytes& hex, size_t size, const std::string& what);

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
