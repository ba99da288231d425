// Base64 text through the module's own helpers, as the device writes and
// judges it. Touches nothing but the helpers' console (caught).
#ifndef RAWCRYPT_TOOLS_RAWCRYPT_BASE64_TEXT_H
#define RAWCRYPT_TOOLS_RAWCRYPT_BASE64_TEXT_H

#include <cstddef>
#include <string>

#include "host/bytes.h"

namespace cli {

// base64: the text of `size` bytes in the alphabet's 64 characters.
std::string base64(const unsigned char* data, size_t size, const char* alphabet);
// unbase64: the bytes of a standard Base64 text; a text the device refuses
// is reported by a short prefix and its length.
host::Bytes unbase64(const std::string& text, const std::string& what);

}  // namespace cli

#endif  // RAWCRYPT_TOOLS_RAWCRYPT_BASE64_TEXT_H
