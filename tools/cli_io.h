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

// start: call first, before the tool opens anything. It records the
// descriptors the caller left open (only those may be named as
// /dev/fd/N); holds a closed standard stream with /dev/null, opened for the
// other direction, so that no file the tool opens takes its number and the
// stream still fails as closed; keeps keys out of core dumps; and takes
// over every signal that would end the tool and is still at its default:
// each removes the named temporary outputs before the tool dies, and waits
// while a temporary is named or outputs are put in place. Signals ignored
// at start stay ignored; SIGPIPE is ignored, so that a closed reader is a
// write error; SIGBUS from a mapped input that shrank ends the tool with a
// clear message and `shrink_exit_code` instead of a crash.
void start(int shrink_exit_code);

// claim_stdin: standard input serves one input per command; a second claim
// ("--key -" with the message on standard input too) is a usage error.
void claim_stdin(const std::string& what);

// QuietTerminal: the terminal that is standard input without echo while it
// lives (a PIN is typed); a signal that ends the tool meanwhile turns the
// echo back on first. ok(): standard input is a terminal.
class QuietTerminal {
 public:
  QuietTerminal();
  ~QuietTerminal();
  QuietTerminal(const QuietTerminal&) = delete;
  QuietTerminal& operator=(const QuietTerminal&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

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

// Output: where a command's result goes.
// - "-" (that name only): standard output, which must be open.
// - any path that names one of the caller's descriptors through /proc
//   (/dev/stdout, /dev/fd/N, /proc/self/fd/N, a symlink to one, ...):
//   written through a duplicate of it, at its offset and with its flags.
//   The descriptor must have been open when the tool started; another
//   process's descriptor of a regular file is refused (name the file).
// - a regular file, new or existing, through any symlinks: written to a
//   temporary in the final file's folder (unnamed where the filesystem and
//   /proc allow) and put in its place by commit(), keeping an existing
//   file's mode (and owner and group, where the user may set them); other
//   hard links keep the old content. A command that fails, or is ended by a
//   signal, leaves the old file as it was and no temporary file (at most an
//   empty one, in a folder where files cannot be removed).
// - anything else (a device, a FIFO, a terminal): written straight through.
// Symlinks are followed one at a time from the opened folders, each judged
// by the kernel too (protected_symlinks), so names stay short however deep
// the folder. Secret outputs are mode 0600 whatever existed. Every write is
// checked, and the fsync of a replacing file or the close of any other.
class Output;

// commit_together: outputs that belong together (a key and its public
// halves) are all put in place, or on any failure none is: each keeps its
// old file whole. Without `replace_existing`, an existing file fails the
// commit instead. Two outputs that lead to one file are refused. While one
// is replaced, its old file is kept as NAME.old-N, removed at the end: only
// a hard kill (SIGKILL, a power cut) leaves it, and renaming it back
// restores the old file.
void commit_together(std::initializer_list<Output*> outputs, bool replace_existing = true);

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
  friend void commit_together(std::initializer_list<Output*> outputs, bool replace_existing);
  void stage();  // written, synced, and named in the target's folder
  void drop_temp();

  std::string shown_;         // the path as the user gave it
  int dir_ = -1;              // the folder of the regular file commit() replaces
  std::string name_;          // that file's name in it
  std::string named_temp_;    // the temporary's name there, once it has one
  int fd_ = -1;
  int slot_ = -1;             // of named_temp_ among those a signal removes
  bool standard_ = false, replaces_ = false, unnamed_ = false;
};

// FolderLock: an exclusive lock on the folder of `path`, held until it is
// destroyed, so that two commands writing one set of files take turns.
class FolderLock {
 public:
  explicit FolderLock(const std::string& path);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int fd_ = -1;
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
  int saved_ = -1, pipe_ = -1;
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
