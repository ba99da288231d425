// rawcrypt: the host tool that speaks the device's formats, on the module's
// own helpers (so host and device share one implementation). libcrypto does
// only what the helpers do not: key generation, public points, PEM and DER.
#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "helpers/encrypt.h"
#include "tools/cli_io.h"
#include "tools/cli_keys.h"

namespace cli {
namespace {

constexpr size_t kChunk = 48u << 20;  // a multiple of 3, 8 and 16

// Args: the options of one command, checked against what it takes.
class Args {
 public:
  Args(const std::vector<std::string>& words, const std::set<std::string>& valued,
       const std::set<std::string>& flags) {
    for (size_t i = 0; i < words.size(); ++i) {
      const std::string& w = words[i];
      if (valued.count(w)) {
        if (i + 1 == words.size()) throw Failure(w + " needs a value", 2);
        values_[w] = words[++i];
      } else if (flags.count(w)) {
        flags_.insert(w);
      } else {
        throw Failure("unknown option " + w + " (see --help)", 2);
      }
    }
  }
  bool has(const std::string& name) const { return values_.count(name) || flags_.count(name); }
  std::string get(const std::string& name, const std::string& fallback = "") const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second;
  }
  std::string need(const std::string& name) const {
    if (!values_.count(name)) throw Failure(name + " is required (see --help)", 2);
    return values_.at(name);
  }

 private:
  std::map<std::string, std::string> values_;
  std::set<std::string> flags_;
};

enum class Format { kHex, kBase64, kRaw, kAuto };

Format format_of(const Args& args, const std::string& fallback, bool allow_auto = false) {
  const std::string f = args.get("--format", fallback);
  if (f == "hex") return Format::kHex;
  if (f == "base64") return Format::kBase64;
  if (f == "raw") return Format::kRaw;
  if (f == "auto" && allow_auto) return Format::kAuto;
  throw Failure("--format must be hex, base64 or raw" + std::string(allow_auto ? " or auto" : ""), 2);
}

void write_value(Output& out, const Bytes& value, Format format) {
  if (format == Format::kRaw)
    out.write(value.data(), value.size());
  else
    out.write((format == Format::kHex ? to_hex(value) : base64(value.data(), value.size(), kStandardAlphabet)) + "\n");
}

// A signature file: 64 raw bytes, 128 hex digits or 88 Base64 characters.
Bytes read_signature(const std::string& path, Format format) {
  Input in(path);
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
    SecretBytes b = from_hex(trimmed(), "signature (" + path + ")");
    sig.assign(b.begin(), b.end());
  } else {
    sig = unbase64(trimmed(), "signature (" + path + ")");
  }
  if (sig.size() != 64)
    throw Failure("signature (" + path + ") must be 64 bytes, found " + std::to_string(sig.size()));
  return sig;
}

SecretBytes key_bytes(const Args& args, const std::string& name, size_t size, const std::string& what) {
  if (args.has(name + "-hex")) {
    SecretBytes b = from_hex(args.get(name + "-hex"), what);
    if (b.size() != size)
      throw Failure(what + " must be " + std::to_string(size) + " bytes, found " + std::to_string(b.size()));
    return b;
  }
  if (!args.has(name)) throw Failure(name + " or " + name + "-hex is required (see --help)", 2);
  return read_fixed(args.get(name), size, what);
}

void public_point(const Args& args, Bytes* x, Bytes* y) {
  std::string xs = args.get("--x"), ys = args.get("--y");
  if (args.has("--pub")) {
    xs = args.get("--pub") + ".x";
    ys = args.get("--pub") + ".y";
  }
  if (xs.empty() || ys.empty()) throw Failure("--pub PREFIX or --x and --y are required", 2);
  SecretBytes bx = read_fixed(xs, 32, "public x"), by = read_fixed(ys, 32, "public y");
  x->assign(bx.begin(), bx.end());
  y->assign(by.begin(), by.end());
}

uint32_t device_length(size_t size) {
  if (size > 0xffffffffu) throw Failure("input of " + std::to_string(size) + " bytes is beyond the device's 32-bit lengths");
  return static_cast<uint32_t>(size);
}

