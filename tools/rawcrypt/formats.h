// What commands read and write beside their streams: values in the format
// --format names (hex, Base64 or raw bytes), signature files, keys given as
// a file, in hex or in a token, public points, and the device's 32-bit lengths.
// Touches only the files it is given.
#ifndef RAWCRYPT_TOOLS_RAWCRYPT_FORMATS_H
#define RAWCRYPT_TOOLS_RAWCRYPT_FORMATS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "host/keys.h"
#include "tools/rawcrypt/args.h"
#include "tools/rawcrypt/outputs.h"
#include "tools/rawcrypt/token_key.h"

namespace cli {

using host::Bytes;
using host::RawKeyPair;

enum class Format { kHex, kBase64, kRaw, kAuto };

// format_of: --format, or `fallback` without it; auto only where allowed.
Format format_of(const Args& args, const std::string& fallback, bool allow_auto = false);

// write_value / write_secret: a value as hex or Base64 text with a line
// end, or as its bytes; a secret's text stays in wiped memory.
void write_value(Output& out, const Bytes& value, Format format);
void write_secret(Output& out, const SecretBytes& value, Format format);

// read_signature: a signature file: 64 raw bytes, 128 hex digits or 88
// Base64 characters (with kAuto, told apart by their length).
Bytes read_signature(const std::string& path, Format format);

// token_key: the key in a token that --key names, or null for a key file.
std::unique_ptr<TokenKey> token_key(const Args& args, TokenKey::Use use);

// key_bytes: the key of option `name` (a file) or `name`-hex, of `size` bytes.
SecretBytes key_bytes(const Args& args, const std::string& name, size_t size, const std::string& what);

// public_point: X and Y from --pub PREFIX, or --x and --y.
void public_point(const Args& args, Bytes* x, Bytes* y);

// key_pair_of: the key pair of a private scalar, which must be in [1, n-1].
RawKeyPair key_pair_of(const SecretBytes& d);

// device_length: a size as the helpers take it, at most 4 GiB - 1.
uint32_t device_length(size_t size);

}  // namespace cli

#endif  // RAWCRYPT_TOOLS_RAWCRYPT_FORMATS_H
