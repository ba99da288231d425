// Base64 text through base64_encode and base64_decode.
#include "tools/rawcrypt/base64_text.h"

#include <cstdio>

#include "helpers/encrypt.h"
#include "tools/rawcrypt/console.h"
#include "tools/rawcrypt/failure.h"

namespace cli {

std::string base64(const unsigned char* data, size_t size, const char* alphabet) {
  if (size > 0x7fffffffu / 4 * 3) throw Failure("input too large to encode at once");
  std::string text(4 * ((size + 2) / 3) + 1, '\0');
  const unsigned char none = 0;
  base64_encode(size ? data : &none, static_cast<int32_t>(size), alphabet, text.data());
  text.pop_back();
  return text;
}

host::Bytes unbase64(const std::string& text, const std::string& what) {
  host::Bytes out(3 * text.size() / 4 + 1);
  int32_t length = 0;
  int result = 0;
  const std::string line = console_of([&] { result = base64_decode(text.c_str(), &length, out.data()); });
  if (result != 0) {
    // The device's line quotes the whole text; a short prefix and the length say as much.
    std::string shown;
    for (size_t i = 0; i < text.size() && i < 32; ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      char escaped[8];
      snprintf(escaped, sizeof escaped, c >= 0x20 && c < 0x7f ? "%c" : "\\x%02x", c);
      shown += escaped;
    }
    const bool lone = line.rfind("invalid base64 encoded str", 0) == 0;
    throw Failure(what + " refused as the device refuses it (" +
                  (lone ? "one lone character after the last group" : "not base64 encoded") + "): \"" + shown +
                  (text.size() > 32 ? "...\"" : "\"") + ", " + std::to_string(text.size()) + " characters");
  }
  out.resize(static_cast<size_t>(length));
  return out;
}

}  // namespace cli