// Writes a key pair: PREFIX.key (mode 0600), PREFIX.x and PREFIX.y, or hex
// lines on standard output.
void write_key_pair(const Args& args, const RawKeyPair& key, bool with_private) {
  Format format = format_of(args, "hex");
  if (!args.has("--out")) {
    if (format != Format::kHex) throw Failure("--format raw or base64 needs --out PREFIX", 2);
    Output out("-");
    if (with_private) out.write("private " + to_hex(key.d) + "\n");
    out.write("x " + to_hex(key.x) + "\ny " + to_hex(key.y) + "\n");
    return;
  }
  const std::string prefix = args.get("--out");
  Output x(prefix + ".x"), y(prefix + ".y");
  write_value(x, key.x, format);
  write_value(y, key.y, format);
  if (with_private) {
    Output d(prefix + ".key", true);
    write_value(d, key.d, format);
    d.commit();
  }
  x.commit();
  y.commit();
}

int cmd_keygen(const Args& args) {
  write_key_pair(args, generate_key(), true);
  return 0;
}

int cmd_pubkey(const Args& args) {
  write_key_pair(args, public_of(read_fixed(args.need("--key"), 32, "private key")), false);
  return 0;
}

int cmd_sign(const Args& args) {
  SecretBytes d = read_fixed(args.need("--key"), 32, "private key");
  Format format = format_of(args, "hex");
  Input message(args.get("--in", "-"));
  Bytes sig(64);
  int result = 0;
  std::string lines = console_of(
      [&] { result = ecc_sign(d.data(), message.data(), sig.data(), device_length(message.size())); });
  if (result != 1) throw Failure("signing failed: " + lines);
  Output out(args.get("--out", "-"));
  write_value(out, sig, format);
  out.commit();
  return 0;
}

int cmd_verify(const Args& args) {
  Bytes x, y;
  public_point(args, &x, &y);
  Bytes sig = read_signature(args.need("--sig"), format_of(args, "auto", true));
  Input message(args.get("--in", "-"));
  int result = 0;
  std::string lines = console_of([&] {
    result = ecc_verify(x.data(), y.data(), message.data(), sig.data(), device_length(message.size()));
  });
  if (!lines.empty()) std::fprintf(stderr, "rawcrypt: %s\n", lines.c_str());
  if (result == 1) {
    std::printf("valid\n");
    return 0;
  }
  std::printf("invalid (ecc_verify returned %d)\n", result);
  return 1;
}

// PKCS#7 padding for `block`-byte blocks.
Bytes pad_block(const unsigned char* tail, size_t tail_size, size_t block) {
  Bytes last(tail, tail + tail_size);
  last.resize(block, static_cast<unsigned char>(block - tail_size));
  return last;
}

size_t pad_length(const Bytes& last_block) {
  const size_t n = last_block.back();
  bool ok = n >= 1 && n <= last_block.size();
  for (size_t i = 0; ok && i < n; ++i) ok = last_block[last_block.size() - 1 - i] == n;
  if (!ok) throw Failure("bad padding: the last block does not end in PKCS#7 padding (wrong key or iv?)");
  return n;
}

// Runs a block cipher over the input in chunks, holding back the final block
// when padding is to be removed. chunk_fn(in, length, out) transforms whole
// blocks and carries the chaining itself.
int run_cipher(const Args& args, size_t block, bool encrypt,
               const std::function<void(const unsigned char*, size_t, unsigned char*)>& chunk_fn) {
  const bool pad = args.has("--pad");
  Input in(args.get("--in", "-"));
  const size_t size = in.size();
  if (!(encrypt && pad) && size % block != 0)
    throw Failure("input is " + std::to_string(size) + " bytes, not a whole number of " + std::to_string(block) +
                  "-byte blocks" + (encrypt ? " (--pad adds PKCS#7 padding)" : ""));
  if (!encrypt && pad && size == 0) throw Failure("input is empty: no padding to remove");
  Output out(args.get("--out", "-"));
  const size_t whole = encrypt ? size - size % block : (pad ? size - block : size);
  Bytes buffer(std::min(kChunk, std::max(whole, block)));
  for (size_t done = 0; done < whole;) {
    const size_t n = std::min(kChunk, whole - done);
    chunk_fn(in.data() + done, n, buffer.data());
    out.write(buffer.data(), n);
    done += n;
  }
  if (encrypt && pad) {
    Bytes last = pad_block(in.data() + whole, size - whole, block), sealed(block);
    chunk_fn(last.data(), block, sealed.data());
    out.write(sealed.data(), block);
  } else if (!encrypt && pad) {
    Bytes last(block);
    chunk_fn(in.data() + whole, block, last.data());
    out.write(last.data(), block - pad_length(last));
  }
  out.commit();
  return 0;
}

