// rawcrypt: the host tool that speaks the device's formats, on the module's
// own helpers (so host and device share one implementation). libcrypto does
// only what the helpers do not: key generation, public points, PEM and DER.
#include "host/compat.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "helpers/encrypt.h"
#include "host/keys.h"
#include "tools/rawcrypt/base64_text.h"
#include "tools/rawcrypt/console.h"
#include "tools/rawcrypt/failure.h"
#include "tools/rawcrypt/inputs.h"
#include "tools/rawcrypt/key_files.h"
#include "tools/rawcrypt/outputs.h"
#include "tools/rawcrypt/paths.h"
#include "tools/rawcrypt/pem.h"
#include "tools/rawcrypt/process.h"
#include "tools/rawcrypt/token_key.h"
#include "tools/rawcrypt/uri_words.h"

namespace cli {
namespace {

constexpr char kVersion[] = "rawcrypt 1.1";

// The command line as main() received it: secret values are taken out of it.
using Words = std::vector<char*>;

// Args: the options of one command, checked against what it takes. Options
// may be written "--opt value" or "--opt=value"; each may be given once, and
// options that exclude each other may not come together. A key given on the
// command line, and a PKCS#11 URI with its PIN, are moved into wiped memory
// and the secret overwritten where it stood, so that other users stop seeing
// it in the process list. A pin-value is overwritten in every word before
// any is read, and taken only inside the URI of --key or --uri.
class Args {
 public:
  Args(const Words& words, const std::set<std::string>& valued, const std::set<std::string>& flags,
       const std::vector<std::pair<std::string, std::string>>& conflicts = {}) {
    std::map<const char*, SecretBytes> pinned;  // the words that held a pin-value, as they were
    for (char* word : words) {
      const auto* text = reinterpret_cast<const unsigned char*>(word);
      SecretBytes before(text, text + std::strlen(word));
      if (hide_pin_value(word)) pinned[word] = std::move(before);
    }
    std::string name;
    for (size_t i = 0; i < words.size(); ++i) {
      // Usage errors name options only: a stray word or a value may be a key.
      if (std::strncmp(words[i], "--", 2) != 0)
        throw Failure("unexpected argument" + (name.empty() ? "" : " after " + name) + " (see --help)", kUsage);
      char* eq = std::strchr(words[i], '=');
      name = name_of(words[i]);
      if (has(name)) throw Failure(name + " is given more than once", kUsage);
      if (valued.count(name)) {
        char* value = eq ? eq + 1 : nullptr;
        if (!eq) {
          if (i + 1 == words.size() || valued.count(name_of(words[i + 1])) || flags.count(name_of(words[i + 1])))
            throw Failure(name + " needs a value", kUsage);
          value = words[++i];
        }
        const auto pin = pinned.find(words[i]);
        if (pin != pinned.end() && !((name == "--key" || name == "--uri") && is_pkcs11_uri(value)))
          throw Failure(name + " takes no pin-value: only a PKCS#11 URI given to --key or --uri does", kUsage);
        if (name == "--key-hex" || is_pkcs11_uri(value)) {
          const size_t length = std::strlen(value);
          const auto* from = pin != pinned.end() ? pin->second.data() + (value - words[i])
                                                 : reinterpret_cast<const unsigned char*>(value);
          secrets_[name] = SecretBytes(from, from + length);
          if (name == "--key-hex")
            std::memset(value, '*', length);
          else
            values_[name] = value;
        } else {
          values_[name] = value;
        }
      } else if (flags.count(name)) {
        if (eq) throw Failure(name + " takes no value", kUsage);
        flags_.insert(name);
      } else {
        throw Failure("unknown option " + name + " (see --help)", kUsage);
      }
    }
    for (const auto& [a, b] : conflicts)
      if (has(a) && has(b)) throw Failure(a + " and " + b + " exclude each other", kUsage);
  }
  bool has(const std::string& name) const { return values_.count(name) || flags_.count(name) || secrets_.count(name); }
  std::string get(const std::string& name, const std::string& fallback = "") const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second;
  }
  std::string need(const std::string& name) const {
    if (!values_.count(name)) throw Failure(name + " is required (see --help)", kUsage);
    return values_.at(name);
  }
  // take: a value that may be secret, in wiped memory. A secret is handed
  // over once: the copy here is wiped, so that a PIN is not kept longer than
  // its user keeps it.
  SecretBytes take(const std::string& name) const {
    if (secrets_.count(name)) return std::move(secrets_.at(name));
    const std::string& value = values_.at(name);
    return SecretBytes(reinterpret_cast<const unsigned char*>(value.data()),
                       reinterpret_cast<const unsigned char*>(value.data()) + value.size());
  }

 private:
  static std::string name_of(const char* word) { return std::string(word, std::strcspn(word, "=")); }

