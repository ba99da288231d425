// Key files, keys as text, hex arguments and PINs.
#include "tools/rawcrypt/key_files.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include "helpers/encrypt.h"
#include "host/keys.h"
#include "tools/rawcrypt/failure.h"
#include "tools/rawcrypt/inputs.h"
#include "tools/rawcrypt/process.h"

namespace cli {

SecretBytes read_key(const std::string& path, size_t size, const std::string& what) {
  const std::string where = what + " (" + (path == "-" ? std::string("standard input") : printable(path)) + ")";
  constexpr size_t kMaxKeyFile = 4096;
  Input in(path);
  SecretBytes file(kMaxKeyFile + 1);  // reserved up front: never grows, never copied
  const size_t got = in.read(file.data(), kMaxKeyFile + 1);
  if (got > kMaxKeyFile) throw Failure(where + " is larger than the 4 KiB the tool holds for a key");
  file.resize(got);
  if (got == size) return file;  // raw bytes
  size_t end = got;  // text: a final newline (or spaces) is not part of it
  while (end > 0 && (file[end - 1] == '\n' || file[end - 1] == '\r' || file[end - 1] == ' ')) --end;
  const size_t hex_length = 2 * size, base64_length = 4 * ((size + 2) / 3);
  bool all_hex = end > 0;
  for (size_t i = 0; i < end && all_hex; ++i) all_hex = host::is_hex_digit(file[i]);
  if (end == hex_length || (all_hex && end != base64_length)) {
    SecretBytes bytes;
    try {
      bytes = host::from_hex(reinterpret_cast<const char*>(file.data()), end);
    } catch (const std::invalid_argument& e) {
      throw Failure(where + " is not hex: " + e.what());
    }
    if (bytes.size() == size) return bytes;
    throw Failure(where + " must be " + std::to_string(size) + " bytes, found " + std::to_string(bytes.size()) +
                  " as hex");
  }
  if (end == base64_length) {  // Base64 of exactly `size` bytes
    // Checked here first, so that the helper never refuses the text and
    // never quotes the key on its console.
    const size_t padding = (3 - size % 3) % 3;
    bool well_formed = true;
    for (size_t i = 0; i < end && well_formed; ++i) {
      const unsigned char c = file[i];
      well_formed = i < end - padding ? c != '=' && strchr(host::kStandardAlphabet, c) != nullptr && c != '\0'
                                      : c == '=';
    }
    if (!well_formed) throw Failure(where + " is not Base64 of " + std::to_string(size) + " bytes");
    SecretBytes text(end + 1);  // NUL-terminated for the helper
    memcpy(text.data(), file.data(), end);
    SecretBytes bytes(3 * end / 4);
    int32_t length = 0;
    base64_decode(reinterpret_cast<const char*>(text.data()), &length, bytes.data());
    bytes.resize(size);
    return bytes;
  }
  throw Failure(where + " must be " + std::to_string(size) + " bytes (raw, " + std::to_string(hex_length) +
                " hex digits or " + std::to_string(base64_length) + " Base64 characters), found a file of " +
                std::to_string(got) + " bytes");
}

SecretBytes key_text(const SecretBytes& key, bool base64_form) {
  SecretBytes text;
  if (base64_form) {
    text.resize(4 * ((key.size() + 2) / 3) + 1);
    base64_encode(key.data(), static_cast<int32_t>(key.size()), host::kStandardAlphabet,
                  reinterpret_cast<char*>(text.data()));
    text[text.size() - 1] = '\n';  // over the terminator
  } else {
    static const char digits[] = "0123456789abcdef";
    text.reserve(2 * key.size() + 1);
    for (unsigned char b : key) {
      text.push_back(static_cast<unsigned char>(digits[b >> 4]));
      text.push_back(static_cast<unsigned char>(digits[b & 15]));
    }
    text.push_back('\n');
  }
  return text;
}

SecretBytes hex_argument(const SecretBytes& hex, size_t size, const std::string& what) {
  SecretBytes bytes;
  try {
    bytes = host::from_hex(reinterpret_cast<const char*>(hex.data()), hex.size());
  } catch (const std::invalid_argument& e) {
    throw Failure(what + ": " + e.what());
  }
  if (bytes.size() != size)
    throw Failure(what + " must be " + std::to_string(size) + " bytes, found " + std::to_string(bytes.size()));
  return bytes;
}

SecretBytes read_pin_file(const std::string& path, size_t longest) {
  Input in(path);
  // Refused as an open private key is: a PIN others may read is no secret.
  struct stat st;
  if (fstat(in.fd(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode)) && (st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    throw Failure("the PIN file " + in.name() + " has mode " + mode + ": other users may read it (make it 0600)");
  }
  SecretBytes pin(longest + 1);
  pin.resize(in.read(pin.data(), pin.size()));
  return pin;
}

SecretBytes type_pin(const std::string& token, size_t longest) {
  claim_stdin("the PIN prompt");
  const QuietTerminal quiet;
  if (!quiet.ok()) throw Failure("cannot ask for the PIN of token " + token);
  std::fprintf(stderr, "PIN for token %s: ", token.c_str());
  std::fflush(stderr);
  SecretBytes pin;
  pin.reserve(longest + 1);
  unsigned char c = 0;
  while (::read(0, &c, 1) == 1 && c != '\n' && pin.size() <= longest) pin.push_back(c);
  OPENSSL_cleanse(&c, sizeof c);
  std::fputc('\n', stderr);
  if (!pin.empty() && pin[pin.size() - 1] == '\r') pin.resize(pin.size() - 1);
  if (pin.size() > longest) throw Failure("the PIN typed for token " + token + " is too long");
  return pin;
}

}  // namespace cli