int cmd_aes(const Args& args, bool encrypt) {
  SecretBytes key = key_bytes(args, "--key", 32, "AES-256 key");
  SecretBytes iv = key_bytes(args, "--iv", 16, "iv");
  return run_cipher(args, 16, encrypt, [&](const unsigned char* in, size_t n, unsigned char* out) {
    // The helpers start from the caller's vector each call; chunks chain
    // through the last ciphertext block.
    unsigned char next_iv[16];
    memcpy(next_iv, in + n - 16, 16);  // decryption chains on the ciphertext read
    (encrypt ? aes_enc : aes_dec)(in, static_cast<uint32_t>(n), key.data(), iv.data(), out);
    if (encrypt) memcpy(next_iv, out + n - 16, 16);  // encryption on the ciphertext written
    memcpy(iv.data(), next_iv, 16);
  });
}

int cmd_des3_decrypt(const Args& args) {
  SecretBytes key = key_bytes(args, "--key", 24, "triple-DES key");
  return run_cipher(args, 8, false, [&](const unsigned char* in, size_t n, unsigned char* out) {
    des3_dec(in, static_cast<uint32_t>(n), key.data(), out);
  });
}

int cmd_base64(const std::vector<std::string>& words) {
  if (words.empty() || (words[0] != "encode" && words[0] != "decode"))
    throw Failure("base64 needs encode or decode (see --help)", 2);
  const bool encode = words[0] == "encode";
  Args args(std::vector<std::string>(words.begin() + 1, words.end()),
            encode ? std::set<std::string>{"--in", "--out", "--alphabet"} : std::set<std::string>{"--in", "--out"},
            {});
  Input in(args.get("--in", "-"));
  Output out(args.get("--out", "-"));
  if (encode) {
    const std::string alphabet = args.get("--alphabet", kStandardAlphabet);
    if (alphabet.size() != 64)
      throw Failure("--alphabet must have 64 characters, found " + std::to_string(alphabet.size()), 2);
    for (char c : alphabet)
      if (std::count(alphabet.begin(), alphabet.end(), c) != 1 || c == '=')
        throw Failure(std::string("--alphabet repeats or pads with '") + c + "'", 2);
    for (size_t done = 0; done < in.size();) {  // groups of three bytes encode alone
      const size_t n = std::min(kChunk, in.size() - done);
      out.write(base64(in.data() + done, n, alphabet.c_str()));
      done += n;
    }
    out.write("\n");
  } else {
    std::string text(reinterpret_cast<const char*>(in.data()), in.size());
    if (!text.empty() && text.back() == '\n') text.pop_back();  // a text file's last line
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.find('\0') != std::string::npos) throw Failure("the text holds a NUL byte");
    Bytes bytes = unbase64(text, "base64 text");
    out.write(bytes.data(), bytes.size());
  }
  out.commit();
  return 0;
}

int cmd_convert(const std::vector<std::string>& words) {
  const std::string what = words.empty() ? "" : words[0];
  Args args(std::vector<std::string>(words.begin() + (words.empty() ? 0 : 1), words.end()),
            {"--key", "--in", "--out", "--x", "--y", "--pub", "--sig", "--format"}, {"--sec1"});
  if (what == "key-to-pem") {
    SecretBytes d = read_fixed(args.need("--key"), 32, "private key");
    std::string pem = private_pem(public_of(d), args.has("--sec1"));
    Output out(args.get("--out", "-"), true);
    out.write(pem);
    out.commit();
    OPENSSL_cleanse(pem.data(), pem.size());
  } else if (what == "pem-to-key") {
    Input in(args.need("--in"));
    RawKeyPair key = private_from_pem(Bytes(in.data(), in.data() + in.size()));
    Output out(args.get("--out", "-"), true);
    Bytes d(key.d.begin(), key.d.end());
    write_value(out, d, format_of(args, "hex"));
    OPENSSL_cleanse(d.data(), d.size());
    out.commit();
  } else if (what == "pub-to-pem") {
    Bytes x, y;
    public_point(args, &x, &y);
    Output out(args.get("--out", "-"));
    out.write(public_pem(x, y));
    out.commit();
  } else if (what == "pem-to-pub") {
    Input in(args.need("--in"));
    RawKeyPair key = public_from_pem(Bytes(in.data(), in.data() + in.size()));
    write_key_pair(args, key, false);
  } else if (what == "sig-to-der") {
    Bytes der = signature_to_der(read_signature(args.need("--sig"), format_of(args, "auto", true)));
    Output out(args.get("--out", "-"));
    out.write(der.data(), der.size());
    out.commit();
  } else if (what == "der-to-sig") {
    Input in(args.need("--in"));
    Bytes raw = signature_from_der(Bytes(in.data(), in.data() + in.size()));
    Output out(args.get("--out", "-"));
    write_value(out, raw, format_of(args, "hex"));
    out.commit();
  } else {
    throw Failure("convert needs key-to-pem, pem-to-key, pub-to-pem, pem-to-pub, sig-to-der or der-to-sig", 2);
  }
  return 0;
}

