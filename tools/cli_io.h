// Files and streams for the host tool: inputs mapped rather than copied,
// outputs written whole or not at all, keys in hex or raw bytes and wiped
// after use, and the helpers' console lines caught for stderr.
#ifndef RAWCRYPT_TOOLS_CLI_IO_H
#define RAWCRYPT_TOOLS_CLI_IO_H

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace cli {

using Bytes = std::vector<unsigned char>;

// A problem to report on one line of stderr; exit code 1 (2 for usage).
struct Failure : std::runtime_error {
  explicit Failure(const std::string& what, int code = 1) : std::runtime_error(what), exit_code(code) {}
  int exit_code;
};

// Input: a whole file (mapped when it is a regular file) or standard input
// ("-"), read once.
class Input {
 public:
  explicit Input(const std::string& path);
  ~Input();
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;
  const unsigned char* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  const unsigned char* data_ = nullptr;
  size_t size_ = 0;
  void* mapping_ = nullptr;
  Bytes buffer_;
};

// Output: standard output ("-"), or a file written through a temporary file
// beside it and renamed into place by commit(); a failed command leaves no
// file, not even a partial one. Secret outputs get mode 0600.
class Output {
 public:
  Output(const std::string& path, bool secret = false);
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  void write(const void* data, size_t size);
  void write(const std::string& text) { write(text.data(), text.size()); }
  void commit();

 private:
  std::string path_, temp_;
  int fd_ = 1;
  bool committed_ = false;
};

// SecretBytes: bytes that are wiped when they go.
struct SecretBytes : Bytes {
  using Bytes::Bytes;
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes(SecretBytes&&) = default;
  ~SecretBytes();
};

std::string to_hex(const unsigned char* data, size_t size);
inline std::string to_hex(const Bytes& b) { return to_hex(b.data(), b.size()); }
// from_hex: the bytes of a hex string (whitespace ignored); what names it in errors.
SecretBytes from_hex(const std::string& hex, const std::string& what);

// read_fixed: a file holding exactly `size` bytes, raw or as hex text.
SecretBytes read_fixed(const std::string& path, size_t size, const std::string& what);

// base64 through the module's helpers (standard alphabet for decoding).
std::string base64(const unsigned char* data, size_t size, const char* alphabet);
Bytes unbase64(const std::string& text, const std::string& what);

extern const char kStandardAlphabet[];

// console_of: what a helper printed on standard output while fn ran, kept
// off the tool's own output.
template <typename Fn>
std::string console_of(Fn fn);
std::string end_capture(int saved_fd, int capture_fd);
int begin_capture(int* capture_fd);

template <typename Fn>
std::string console_of(Fn fn) {
  int capture_fd = -1;
  int saved = begin_capture(&capture_fd);
  fn();
  return end_capture(saved, capture_fd);
}

}  // namespace cli

#endif  // RAWCRYPT_TOOLS_CLI_IO_H
