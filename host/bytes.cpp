#include "host/bytes.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace host {

SecretBytes::SecretBytes(const unsigned char* begin, const unsigned char* end) {
  reserve(static_cast<size_t>(end - begin));
  for (const unsigned char* p = begin; p != end; ++p) push_back(*p);
}

SecretBytes::SecretBytes(const SecretBytes& other) : SecretBytes(other.begin(), other.end()) {}

SecretBytes& SecretBytes::operator=(const SecretBytes& other) {
  if (this != &other) {
    SecretBytes copy(other);
    *this = std::move(copy);
  }
  return *this;
}

SecretBytes::SecretBytes(SecretBytes&& other) noexcept
    : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
  other.data_ = nullptr;
  other.size_ = other.capacity_ = 0;
}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
  if (this != &other) {
    this->~SecretBytes();
    data_ = other.data_;
    size_ = other.size_;
    capacity_ = other.capacity_;
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
  }
  return *this;
}

SecretBytes::~SecretBytes() {
  if (data_ != nullptr) {
    OPENSSL_cleanse(data_, capacity_);
    std::free(data_);
  }
  data_ = nullptr;
  size_ = capacity_ = 0;
}

bool SecretBytes::operator==(const SecretBytes& other) const {
  return size_ == other.size_ && (size_ == 0 || std::memcmp(data_, other.data_, size_) == 0);
}

void SecretBytes::reserve(size_t capacity) {
  if (capacity <= capacity_) return;
  auto* grown = static_cast<unsigned char*>(std::calloc(capacity, 1));
  if (grown == nullptr) throw std::bad_alloc();
  if (data_ != nullptr) {
    std::memcpy(grown, data_, size_);
    OPENSSL_cleanse(data_, capacity_);
    std::free(data_);
  }
  data_ = grown;
  capacity_ = capacity;
}

void SecretBytes::resize(size_t size) {
  reserve(size);
  if (size > size_) std::memset(data_ + size_, 0, size - size_);
  else if (size < size_) OPENSSL_cleanse(data_ + size, size_ - size);
  size_ = size;
}

void SecretBytes::push_back(unsigned char byte) {
  if (size_ == capacity_) reserve(capacity_ < 16 ? 32 : 2 * capacity_);
  data_[size_++] = byte;
}

void SecretBytes::clear() {
  if (data_ != nullptr) OPENSSL_cleanse(data_, capacity_);
  size_ = 0;
}

std::string to_hex(const unsigned char* data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out(2 * size, '0');
  for (size_t i = 0; i < size; ++i) {
    out[2 * i] = digits[data[i] >> 4];
    out[2 * i + 1] = digits[data[i] & 15];
  }
  return out;
}

bool is_hex_digit(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

static int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

SecretBytes from_hex(const char* text, size_t size) {
  SecretBytes out;
  out.reserve(size / 2);  // no growth, so no copy left behind
  int high = -1;
  for (size_t i = 0; i < size; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
    const int v = hex_value(c);
    if (v < 0) throw std::invalid_argument("not a hex digit at byte " + std::to_string(i + 1));
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<unsigned char>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd number of hex digits");
  return out;
}

}  // namespace host