// The road of one signature on a fixed demo key (NIST's first P-256 pair).
int cmd_demo() {
  SecretBytes d = from_hex("c9806898a0334916c860748880a541f093b579a9b1f32934d86c363c39800357", "d");
  SecretBytes x = from_hex("d0720dc691aa80096ba32fed1cb97c2b620690d06de0317b8618d5ce65eb728f", "x");
  SecretBytes y = from_hex("9681b517b1cda17d0d83d335d9c4a8a9a9b0b1b3c7106d8f3c72bc5093dc275f", "y");
  const std::string text = "firmware image 1.4.2";
  const Bytes msg(text.begin(), text.end());
  Bytes z(32);
  SHA256(msg.data(), msg.size(), z.data());
  std::printf("private scalar d  : %s\n", to_hex(d).c_str());
  std::printf("public X          : %s\n", to_hex(x).c_str());
  std::printf("public Y          : %s\n", to_hex(y).c_str());
  std::printf("message           : \"%s\" (%zu bytes)\n", text.c_str(), msg.size());
  std::printf("SHA-256 digest    : %s\n", to_hex(z).c_str());
  Bytes sig(64);
  const int signed_ok = ecc_sign(d.data(), msg.data(), sig.data(), device_length(msg.size()));
  std::printf("ecc_sign          : %d\n", signed_ok);
  if (signed_ok != 1) return 1;
  std::printf("signature r       : %s\n", to_hex(sig.data(), 32).c_str());
  std::printf("signature s       : %s\n", to_hex(sig.data() + 32, 32).c_str());
  std::printf("signature Base64  : %s\n", base64(sig.data(), sig.size(), kStandardAlphabet).c_str());
  const int verified = ecc_verify(x.data(), y.data(), msg.data(), sig.data(), device_length(msg.size()));
  std::printf("ecc_verify        : %d (%s)\n", verified, verified == 1 ? "valid" : "REJECTED");
  sig[10] ^= 0x01;
  const int tampered = ecc_verify(x.data(), y.data(), msg.data(), sig.data(), device_length(msg.size()));
  std::printf("one bit flipped   : %d (%s)\n", tampered, tampered == 1 ? "ACCEPTED" : "rejected");

  SecretBytes key = from_hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4", "key");
  const Bytes iv = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  Bytes block(text.begin(), text.end());
  block.resize(32, 0);
  Bytes sealed(32), opened(32);
  aes_enc(block.data(), 32, key.data(), iv.data(), sealed.data());
  aes_dec(sealed.data(), 32, key.data(), iv.data(), opened.data());
  std::printf("AES-256-CBC       : %s\n", to_hex(sealed).c_str());
  std::printf("decrypted again   : \"%s\" (%s)\n", reinterpret_cast<const char*>(opened.data()),
              opened == block ? "round trip ok" : "MISMATCH");
  return verified == 1 && tampered != 1 && opened == block ? 0 : 1;
}

const char kUsage[] =
    "usage: rawcrypt COMMAND [options]   (rawcrypt COMMAND --help for its options)\n"
    "  keygen       a fresh P-256 key: private scalar and public X, Y\n"
    "  pubkey       X and Y of a private scalar\n"
    "  sign         a 64-byte r||s signature of a message\n"
    "  verify       check a signature; exit 0 only when it is valid\n"
    "  encrypt      AES-256-CBC, whole blocks (or --pad for PKCS#7)\n"
    "  decrypt      AES-256-CBC\n"
    "  des3-decrypt triple-DES ECB decryption, 24-byte key\n"
    "  base64       encode (any alphabet) or decode (strict, as the device)\n"
    "  convert      raw keys and signatures to and from PEM and DER\n"
    "  demo         the road of one signature, step by step\n"
    "Files may be '-' for standard input or output. Keys are files of hex or raw bytes.\n";

