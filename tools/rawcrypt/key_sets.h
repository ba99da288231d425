// A key pair's files: PREFIX.key (mode 0600), PREFIX.x and PREFIX.y, put in
// place together or not at all, one command at a time in their folder; or
// hex lines on standard output. Touches those files and their folder's lock.
#ifndef RAWCRYPT_TOOLS_RAWCRYPT_KEY_SETS_H
#define RAWCRYPT_TOOLS_RAWCRYPT_KEY_SETS_H

#include <memory>
#include <vector>

#include "tools/rawcrypt/formats.h"

namespace cli {

// key_format: the format of a key's files; raw and Base64 need --out. A
// PREFIX without a file name (empty, a folder's "NAME/", ".", "..") is
// refused.
Format key_format(const Args& args);

// refuse_existing: a key's files (`kept`, endings of --out) are not
// replaced without --force.
void refuse_existing(const Args& args, const std::vector<const char*>& kept);

// KeySet: a key pair's files as --out PREFIX and --format say (only the
// halves without the private key), or hex lines on standard output; ready
// before the pair is known: the folder locked, existing files refused
// (`kept`: those not replaced without --force), every output opened, so
// that once a pair exists nothing waits on a FIFO or a lock. write() puts
// them in place together.
class KeySet {
 public:
  KeySet(const Args& args, bool with_private, const std::vector<const char*>& kept);
  void write(const RawKeyPair& key);

 private:
  Format format_;
  bool with_private_, replace_ = true;
  std::unique_ptr<FolderLock> lock_;
  std::unique_ptr<Output> x_, y_, d_;  // x_ alone: standard output
};

// write_key_pair: a pair written at once through a KeySet.
void write_key_pair(const Args& args, const RawKeyPair& key, bool with_private,
                    const std::vector<const char*>& kept);

}  // namespace cli

#endif  // RAWCRYPT_TOOLS_RAWCRYPT_KEY_SETS_H
