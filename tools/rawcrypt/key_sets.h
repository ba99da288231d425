// A key pair's files: PREFIX.key (mode 0600), PREFIX.x and PREFIX.y, put in
// place together or not at all, one command at a time in their folder; or
// hex lines on standard output. Touches those files and their folder's lock.
#ifndef RAWCRYPT_TOOLS_RAWCRYPT_KEY_SETS_H
#define RAWCRYPT_TOOLS_RAWCRYPT_KEY_SETS_H

#include <vector>

#include "tools/rawcrypt/formats.h"

namespace cli {

// key_format: the format of a key's files; raw and Base64 need --out. A
// PREFIX without a file name (empty, or a folder's "NAME/") is refused.
Format key_format(const Args& args);

// refuse_existing: a key's files (`kept`, endings of --out) are not
// replaced without --force.
void refuse_existing(const Args& args, const std::vector<const char*>& kept);

// write_key_pair: the pair as --out PREFIX and --format say (only the
// halves without the private key), or hex lines on standard output.
// `kept`: the files that are not replaced without --force.
void write_key_pair(const Args& args, const RawKeyPair& key, bool with_private,
                    const std::vector<const char*>& kept);

}  // namespace cli

#endif  // RAWCRYPT_TOOLS_RAWCRYPT_KEY_SETS_H
