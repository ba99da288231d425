// Byte strings on the host: plain ones, secret ones that are wiped when they
// go, and hex text. Shared by the tool and the tests; never in the module.
#ifndef RAWCRYPT_HOST_BYTES_H
#define RAWCRYPT_HOST_BYTES_H

#include <cstddef>
#include <string>
#include <vector>

namespace host {

using Bytes = std::vector<unsigned char>;

// SecretBytes: key material. Its storage is reserved up front where the size
// is known, and wiped whenever it goes: destruction, and every reallocation
// (so growing one never leaves a copy behind in freed memory).
class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(size_t size) { resize(size); }
  SecretBytes(const unsigned char* begin, const unsigned char* end);
  SecretBytes(const SecretBytes& other);
  SecretBytes& operator=(const SecretBytes& other);
  SecretBytes(SecretBytes&& other) noexcept;
  SecretBytes& operator=(SecretBytes&& other) noexcept;
  ~SecretBytes();

  unsigned char* data() { return data_; }
  const unsigned char* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  unsigned char* begin() { return data_; }
  unsigned char* end() { return data_ + size_; }
  const unsigned char* begin() const { return data_; }
  const unsigned char* end() const { return data_ + size_; }
  unsigned char& operator[](size_t i) { return data_[i]; }
  unsigned char operator[](size_t i) const { return data_[i]; }
  bool operator==(const SecretBytes& other) const;

  void reserve(size_t capacity);
  void resize(size_t size);  // new bytes are zero
  void push_back(unsigned char byte);
  void clear();              // wipes; keeps the storage

 private:
  unsigned char* data_ = nullptr;
  size_t size_ = 0, capacity_ = 0;
};

// to_hex: lower-case hex of the bytes.
std::string to_hex(const unsigned char* data, size_t size);
inline std::string to_hex(const Bytes& b) { return to_hex(b.data(), b.size()); }
inline std::string to_hex(const SecretBytes& b) { return to_hex(b.data(), b.size()); }

// from_hex: the bytes of hex text; spaces, tabs and line ends are skipped.
// Throws std::invalid_argument naming the position of a bad character or an
// odd count, never the character itself (the text may be a key).
SecretBytes from_hex(const char* text, size_t size);
inline SecretBytes from_hex(const std::string& text) { return from_hex(text.data(), text.size()); }

// is_hex_digit: whether c is 0-9, a-f or A-F.
bool is_hex_digit(unsigned char c);

}  // namespace host

#endif  // RAWCRYPT_HOST_BYTES_H
