// The commands of keys and signatures: keygen, pubkey, sign and verify,
// each with its options and its help. Touches the files and the token its
// options name.
#include "tools/rawcrypt/command.h"

#include <cstdio>
#include <memory>

#include "helpers/encrypt.h"
#include "tools/rawcrypt/console.h"
#include "tools/rawcrypt/failure.h"
#include "tools/rawcrypt/help_lines.h"
#include "tools/rawcrypt/inputs.h"
#include "tools/rawcrypt/key_files.h"
#include "tools/rawcrypt/key_sets.h"
#include "tools/rawcrypt/os_random.h"
#include "tools/rawcrypt/uri_words.h"

namespace cli {
namespace {

int keygen(const Words& words) {
  const Args args(words, {"--key", "--out", "--format"}, {"--force"});
  if (!args.has("--key")) {
    write_key_pair(args, fresh_key_pair(), true, {".key", ".x", ".y"});
    return 0;
  }
  if (!is_pkcs11_uri(args.get("--key"))) throw Failure("keygen --key takes a PKCS#11 URI (see --help)", kUsage);
  // Before the token holds a key that no file would name (and before the
  // PIN is asked for); a pair whose files cannot be written leaves the token
  // again. The files are opened before the pair is made.
  key_format(args);
  refuse_existing(args, {".x", ".y"});
  std::unique_ptr<KeySet> files;
  generate_in_token(
      args.take("--key"), [&] { files = std::make_unique<KeySet>(args, false, std::vector<const char*>{".x", ".y"}); },
      [&](const RawKeyPair& key) { files->write(key); });
  return 0;
}

int pubkey(const Words& words) {
  const Args args(words, {"--key", "--out", "--format"}, {});
  const std::unique_ptr<TokenKey> token = token_key(args, TokenKey::kPublic);
  write_key_pair(args, token ? token->public_key() : key_pair_of(read_key(args.need("--key"), 32, "private key")),
                 false, {});
  return 0;
}

int sign(const Words& words) {
  const Args args(words, {"--key", "--in", "--out", "--format"}, {});
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
int check(const Words& words) {
  const Args args(words, {"--pub", "--x", "--y", "--sig", "--in", "--format"}, {}, {{"--pub", "--x"}, {"--pub", "--y"}});
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

int verify(const Words& words) {
  try {
    return check(words);
  } catch (const std::exception& e) {  // nothing was checked
    throw Failure(e.what(), kUsage);
  }
}

}  // namespace

const Command kKeygen = {
    "keygen", "a fresh P-256 key: private scalar and public X, Y (or in a token)",
    "rawcrypt keygen [--key URI] [--out PREFIX [--force]]\n"
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
    "  only. A pair whose files cannot be written, or whose keygen a signal ends\n"
    "  (Ctrl-C, kill), is removed from the token again.\n",
    keygen};

const Command kPubkey = {
    "pubkey", "X and Y of a private scalar (or of a key in a token)",
    "rawcrypt pubkey --key FILE|URI [--out PREFIX] [--format hex|base64|raw]\n" RAWCRYPT_PRIVATE_KEY
    RAWCRYPT_KEY_SET_OUT RAWCRYPT_KEY_FORMAT
    "  With a PKCS#11 URI: from the public key object (read without the PIN where\n"
    "  the token allows), or from the private key's CKA_EC_POINT. When the URI\n"
    "  gives the PIN, the two must agree where the token keeps both.\n",
    pubkey};

const Command kSign = {
    "sign", "a 64-byte r||s signature of a message",
    "rawcrypt sign --key FILE|URI [--in MESSAGE] [--out FILE]\n"
    "              [--format hex|base64|raw]\n" RAWCRYPT_PRIVATE_KEY
    "  --in MESSAGE        the message (standard input without it)\n"
    "  --out FILE          the signature (standard output without it)\n"
    "  --format hex|base64|raw  the signature as hex (the default), Base64 or bytes\n"
    "  The message is held whole (the helper hashes it): a file up to 4 GiB - 1, a\n"
    "  pipe or device up to 1 GiB. The scalar must be in [1, n-1].\n"
    "  With a PKCS#11 URI the tool hashes, the token signs (CKM_ECDSA on a P-256\n"
    "  key), and the signature is checked with ecc_verify against the token's\n"
    "  public key, where it has one, before it is written.\n",
    sign};

const Command kVerify = {
    "verify", "check a signature; exit 0 only when it is valid",
    "rawcrypt verify (--pub PREFIX | --x FILE --y FILE) --sig FILE [--in MESSAGE]\n"
    "                [--format auto|hex|base64|raw]\n" RAWCRYPT_PUBLIC_KEY
    "  --sig FILE          the signature\n"
    "  --in MESSAGE        the message (standard input without it)\n"
    "  --format auto|hex|base64|raw  how the signature is read (auto by default)\n" RAWCRYPT_SIG_AUTO
    "  Prints valid or invalid. Only a result of exactly 1 from ecc_verify is\n"
    "  accepted: exit 0 valid, 1 invalid (a public key that is not on the curve\n"
    "  too, as the device says), 2 when it could not be checked (a missing or\n"
    "  malformed file, a bad option, a message file that shrank, a verdict that\n"
    "  could not be written). The message is held as for sign.\n",
    verify};

}  // namespace cli