const std::map<std::string, std::string> kHelp = {
    {"keygen", "rawcrypt keygen [--out PREFIX] [--format hex|raw]\n"
               "  PREFIX.key (mode 0600), PREFIX.x, PREFIX.y; without --out, hex lines on stdout.\n"},
    {"pubkey", "rawcrypt pubkey --key FILE [--out PREFIX] [--format hex|raw]\n"},
    {"sign", "rawcrypt sign --key FILE [--in MESSAGE] [--out FILE] [--format hex|base64|raw]\n"},
    {"verify", "rawcrypt verify (--pub PREFIX | --x FILE --y FILE) --sig FILE [--in MESSAGE]\n"
               "                [--format auto|hex|base64|raw]\n"
               "  Prints valid or invalid; exits 0 only when ecc_verify returned exactly 1.\n"},
    {"encrypt", "rawcrypt encrypt (--key FILE | --key-hex HEX) (--iv FILE | --iv-hex HEX)\n"
                "                 [--in FILE] [--out FILE] [--pad]\n"},
    {"decrypt", "rawcrypt decrypt (--key FILE | --key-hex HEX) (--iv FILE | --iv-hex HEX)\n"
                "                 [--in FILE] [--out FILE] [--pad]\n"},
    {"des3-decrypt", "rawcrypt des3-decrypt (--key FILE | --key-hex HEX) [--in FILE] [--out FILE] [--pad]\n"},
    {"base64", "rawcrypt base64 encode [--alphabet 64CHARS] [--in FILE] [--out FILE]\n"
               "rawcrypt base64 decode [--in FILE] [--out FILE]   (one final newline is ignored)\n"},
    {"convert", "rawcrypt convert key-to-pem --key FILE [--sec1] [--out FILE]   (PKCS#8, or SEC1)\n"
                "rawcrypt convert pem-to-key --in FILE [--out FILE] [--format hex|raw]\n"
                "rawcrypt convert pub-to-pem (--pub PREFIX | --x FILE --y FILE) [--out FILE]\n"
                "rawcrypt convert pem-to-pub --in FILE [--out PREFIX] [--format hex|raw]\n"
                "rawcrypt convert sig-to-der --sig FILE [--format auto|hex|base64|raw] [--out FILE]\n"
                "rawcrypt convert der-to-sig --in FILE [--out FILE] [--format hex|base64|raw]\n"},
    {"demo", "rawcrypt demo\n"},
};

int run(const std::string& command, const std::vector<std::string>& rest) {
  const std::set<std::string> cipher = {"--key", "--key-hex", "--iv", "--iv-hex", "--in", "--out"};
  if (command == "keygen") return cmd_keygen(Args(rest, {"--out", "--format"}, {}));
  if (command == "pubkey") return cmd_pubkey(Args(rest, {"--key", "--out", "--format"}, {}));
  if (command == "sign") return cmd_sign(Args(rest, {"--key", "--in", "--out", "--format"}, {}));
  if (command == "verify")
    return cmd_verify(Args(rest, {"--pub", "--x", "--y", "--sig", "--in", "--format"}, {}));
  if (command == "encrypt") return cmd_aes(Args(rest, cipher, {"--pad"}), true);
  if (command == "decrypt") return cmd_aes(Args(rest, cipher, {"--pad"}), false);
  if (command == "des3-decrypt") return cmd_des3_decrypt(Args(rest, {"--key", "--key-hex", "--in", "--out"}, {"--pad"}));
  if (command == "base64") return cmd_base64(rest);
  if (command == "convert") return cmd_convert(rest);
  if (command == "demo" && rest.empty()) return cmd_demo();
  throw Failure("unknown command '" + command + "'\n" + kUsage, 2);
}

}  // namespace
}  // namespace cli

int main(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  if (words.empty() || words[0] == "--help" || words[0] == "-h") {
    std::fputs(cli::kUsage, words.empty() ? stderr : stdout);
    return words.empty() ? 2 : 0;
  }
  const std::string command = words[0];
  words.erase(words.begin());
  if (std::find(words.begin(), words.end(), "--help") != words.end() && cli::kHelp.count(command)) {
    std::printf("usage: %s", cli::kHelp.at(command).c_str());
    return 0;
  }
  try {
    return cli::run(command, words);
  } catch (const cli::Failure& f) {
    std::fprintf(stderr, "rawcrypt: %s\n", f.what());
    return f.exit_code;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "rawcrypt: %s\n", e.what());
    return 1;
  }
}
