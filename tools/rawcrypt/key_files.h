// Keys as the tool reads and writes them: key files of raw bytes, hex text
// or Base64 text, hex given on the command line, and the PINs of tokens,
// from a file or typed on the terminal. Every error names the file or the
// option and what is wrong, never a byte of the secret; secrets live in
// wiped memory. Touches only the files it reads, and the terminal that is
// standard input while a PIN is typed.
#ifndef RAWCRYPT_TOOLS_RAWCRYPT_KEY_FILES_H
#define RAWCRYPT_TOOLS_RAWCRYPT_KEY_FILES_H

#include <cstddef>
#include <string>

#include "host/bytes.h"

namespace cli {

using host::SecretBytes;

// read_key: a key file of exactly `size` bytes in any format the tool
// writes: raw bytes, hex text or Base64 text (standard alphabet).
SecretBytes read_key(const std::string& path, size_t size, const std::string& what);

// key_text: a key written as hex or Base64 text with a final newline, in
// wiped memory.
SecretBytes key_text(const SecretBytes& key, bool base64);

// hex_argument: the bytes of a hex command-line argument (--key-hex ...);
// errors name the option and the position, never the digits.
SecretBytes hex_argument(const SecretBytes& hex, size_t size, const std::string& what);

// read_pin_file: what a PIN file holds, read to its end but at most
// `longest` + 1 bytes (more is no PIN), as it stands. A file (or a FIFO)
// that other users may read or write is refused, naming its mode.
SecretBytes read_pin_file(const std::string& path, size_t longest);

// type_pin: the PIN of the token shown as `token`, typed on the terminal
// that is standard input without echo; at most `longest` bytes.
SecretBytes type_pin(const std::string& token, size_t longest);

}  // namespace cli

#endif  // RAWCRYPT_TOOLS_RAWCRYPT_KEY_FILES_H
