// rawcrypt: the host tool that speaks the device's formats, on the module's
// own helpers (so host and device share one implementation). libcrypto does
// only what the helpers do not: key generation, public points, PEM and DER.
// This file holds the table of commands, the tool's own help and main();
// each command lives in its group's file (command.h). Touches argv (through
// the commands' Args), standard output and standard error.
#include "host/compat.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <unistd.h>

#include "host/keys.h"
#include "tools/rawcrypt/command.h"
#include "tools/rawcrypt/failure.h"
#include "tools/rawcrypt/process.h"

namespace cli {
namespace {

constexpr char kVersion[] = "rawcrypt 1.1";

// The commands, in the order --help lists them.
const Command* const kCommands[] = {&kKeygen,  &kPubkey,      &kSign,   &kVerify,  &kEncrypt, &kDecrypt,
                                    &kDes3Decrypt, &kBase64, &kConvert, &kTokens, &kDemo};

const Command* command_named(const std::string& name) {
  for (const Command* command : kCommands)
    if (name == command->name) return command;
  return nullptr;
}

// The man page is written from this text and each command's help
// (manpage.sh), the shell completion reads them too. Here: the usage line,
// one line that says what the tool is, "  COMMAND  what it does" lines,
// "  --option  what it does" lines (two spaces or more before the text), and
// paragraphs that each begin "Heading: " on a line of their own, after a line
// that ends a sentence.
std::string usage_text() {
  std::string text =
      "usage: rawcrypt COMMAND [options]   (rawcrypt COMMAND --help for its options)\n"
      "The device's keys, signatures, ciphers and Base64, on the module's own helpers.\n";
  for (const Command* command : kCommands) {
    char line[128];
    std::snprintf(line, sizeof line, "  %-12s %s\n", command->name, command->summary);
    text += line;
  }
  return text +
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
         "(the user PIN; a PIN file must be of mode 0600: one that other users may\n"
         "read is refused; without either it is asked for when standard input is a\n"
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
}

}  // namespace

void unknown_command(const std::string& word) {
  // A word that could be a command's name is shown; any other may be a key.
  const bool named = word.size() <= 16 && word.find_first_not_of("abcdefghijklmnopqrstuvwxyz-") == std::string::npos;
  throw Failure("unknown command" + (named ? " '" + word + "'" : std::string()) + "\n" + usage_text(), kUsage);
}

}  // namespace cli

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  // verify's verdict on a message that shrank was never reached: 2.
  cli::start(command == "verify" ? cli::kUsage : cli::kFailed);
  if (argc < 2) {
    std::fputs(cli::usage_text().c_str(), stderr);
    return cli::kUsage;
  }
  if (command == "--help" || command == "-h") {
    std::fputs(cli::usage_text().c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : cli::kFailed;
  }
  if (command == "--version") {
    std::printf("%s (%s)\n", cli::kVersion, host::library_version());
    return std::fflush(stdout) == 0 ? 0 : cli::kFailed;
  }
  const cli::Words words(argv + 2, argv + argc);
  const bool help = std::any_of(words.begin(), words.end(),
                                [](const char* w) { return !std::strcmp(w, "--help") || !std::strcmp(w, "-h"); });
  const cli::Command* chosen = cli::command_named(command);
  if (help && chosen) {
    std::printf("usage: %s", chosen->help);
    return std::fflush(stdout) == 0 ? 0 : cli::kFailed;
  }
  int code = 0;
  try {
    if (!chosen) cli::unknown_command(command);
    code = chosen->run(words);
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
