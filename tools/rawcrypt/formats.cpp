// Values in their formats, signature files, keys from files or hex, points.
#include "tools/rawcrypt/formats.h"

#include <algorithm>
#include <stdexcept>

#include "tools/rawcrypt/base64_text.h"
#include "tools/rawcrypt/failure.h"
#include "tools/rawcrypt/inputs.h"
#include "tools/rawcrypt/key_files.h"
#include "tools/rawcrypt/uri_words.h"

namespace cli {

Format format_of(const Args& args, const std::string& fallback, bool allow_auto) {
  const std::string f = args.get("--format", fallback);
  if (f == "hex") return Format::kHex;
  if (f == "base64") return Format::kBase64;
  if (f == "raw") return Format::kRaw;
  if (f == "auto" && allow_auto) return Format::kAuto;
  throw Failure("--format must be hex, base64 or raw" + std::string(allow_auto ? " or auto" : ""), kUsage);
}

void write_value(Output& out, const Bytes& value, Format format) {
  if (format == Format::kRaw)
    out.write(value.data(), value.size());
  else
    out.write((format == Format::kHex ? host::to_hex(value) : base64(value.data(), value.size(), host::kStandardAlphabet)) + "\n");
}

void write_secret(Output& out, const SecretBytes& value, Format format) {
  if (format == Format::kRaw) {
    out.write(value.data(), value.size());
  } else {
    const SecretBytes text = key_text(value, format == Format::kBase64);
    out.write(text.data(), text.size());
  }
}

Bytes read_signature(const std::string& path, Format format) {
  const std::string where = "signature (" + printable(path) + ")";
  Held in(path, 4096, "signature");
  std::string text(reinterpret_cast<const char*>(in.data()), in.size());
  auto trimmed = [&] {
    std::string t = text;
    t.erase(std::remove_if(t.begin(), t.end(), [](char c) { return c == '\n' || c == '\r' || c == ' '; }),
            t.end());
    return t;
  };
  if (format == Format::kAuto) {
    std::string t = trimmed();
    bool hex = t.size() == 128 && t.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    format = hex ? Format::kHex : t.size() == 88 ? Format::kBase64 : Format::kRaw;
  }
  Bytes sig;
  if (format == Format::kRaw) {
    sig.assign(in.data(), in.data() + in.size());
  } else if (format == Format::kHex) {
    try {
      const SecretBytes b = host::from_hex(trimmed());
      sig.assign(b.begin(), b.end());
    } catch (const std::invalid_argument& e) {
      throw Failure(where + ": " + e.what());
    }
  } else {
    sig = unbase64(trimmed(), where);
  }
  if (sig.size() != 64) throw Failure(where + " must be 64 bytes, found " + std::to_string(sig.size()));
  return sig;
}

std::unique_ptr<TokenKey> token_key(const Args& args, TokenKey::Use use) {
  if (!is_pkcs11_uri(args.get("--key"))) return nullptr;
  return std::make_unique<TokenKey>(args.take("--key"), use);
}

SecretBytes key_bytes(const Args& args, const std::string& name, size_t size, const std::string& what) {
  if (args.has(name + "-hex")) return hex_argument(args.take(name + "-hex"), size, what);
  if (!args.has(name)) throw Failure(name + " or " + name + "-hex is required (see --help)", kUsage);
  return read_key(args.get(name), size, what);
}

void public_point(const Args& args, Bytes* x, Bytes* y) {
  std::string xs = args.get("--x"), ys = args.get("--y");
  if (args.has("--pub")) {
    xs = args.get("--pub") + ".x";
    ys = args.get("--pub") + ".y";
  }
  if (xs.empty() || ys.empty()) throw Failure("--pub PREFIX or --x and --y are required", kUsage);
  const SecretBytes bx = read_key(xs, 32, "public x"), by = read_key(ys, 32, "public y");
  x->assign(bx.begin(), bx.end());
  y->assign(by.begin(), by.end());
}

uint32_t device_length(size_t size) {
  if (size > 0xffffffffu) throw Failure("input of " + std::to_string(size) + " bytes is beyond the device's 32-bit lengths");
  return static_cast<uint32_t>(size);
}

RawKeyPair key_pair_of(const SecretBytes& d) {
  try {
    return host::public_of(d.data());
  } catch (const std::invalid_argument& e) {
    throw Failure(std::string("private key: ") + e.what());
  }
}

}  // namespace cli
