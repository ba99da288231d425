// One command of the tool: its name, its line in `rawcrypt --help`, its own
// help and what runs it. Each command's entry lives in its group's file,
// beside its code and the options it takes; main.cpp's table lists them.
// The man page (manpage.sh) and the bash completion (rawcrypt.bash) are
// written from these texts, read through --help. Touches nothing.
#ifndef RAWCRYPT_TOOLS_RAWCRYPT_COMMAND_H
#define RAWCRYPT_TOOLS_RAWCRYPT_COMMAND_H

#include <string>

#include "tools/rawcrypt/args.h"

namespace cli {

// A command's help, after "usage: ": usage lines (not indented, or indented
// deeper than two), "  --option ARG  what it does" lines (two spaces or
// more before the text), and notes (indented two). The completion offers
// values from usage lines alone: an option's values written a|b|c, files
// where it takes a FILE, PREFIX or MESSAGE.
struct Command {
  const char* name;
  const char* summary;  // its line in rawcrypt --help
  const char* help;
  int (*run)(const Words& words);  // the words after the command's name
};

extern const Command kKeygen, kPubkey, kSign, kVerify;  // cmd_keys.cpp
extern const Command kEncrypt, kDecrypt, kDes3Decrypt;  // cmd_ciphers.cpp
extern const Command kBase64;                           // cmd_base64.cpp
extern const Command kConvert;                          // cmd_convert.cpp
extern const Command kTokens;                           // cmd_tokens.cpp
extern const Command kDemo;                             // cmd_demo.cpp

// unknown_command: the usage error of a word that names no command (shown
// only when it could be a command's name: any other may be a key).
[[noreturn]] void unknown_command(const std::string& word);

}  // namespace cli

#endif  // RAWCRYPT_TOOLS_RAWCRYPT_COMMAND_H