  std::map<std::string, std::string> values_;
  mutable std::map<std::string, SecretBytes> secrets_;
  std::set<std::string> flags_;
};

enum class Format { kHex, kBase64, kRaw, kAuto };

Format format_of(const Args& args, const std::string& fallback, bool allow_auto = false) {
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

// A signature file: 64 raw bytes, 128 hex digits or 88 Base64 characters.
Bytes read_signature(const std::string& path, Format format) {
  const std::string where = "signature (" + path + ")";
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

// key_format: the format of a key's files; raw and Base64 need --out.
Format key_format(const Args& args) {
  const Format format = format_of(args, "hex");
  if (!args.has("--out") && format != Format::kHex) throw Failure("--format raw or base64 needs --out PREFIX", kUsage);
  return format;
}

// refuse_existing: a key's files (`kept`) are not replaced without --force.
void refuse_existing(const Args& args, const std::vector<const char*>& kept) {
  if (!args.has("--out") || args.has("--force")) return;
  for (const char* ending : kept)
    if (exists(args.get("--out") + ending))
      throw Failure(args.get("--out") + ending + " exists: a key is not replaced without --force");
}

// Writes a key pair: PREFIX.key (mode 0600), PREFIX.x and PREFIX.y (only
// the halves without the private key), or hex lines on standard output.
// `kept`: the files that are not replaced without --force.
void write_key_pair(const Args& args, const RawKeyPair& key, bool with_private,
                    const std::vector<const char*>& kept) {
  const Format format = key_format(args);
  if (!args.has("--out")) {
    Output out("-");
    if (with_private) {
      out.write("private ");
      write_secret(out, key.d, Format::kHex);
    }
    out.write("x " + host::to_hex(key.x) + "\ny " + host::to_hex(key.y) + "\n");
    out.commit();
    return;
  }
  const std::string prefix = args.get("--out");
  // One command at a time writes a folder's key sets, from the check to
  // the last rename; without --force no file is replaced even then.
  const FolderLock lock(prefix);
  refuse_existing(args, kept);
  const bool replace = args.has("--force") || kept.empty();
  // The key and its halves are replaced together: a key never stands beside
  // another key's public halves.
  Output x(prefix + ".x"), y(prefix + ".y");
  write_value(x, key.x, format);
  write_value(y, key.y, format);
  if (!with_private) {
    commit_together({&x, &y}, replace);
    return;
  }
  Output d(prefix + ".key", Output::kSecret);
  write_secret(d, key.d, format);
  commit_together({&x, &y, &d}, replace);
}

int cmd_keygen(const Args& args) {
  if (!args.has("--key")) {
    write_key_pair(args, host::generate_key(), true, {".key", ".x", ".y"});
    return 0;
  }
  if (!is_pkcs11_uri(args.get("--key"))) throw Failure("keygen --key takes a PKCS#11 URI (see --help)", kUsage);
  // Before the token holds a key that no file would name; a pair whose files
  // cannot be written leaves the token again.
  key_format(args);
  refuse_existing(args, {".x", ".y"});
  generate_in_token(args.take("--key"),
                    [&](const RawKeyPair& key) { write_key_pair(args, key, false, {".x", ".y"}); });
  return 0;
}

// token_key: the key in a token that --key names, or null for a key file.
std::unique_ptr<TokenKey> token_key(const Args& args, TokenKey::Use use) {
  if (!is_pkcs11_uri(args.get("--key"))) return nullptr;
  return std::make_unique<TokenKey>(args.take("--key"), use);
}

RawKeyPair key_pair_of(const SecretBytes& d) {
  try {
    return host::public_of(d.data());
  } catch (const std::invalid_argument& e) {
    throw Failure(std::string("private key: ") + e.what());
  }
}

int cmd_pubkey(const Args& args) {
  const std::unique_ptr<TokenKey> token = token_key(args, TokenKey::kPublic);
  write_key_pair(args, token ? token->public_key() : key_pair_of(read_key(args.need("--key"), 32, "private key")),
                 false, {});
  return 0;
}

int cmd_sign(const Args& args) {
  const Format format = format_of(args, "hex");
  const std::unique_ptr<TokenKey> token = token_key(args, TokenKey::kSign);
  const SecretBytes d = token ? SecretBytes() : read_key(args.need("--key"), 32, "private key");
  Held message(args.get("--in", "-"), kHeldCap, "the message", Held::kPipesOnly);
  Bytes sig(64);
  if (token) {
    sig = token->sign(message.data(), device_length(message.size()));
  } else {
    int result = 0;
    const std::string lines = console_of(
        [&] { result = ecc_sign(d.data(), message.data(), sig.data(), device_length(message.size())); });
    if (result != 1) throw Failure("signing failed: " + lines);
  }
  Output out(args.get("--out", "-"));
  write_value(out, sig, format);
  out.commit();
  return 0;
}

// verify: 0 valid, 1 invalid; what prevents checking is the caller's 2.
int cmd_verify(const Args& args) {
  Bytes x, y;
  public_point(args, &x, &y);
  const Bytes sig = read_signature(args.need("--sig"), format_of(args, "auto", true));
  Held message(args.get("--in", "-"), kHeldCap, "the message", Held::kPipesOnly);
  int result = 0;
  const std::string lines = console_of([&] {
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

size_t pad_length(const unsigned char* last_block, size_t block) {
  const size_t n = last_block[block - 1];
  bool ok = n >= 1 && n <= block;
  for (size_t i = 0; ok && i < n; ++i) ok = last_block[block - 1 - i] == n;
  if (!ok) throw Failure("bad padding: the last block does not end in PKCS#7 padding (wrong key or iv?)");
  return n;
}

// Runs a block cipher over the input as it streams, in chunks; with --pad
// the final block is padded (encryption) or held back and unpadded
// (decryption). chunk_fn(in, length, out) transforms whole blocks and
// carries the chaining itself.
int run_cipher(const Args& args, size_t block, bool encrypt,
               const std::function<void(const unsigned char*, size_t, unsigned char*)>& chunk_fn) {
  const bool pad = args.has("--pad");
  Input in(args.get("--in", "-"));
  Output out(args.get("--out", "-"));
  std::vector<unsigned char> data(kChunk + block), result(kChunk + block);
  size_t have = 0, total = 0;
  for (bool end = false; !end;) {
    const size_t n = in.read(data.data() + have, kChunk - have);
    have += n;
    total += n;
    end = have < kChunk;
    size_t process = have - have % block;
    if (!encrypt && pad) {  // the last block is unpadded apart
      if (end && (have == 0 || have % block != 0))
        throw Failure(total == 0 ? "input is empty: no padding to remove"
                                 : "input is " + std::to_string(total) + " bytes, not a whole number of " +
                                       std::to_string(block) + "-byte blocks");
      process -= block;
    } else if (!(encrypt && pad) && end && have % block != 0) {
      throw Failure("input is " + std::to_string(total) + " bytes, not a whole number of " + std::to_string(block) +
                    "-byte blocks" + (encrypt ? " (--pad adds PKCS#7 padding)" : ""));
    }
    if (process > 0) {
      chunk_fn(data.data(), process, result.data());
      out.write(result.data(), process);
      memmove(data.data(), data.data() + process, have - process);
      have -= process;
    }
  }
  if (encrypt && pad) {  // have < block bytes remain
    memset(data.data() + have, static_cast<int>(block - have), block - have);
    chunk_fn(data.data(), block, result.data());
    out.write(result.data(), block);
  } else if (!encrypt && pad) {  // one block remains
    chunk_fn(data.data(), block, result.data());
    out.write(result.data(), block - pad_length(result.data(), block));
  }
  OPENSSL_cleanse(data.data(), data.size());
  OPENSSL_cleanse(result.data(), result.size());
  out.commit();
  return 0;
}

int cmd_aes(const Args& args, bool encrypt) {
  const std::unique_ptr<TokenKey> token = token_key(args, encrypt ? TokenKey::kAesEncrypt : TokenKey::kAesDecrypt);
  const SecretBytes key = token ? SecretBytes() : key_bytes(args, "--key", 32, "AES-256 key");
  SecretBytes iv = key_bytes(args, "--iv", 16, "iv");
  return run_cipher(args, 16, encrypt, [&](const unsigned char* in, size_t n, unsigned char* out) {
    // The helpers start from the caller's vector each call; chunks chain
    // through the last ciphertext block.
    unsigned char next_iv[16];
    memcpy(next_iv, in + n - 16, 16);  // decryption chains on the ciphertext read
    if (token)
      token->cipher(in, n, iv.data(), out);
    else
      (encrypt ? aes_enc : aes_dec)(in, static_cast<uint32_t>(n), key.data(), iv.data(), out);
    if (encrypt) memcpy(next_iv, out + n - 16, 16);  // encryption on the ciphertext written
    memcpy(iv.data(), next_iv, 16);
  });
}

int cmd_des3_decrypt(const Args& args) {
  const std::unique_ptr<TokenKey> token = token_key(args, TokenKey::kDes3Decrypt);
  const SecretBytes key = token ? SecretBytes() : key_bytes(args, "--key", 24, "triple-DES key");
  return run_cipher(args, 8, false, [&](const unsigned char* in, size_t n, unsigned char* out) {
    if (token)
      token->cipher(in, n, nullptr, out);
    else
      des3_dec(in, static_cast<uint32_t>(n), key.data(), out);
  });
}

int cmd_tokens(const Args& args) {
  if (args.has("--uri") && !is_pkcs11_uri(args.get("--uri")))
    throw Failure("--uri takes a PKCS#11 URI (pkcs11:...)", kUsage);
  const SecretBytes uri = args.has("--uri") ? args.take("--uri") : SecretBytes();
  Output out("-");
  out.write(token_listing(args.has("--uri") ? &uri : nullptr));
  out.commit();
  return 0;
}

// Base64 decoding judges the whole text at once, so it holds it: at most
// this many characters.
constexpr size_t kBase64TextCap = size_t{1} << 30;

int cmd_base64(const Words& words) {
  const std::string what = words.empty() ? "" : words[0];
  if (what != "encode" && what != "decode") throw Failure("base64 needs encode or decode (see --help)", kUsage);
  const bool encode = what == "encode";
  Args args(Words(words.begin() + 1, words.end()),
            encode ? std::set<std::string>{"--in", "--out", "--alphabet"} : std::set<std::string>{"--in", "--out"},
            {});
  if (encode) {
    const std::string alphabet = args.get("--alphabet", host::kStandardAlphabet);
    if (alphabet.size() != 64)
      throw Failure("--alphabet must have 64 characters, found " + std::to_string(alphabet.size()), kUsage);
    for (char c : alphabet)
      if (std::count(alphabet.begin(), alphabet.end(), c) != 1 || c == '=')
        throw Failure(std::string("--alphabet repeats or pads with '") + c + "'", kUsage);
    Input in(args.get("--in", "-"));
    Output out(args.get("--out", "-"));
    std::vector<unsigned char> chunk(kChunk);
    for (size_t n; (n = in.read(chunk.data(), chunk.size())) > 0;)  // whole groups of three but at the end
      out.write(base64(chunk.data(), n, alphabet.c_str()));
    out.write("\n");
    out.commit();
  } else {
    Held in(args.get("--in", "-"), kBase64TextCap, "the Base64 text");
    std::string text(reinterpret_cast<const char*>(in.data()), in.size());
    if (!text.empty() && text.back() == '\n') text.pop_back();  // a text file's last line
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.find('\0') != std::string::npos) throw Failure("the Base64 text holds a NUL byte");
    const Bytes bytes = unbase64(text, "the Base64 text");
    Output out(args.get("--out", "-"));
    out.write(bytes.data(), bytes.size());
    out.commit();
  }
  return 0;
}

int cmd_convert(const Words& words) {
  const std::string what = words.empty() ? "" : words[0];
  Args args(Words(words.begin() + (words.empty() ? 0 : 1), words.end()),
            {"--key", "--in", "--out", "--x", "--y", "--pub", "--sig", "--format"}, {"--sec1"},
            {{"--pub", "--x"}, {"--pub", "--y"}});
  if (what == "key-to-pem") {
    const SecretBytes pem = private_pem(key_pair_of(read_key(args.need("--key"), 32, "private key")), args.has("--sec1"));
    Output out(args.get("--out", "-"), Output::kSecret);
    out.write(pem.data(), pem.size());
    out.commit();
  } else if (what == "pem-to-key") {
    SecretBytes pem;
    {
      Held in(args.need("--in"), 1 << 16, "the PEM key");
      pem = SecretBytes(in.data(), in.data() + in.size());
    }
    const RawKeyPair key = private_from_pem(pem);
    Output out(args.get("--out", "-"), Output::kSecret);
    write_secret(out, key.d, format_of(args, "hex"));
    out.commit();
  } else if (what == "pub-to-pem") {
    Bytes x, y;
    public_point(args, &x, &y);
    Output out(args.get("--out", "-"));
    out.write(public_pem(x, y));
    out.commit();
  } else if (what == "pem-to-pub") {
    Held in(args.need("--in"), 1 << 16, "the PEM key");
    write_key_pair(args, public_from_pem(Bytes(in.data(), in.data() + in.size())), false, {});
  } else if (what == "sig-to-der") {
    const Bytes der = host::signature_to_der(read_signature(args.need("--sig"), format_of(args, "auto", true)));
    Output out(args.get("--out", "-"));
    out.write(der.data(), der.size());
    out.commit();
  } else if (what == "der-to-sig") {
    Held in(args.need("--in"), 4096, "the DER signature");
    Bytes raw;
    try {
      raw = host::signature_from_der(Bytes(in.data(), in.data() + in.size()));
    } catch (const std::invalid_argument& e) {
      throw Failure(args.get("--in") + ": " + e.what());
    }
    Output out(args.get("--out", "-"));
    write_value(out, raw, format_of(args, "hex"));
    out.commit();
  } else {
    throw Failure("convert needs key-to-pem, pem-to-key, pub-to-pem, pem-to-pub, sig-to-der or der-to-sig", kUsage);
  }
  return 0;
}

// The road of one signature on a fixed demo key (NIST's first P-256 pair).
int cmd_demo() {
  const SecretBytes d = host::from_hex(host::kDemoPrivateHex);
  const SecretBytes x = host::from_hex(host::kDemoPublicXHex), y = host::from_hex(host::kDemoPublicYHex);
  const std::string text = "firmware image 1.4.2";
  const Bytes msg(text.begin(), text.end());
  Bytes z(32);
  SHA256(msg.data(), msg.size(), z.data());
  std::printf("private scalar d  : %s\n", host::to_hex(d).c_str());
  std::printf("public X          : %s\n", host::to_hex(x).c_str());
  std::printf("public Y          : %s\n", host::to_hex(y).c_str());
  std::printf("message           : \"%s\" (%zu bytes)\n", text.c_str(), msg.size());
  std::printf("SHA-256 digest    : %s\n", host::to_hex(z).c_str());
  Bytes sig(64);
  const int signed_ok = ecc_sign(d.data(), msg.data(), sig.data(), device_length(msg.size()));
  std::printf("ecc_sign          : %d\n", signed_ok);
  if (signed_ok != 1) return 1;
  std::printf("signature r       : %s\n", host::to_hex(sig.data(), 32).c_str());
  std::printf("signature s       : %s\n", host::to_hex(sig.data() + 32, 32).c_str());
  std::printf("signature Base64  : %s\n", base64(sig.data(), sig.size(), host::kStandardAlphabet).c_str());
  const int verified = ecc_verify(x.data(), y.data(), msg.data(), sig.data(), device_length(msg.size()));
  std::printf("ecc_verify        : %d (%s)\n", verified, verified == 1 ? "valid" : "REJECTED");
  sig[10] ^= 0x01;
  const int tampered = ecc_verify(x.data(), y.data(), msg.data(), sig.data(), device_length(msg.size()));
  std::printf("one bit flipped   : %d (%s)\n", tampered, tampered == 1 ? "ACCEPTED" : "rejected");

  const SecretBytes key = host::from_hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
  const Bytes iv = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  Bytes block(text.begin(), text.end());
  block.resize(32, 0);
  Bytes sealed(32), opened(32);
  aes_enc(block.data(), 32, key.data(), iv.data(), sealed.data());
  aes_dec(sealed.data(), 32, key.data(), iv.data(), opened.data());
  std::printf("AES-256-CBC       : %s\n", host::to_hex(sealed).c_str());
  std::printf("decrypted again   : \"%s\" (%s)\n", reinterpret_cast<const char*>(opened.data()),
              opened == block ? "round trip ok" : "MISMATCH");
  return verified == 1 && tampered != 1 && opened == block ? 0 : 1;
}

// The man page is written from this text and each command's help
// (tools/manpage.sh), the shell completion reads them too. Here: the usage
// line, one line that says what the tool is, "  COMMAND  what it does" lines,
// "  --option  what it does" lines (two spaces or more before the text), and
// paragraphs that each begin "Heading: " on a line of their own, after a line
// that ends a sentence. A command's help: usage lines (not indented, or
// indented deeper than two), "  --option ARG  what it does" lines, and notes
// (indented two). The completion offers values from usage lines alone.
const char kUsageText[] =
    "usage: rawcrypt COMMAND [options]   (rawcrypt COMMAND --help for its options)\n"
    "The device's keys, signatures, ciphers and Base64, on the module's own helpers.\n"
    "  keygen       a fresh P-256 key: private scalar and public X, Y (or in a token)\n"
    "  pubkey       X and Y of a private scalar (or of a key in a token)\n"
    "  sign         a 64-byte r||s signature of a message\n"
    "  verify       check a signature; exit 0 only when it is valid\n"
    "  encrypt      AES-256-CBC, whole blocks (or --pad for PKCS#7)\n"
    "  decrypt      AES-256-CBC\n"
    "  des3-decrypt triple-DES ECB decryption, 24-byte key\n"
    "  base64       encode (any alphabet) or decode (strict, as the device)\n"
    "  convert      raw keys and signatures to and from PEM and DER\n"
    "  tokens       the PKCS#11 tokens, their P-256 and AES-256 keys and their URIs\n"
    "  demo         the road of one signature, step by step\n"
    "Options: --opt VALUE or --opt=VALUE, each once. Files may be '-' for standard\n"
    "input (one input per command) or standard output; where --in or --out may be\n"
    "left out, the command reads standard input or writes standard output.\n"
    "Key files: private keys, X, Y, AES keys and ivs are raw bytes of the exact size,\n"
    "hex text or Base64 text (standard alphabet), as keygen writes them.\n"
    "Keys in a token (PKCS#11): wherever a command takes --key, it takes a URI\n"
    "(RFC 7512), quoted for the shell:\n"
    "  'pkcs11:token=LABEL;object=NAME[;id=%01%02][?QUERY]'\n"
    "QUERY joins with '&': module-path=FILE or module-name=NAME (the module; by\n"
    "default every module registered with p11-kit; p11-kit looks for a relative\n"
    "FILE in its own module folder), and pin-source=file:PATH or pin-value=PIN\n"
    "(the user PIN; without either it is asked for when standard input is a\n"
    "terminal). The query takes these four alone, a URI gives each attribute\n"
    "once, and a PIN writes '&' as %26. A pin-value is visible to other users in\n"
    "the process list until the tool has overwritten it (in any word; only --key\n"
    "and --uri take one): prefer pin-source. The private key signs in the token\n"
    "(CKM_ECDSA over SHA-256, P-256 keys only; a key that asks for the PIN at\n"
    "each use gets it again); AES keys are AES-256 (CKM_AES_CBC). rawcrypt tokens\n"
    "lists every key with its URI.\n"
    "Outputs: a regular file is replaced whole when the command succeeds (through\n"
    "symlinks; its mode is kept, its owner and group where the user may set them,\n"
    "other hard links keep the old content); a failed or interrupted command\n"
    "leaves it as it was. A device or FIFO is written straight through; a path\n"
    "to a descriptor open when the tool started (/dev/stdout, /dev/fd/N, any name\n"
    "through /proc) at the descriptor's own offset. Private keys are 0600.\n"
    "Exit codes: 0 success, 1 failure, 2 usage; verify: 0 valid, 1 invalid,\n"
    "2 when the signature could not be checked.\n"
    "  -h, --help   this text\n"
    "  --version    the tool's and libcrypto's versions\n";

// Lines that several commands' help share.
#define RAWCRYPT_IN_OUT                                                 \
  "  --in FILE           the input (standard input without it)\n"       \
  "  --out FILE          the output (standard output without it)\n"
#define RAWCRYPT_PRIVATE_KEY                                                             \
  "  --key FILE|URI      the private key: a key file or a PKCS#11 URI (P-256)\n"
#define RAWCRYPT_KEY_SET_OUT                                                             \
  "  --out PREFIX        the files PREFIX.x and PREFIX.y (else hex lines x, y)\n"
#define RAWCRYPT_KEY_FORMAT                                                            \
  "  --format hex|base64|raw  hex text (the default); base64 and raw need --out\n"
#define RAWCRYPT_PUBLIC_KEY                                                               \
  "  --pub PREFIX        the public key as keygen writes it: PREFIX.x, PREFIX.y\n" \
  "  --x FILE, --y FILE  the public key's X and Y in files named apart\n"
#define RAWCRYPT_SIG_AUTO                                                           \
  "  With auto, 128 hex digits are read as hex and 88 characters as Base64 (line\n" \
  "  ends and spaces aside), anything else as the 64 raw bytes.\n"
#define RAWCRYPT_UNPAD                                                                  \
  "  --pad               remove PKCS#7 padding; a last block without it is an error\n"
#define RAWCRYPT_KEY_HEX_NOTE                                                    \
  "  A key given by --key-hex is visible to other users (the process list)\n"   \
  "  until the tool has started and overwritten it: a key file, or '-', is\n"     \
  "  better.\n"
#define RAWCRYPT_AES_KEYS                                                                \
  "  --key FILE|URI      the AES-256 key: a 32-byte key file, or a PKCS#11 URI\n"    \
  "  --key-hex HEX       the key as 64 hex digits (see below)\n"                          \
  "  --iv FILE           the 16-byte initial vector in a file (raw, hex or Base64)\n"                \
  "  --iv-hex HEX        the initial vector as 32 hex digits\n" RAWCRYPT_IN_OUT
#define RAWCRYPT_TOKEN_CIPHER_NOTE                                                 \
  "  A PKCS#11 URI names an AES-256 key (CKM_AES_CBC in the token; the iv and\n"   \
  "  --pad stay on the host), with the same output as a key file.\n"

const std::map<std::string, std::string> kHelp = {
    {"keygen", "rawcrypt keygen [--key URI] [--out PREFIX [--force]]\n"
               "                [--format hex|base64|raw]\n"
               "  --out PREFIX        the files PREFIX.key (mode 0600), PREFIX.x and PREFIX.y\n"
               "  --force             replace the key's existing files\n" RAWCRYPT_KEY_FORMAT
               "  --key URI           make the pair in a PKCS#11 token (below)\n"
               "  Without --out, hex lines private, x and y on standard output.\n"
               "  An existing PREFIX.key, .x or .y is not replaced without --force; with it,\n"
               "  the three are replaced together or, on failure, all kept. Commands that\n"
               "  write key sets into one folder take turns. Only a hard kill (kill -9, a\n"
               "  power cut) while the files are put in place can leave an old half as\n"
               "  PREFIX.x.old-N or PREFIX.y.old-N: renaming it back restores the old set.\n"
               "  With --key 'pkcs11:token=LABEL;object=NAME[;id=%01%02]?pin-source=file:PATH'\n"
               "  the pair is made inside the token (id: 8 random bytes unless given): the\n"
               "  private key sensitive, never extractable, not modifiable, for signing only;\n"
               "  only PREFIX.x and PREFIX.y are written. A token that holds an object of that\n"
               "  name (or id) keeps it, and the command fails, as when one appears while the\n"
               "  pair is made (keygens on one host take turns); --force concerns the files\n"
               "  only. A pair whose files cannot be written is removed from the token again.\n"},
    {"pubkey", "rawcrypt pubkey --key FILE|URI [--out PREFIX] [--format hex|base64|raw]\n" RAWCRYPT_PRIVATE_KEY
                   RAWCRYPT_KEY_SET_OUT RAWCRYPT_KEY_FORMAT
               "  With a PKCS#11 URI: from the public key object (read without the PIN where\n"
               "  the token allows), or from the private key's CKA_EC_POINT. When the URI\n"
               "  gives the PIN, the two must agree where the token keeps both.\n"},
    {"sign", "rawcrypt sign --key FILE|URI [--in MESSAGE] [--out FILE]\n"
             "              [--format hex|base64|raw]\n" RAWCRYPT_PRIVATE_KEY
             "  --in MESSAGE        the message (standard input without it)\n"
             "  --out FILE          the signature (standard output without it)\n"
             "  --format hex|base64|raw  the signature as hex (the default), Base64 or bytes\n"
             "  The message is held whole (the helper hashes it): a file up to 4 GiB - 1, a\n"
             "  pipe or device up to 1 GiB. The scalar must be in [1, n-1].\n"
             "  With a PKCS#11 URI the tool hashes, the token signs (CKM_ECDSA on a P-256\n"
             "  key), and the signature is checked with ecc_verify against the token's\n"
             "  public key, where it has one, before it is written.\n"},
    {"verify", "rawcrypt verify (--pub PREFIX | --x FILE --y FILE) --sig FILE [--in MESSAGE]\n"
               "                [--format auto|hex|base64|raw]\n" RAWCRYPT_PUBLIC_KEY
               "  --sig FILE          the signature\n"
               "  --in MESSAGE        the message (standard input without it)\n"
               "  --format auto|hex|base64|raw  how the signature is read (auto by default)\n" RAWCRYPT_SIG_AUTO
               "  Prints valid or invalid. Only a result of exactly 1 from ecc_verify is\n"
               "  accepted: exit 0 valid, 1 invalid (a public key that is not on the curve\n"
               "  too, as the device says), 2 when it could not be checked (a missing or\n"
               "  malformed file, a bad option, a message file that shrank, a verdict that\n"
               "  could not be written). The message is held as for sign.\n"},
    {"encrypt", "rawcrypt encrypt (--key FILE|URI | --key-hex HEX) (--iv FILE | --iv-hex HEX)\n"
                "                 [--in FILE] [--out FILE] [--pad]\n" RAWCRYPT_AES_KEYS
                "  --pad               add PKCS#7 padding (1 to 16 bytes): any length goes\n"
                "  Streams; without --pad the input must be whole 16-byte blocks.\n" RAWCRYPT_KEY_HEX_NOTE
                    RAWCRYPT_TOKEN_CIPHER_NOTE},
    {"decrypt", "rawcrypt decrypt (--key FILE|URI | --key-hex HEX) (--iv FILE | --iv-hex HEX)\n"
                "                 [--in FILE] [--out FILE] [--pad]\n" RAWCRYPT_AES_KEYS RAWCRYPT_UNPAD
                "  Streams; the input must be whole 16-byte blocks.\n" RAWCRYPT_KEY_HEX_NOTE
                    RAWCRYPT_TOKEN_CIPHER_NOTE},
    {"des3-decrypt",
     "rawcrypt des3-decrypt (--key FILE|URI | --key-hex HEX)\n"
     "                      [--in FILE] [--out FILE] [--pad]\n"
     "  --key FILE|URI      the triple-DES key: a 24-byte key file, or a PKCS#11 URI\n"
     "  --key-hex HEX       the key as 48 hex digits (see below)\n" RAWCRYPT_IN_OUT RAWCRYPT_UNPAD
     "  Streams; the input must be whole 8-byte blocks.\n" RAWCRYPT_KEY_HEX_NOTE
     "  A PKCS#11 URI names a triple-DES key (CKM_DES3_ECB in the token).\n"},
    {"base64", "rawcrypt base64 encode [--alphabet 64CHARS] [--in FILE] [--out FILE]   (streams)\n"
               "rawcrypt base64 decode [--in FILE] [--out FILE]\n"
               "  --alphabet 64CHARS  encode with these 64 characters, for the values 0 to 63\n" RAWCRYPT_IN_OUT
               "  The default alphabet is the standard one, A-Z a-z 0-9 + /. Any alphabet pads\n"
               "  with '=', so it may not hold '=', nor a character twice. The text ends with\n"
               "  a line end. Decoding takes the standard alphabet alone and judges the whole\n"
               "  text, as the device does: at most 1 GiB, its final line end included; that\n"
               "  line end (\\n or \\r\\n) is ignored.\n"},
    {"convert", "rawcrypt convert key-to-pem --key FILE [--sec1] [--out FILE]   (PKCS#8, or SEC1)\n"
                "rawcrypt convert pem-to-key --in FILE [--out FILE] [--format hex|base64|raw]\n"
                "rawcrypt convert pub-to-pem (--pub PREFIX | --x FILE --y FILE) [--out FILE]\n"
                "rawcrypt convert pem-to-pub --in FILE [--out PREFIX] [--format hex|base64|raw]\n"
                "rawcrypt convert sig-to-der --sig FILE [--format auto|hex|base64|raw] [--out FILE]\n"
                "rawcrypt convert der-to-sig --in FILE [--out FILE] [--format hex|base64|raw]\n"
                "  --key FILE          the private key file to write as PEM\n"
                "  --sec1              PEM of SEC1 (BEGIN EC PRIVATE KEY) instead of PKCS#8\n"
                "  --in FILE           the PEM key or the DER signature to convert\n" RAWCRYPT_PUBLIC_KEY
                "  --sig FILE          the signature to write as DER\n"
                "  --out FILE          the output (standard output without it)\n" RAWCRYPT_KEY_SET_OUT
                "  --format hex|base64|raw  the key or signature written: hex (the default)\n"
                "  --format auto|hex|base64|raw  how sig-to-der reads --sig (auto by default)\n"
                    RAWCRYPT_SIG_AUTO
                "  PEM and DER are openssl's forms: openssl pkey reads what key-to-pem and\n"
                "  pub-to-pem write, openssl dgst -verify takes what sig-to-der writes.\n"},
    {"tokens", "rawcrypt tokens [--uri URI]\n"
               "  --uri URI           the tokens or the module to list, and the PIN\n"
               "  Every token the PKCS#11 modules offer (those URI names), then each P-256\n"
               "  and AES-256 key in it with the URI to give as --key. Private keys are\n"
               "  listed when URI names one token and gives its PIN (pin-source=file:PATH):\n"
               "  no PIN goes to any other token.\n"},
    {"demo", "rawcrypt demo\n"
             "  Signs a fixed message with a demo key, verifies it and a copy with one bit\n"
             "  flipped, printing each step, then encrypts and decrypts it with AES-256-CBC.\n"},
};

int run(const std::string& command, const Words& rest) {
  const std::set<std::string> cipher = {"--key", "--key-hex", "--iv", "--iv-hex", "--in", "--out"};
  const std::vector<std::pair<std::string, std::string>> key_forms = {{"--key", "--key-hex"}, {"--iv", "--iv-hex"}};
  if (command == "keygen") return cmd_keygen(Args(rest, {"--key", "--out", "--format"}, {"--force"}));
  if (command == "pubkey") return cmd_pubkey(Args(rest, {"--key", "--out", "--format"}, {}));
  if (command == "sign") return cmd_sign(Args(rest, {"--key", "--in", "--out", "--format"}, {}));
  if (command == "verify") {
    try {
      return cmd_verify(Args(rest, {"--pub", "--x", "--y", "--sig", "--in", "--format"}, {},
                             {{"--pub", "--x"}, {"--pub", "--y"}}));
    } catch (const std::exception& e) {  // nothing was checked
      throw Failure(e.what(), kUsage);
    }
  }
  if (command == "encrypt") return cmd_aes(Args(rest, cipher, {"--pad"}, key_forms), true);
  if (command == "decrypt") return cmd_aes(Args(rest, cipher, {"--pad"}, key_forms), false);
  if (command == "des3-decrypt")
    return cmd_des3_decrypt(Args(rest, {"--key", "--key-hex", "--in", "--out"}, {"--pad"}, key_forms));
  if (command == "base64") return cmd_base64(rest);
  if (command == "convert") return cmd_convert(rest);
  if (command == "tokens") return cmd_tokens(Args(rest, {"--uri"}, {}));
  if (command == "demo" && rest.empty()) return cmd_demo();
  // A word that could be a command's name is shown; any other may be a key.
  const bool named = command.size() <= 16 && command.find_first_not_of("abcdefghijklmnopqrstuvwxyz-") == std::string::npos;
  throw Failure("unknown command" + (named ? " '" + command + "'" : std::string()) + "\n" + kUsageText, kUsage);
}

}  // namespace
}  // namespace cli

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  // verify's verdict on a message that shrank was never reached: 2.
  cli::start(command == "verify" ? cli::kUsage : cli::kFailed);
  if (argc < 2) {
    std::fputs(cli::kUsageText, stderr);
    return cli::kUsage;
  }
  if (command == "--help" || command == "-h") {
    std::fputs(cli::kUsageText, stdout);
    return std::fflush(stdout) == 0 ? 0 : cli::kFailed;
  }
  if (command == "--version") {
    std::printf("%s (%s)\n", cli::kVersion, host::library_version());
    return std::fflush(stdout) == 0 ? 0 : cli::kFailed;
  }
  const cli::Words words(argv + 2, argv + argc);
  const bool help = std::any_of(words.begin(), words.end(),
                                [](const char* w) { return !std::strcmp(w, "--help") || !std::strcmp(w, "-h"); });
  if (help && cli::kHelp.count(command)) {
    std::printf("usage: %s", cli::kHelp.at(command).c_str());
    return std::fflush(stdout) == 0 ? 0 : cli::kFailed;
  }
  int code = 0;
  try {
    code = cli::run(command, words);
  } catch (const cli::Failure& f) {
    std::fprintf(stderr, "rawcrypt: %s\n", f.what());
    return f.exit_code;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "rawcrypt: %s\n", e.what());
    return command == "verify" ? cli::kUsage : cli::kFailed;
  }
  // What the tool itself printed (verify's verdict, the demo) must have
  // reached standard output too; a verdict that did not was never given.
  if (std::fflush(stdout) != 0 || (close(1) != 0 && errno != EBADF)) {
    std::fprintf(stderr, "rawcrypt: cannot write standard output: %s\n", std::strerror(errno));
    return command == "verify" ? cli::kUsage : code == 0 ? cli::kFailed : code;
  }
  return code;
}
