#include "tools/cli_io.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "helpers/encrypt.h"

namespace cli {

const char kStandardAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

static std::string system_error(const std::string& what) { return what + ": " + strerror(errno); }

Input::Input(const std::string& path) {
  int fd = path == "-" ? 0 : open(path.c_str(), O_RDONLY);
  if (fd < 0) throw Failure(system_error("cannot read " + path));
  struct stat st;
  if (fd != 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    size_ = static_cast<size_t>(st.st_size);
    mapping_ = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    if (mapping_ != MAP_FAILED) {
      data_ = static_cast<const unsigned char*>(mapping_);
      close(fd);
      return;
    }
    mapping_ = nullptr;
  }
  unsigned char chunk[1 << 16];
  for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      std::string err = system_error("cannot read " + path);
      if (fd != 0) close(fd);
      throw Failure(err);
    }
    buffer_.insert(buffer_.end(), chunk, chunk + n);
  }
  if (fd != 0) close(fd);
  data_ = buffer_.data();
  size_ = buffer_.size();
}

Input::~Input() {
  if (mapping_ != nullptr) munmap(mapping_, size_);
}

Output::Output(const std::string& path, bool secret) : path_(path) {
  if (path == "-") return;
  temp_ = path + ".tmp-XXXXXX";
  fd_ = mkstemp(temp_.data());  // mode 0600
  if (fd_ < 0) throw Failure(system_error("cannot write " + path));
  if (!secret) {
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd_, 0666 & ~mask);
  }
}

Output::~Output() {
  if (fd_ > 1) close(fd_);
  if (!committed_ && !temp_.empty()) unlink(temp_.c_str());
}

void Output::write(const void* data, size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd_, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw Failure(system_error("cannot write " + path_));
    p += n;
    size -= static_cast<size_t>(n);
  }
}

void Output::commit() {
  if (temp_.empty()) return;
  if (fsync(fd_) != 0 || close(fd_) != 0) {
    fd_ = -1;
    throw Failure(system_error("cannot write " + path_));
  }
  fd_ = -1;
  if (rename(temp_.c_str(), path_.c_str()) != 0) throw Failure(system_error("cannot write " + path_));
  committed_ = true;
}

SecretBytes::~SecretBytes() {
  if (!empty()) OPENSSL_cleanse(data(), size());
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

static int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

SecretBytes from_hex(const std::string& hex, const std::string& what) {
  SecretBytes out;
  int high = -1;
  for (char c : hex) {
    if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
    int v = hex_value(c);
    if (v < 0) throw Failure(what + ": bad hex character '" + std::string(1, c) + "'");
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<unsigned char>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0) throw Failure(what + ": odd number of hex digits");
  return out;
}

SecretBytes read_fixed(const std::string& path, size_t size, const std::string& what) {
  Input in(path);
  if (in.size() == size) {
    bool all_hex = true;  // 32 raw bytes that happen to be hex text stand for 16
    for (size_t i = 0; i < in.size() && all_hex; ++i) all_hex = hex_value(in.data()[i]) >= 0;
    if (!all_hex || size % 2 != 0) return SecretBytes(in.data(), in.data() + in.size());
  }
  std::string text(reinterpret_cast<const char*>(in.data()), in.size());
  SecretBytes bytes = from_hex(text, what + " (" + path + ")");
  OPENSSL_cleanse(text.data(), text.size());
  if (bytes.size() != size)
    throw Failure(what + " (" + path + ") must be " + std::to_string(size) + " bytes, found " +
                  std::to_string(bytes.size()) + (in.size() == bytes.size() * 2 ? " (as hex)" : ""));
  return bytes;
}

std::string base64(const unsigned char* data, size_t size, const char* alphabet) {
  if (size > 0x7fffffffu / 4 * 3) throw Failure("input too large to encode at once");
  std::string text(4 * ((size + 2) / 3) + 1, '\0');
  const unsigned char none = 0;
  base64_encode(size ? data : &none, static_cast<int32_t>(size), alphabet, text.data());
  text.pop_back();
  return text;
}

Bytes unbase64(const std::string& text, const std::string& what) {
  Bytes out(3 * text.size() / 4 + 1);
  int32_t length = 0;
  int result = 0;
  std::string line = console_of([&] { result = base64_decode(text.c_str(), &length, out.data()); });
  if (result != 0) throw Failure(what + ": refused as the device refuses it: " + line);
  out.resize(static_cast<size_t>(length));
  return out;
}

int begin_capture(int* capture_fd) {
  fflush(stdout);
  FILE* tmp = tmpfile();
  if (tmp == nullptr) throw Failure(system_error("cannot capture the console"));
  *capture_fd = dup(fileno(tmp));
  fclose(tmp);
  int saved = dup(1);
  dup2(*capture_fd, 1);
  return saved;
}

std::string end_capture(int saved_fd, int capture_fd) {
  fflush(stdout);
  dup2(saved_fd, 1);
  close(saved_fd);
  std::string text;
  lseek(capture_fd, 0, SEEK_SET);
  char chunk[4096];
  for (ssize_t n; (n = read(capture_fd, chunk, sizeof chunk)) > 0;) text.append(chunk, n);
  close(capture_fd);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace cli
