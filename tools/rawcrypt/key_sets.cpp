// A key pair's files written together, under the folder's lock.
#include "tools/rawcrypt/key_sets.h"

#include "tools/rawcrypt/failure.h"
#include "tools/rawcrypt/paths.h"

namespace cli {

Format key_format(const Args& args) {
  // A PREFIX that names a folder ("", "keys/", "keys/.", "..") would make
  // hidden files: .key, .x, .y (or ..key, ...).
  const std::string prefix = args.get("--out", "-"), name = prefix.substr(prefix.rfind('/') + 1);
  if (name.empty() || name == "." || name == "..")
    throw Failure("--out PREFIX needs a file name after its folder (PREFIX.key, PREFIX.x, PREFIX.y)", kUsage);
  const Format format = format_of(args, "hex");
  if (!args.has("--out") && format != Format::kHex) throw Failure("--format raw or base64 needs --out PREFIX", kUsage);
  return format;
}

void refuse_existing(const Args& args, const std::vector<const char*>& kept) {
  if (!args.has("--out") || args.has("--force")) return;
  for (const char* ending : kept)
    if (exists(args.get("--out") + ending))
      throw Failure(printable(args.get("--out") + ending) + " exists: a key is not replaced without --force");
}

KeySet::KeySet(const Args& args, bool with_private, const std::vector<const char*>& kept)
    : format_(key_format(args)), with_private_(with_private) {
  if (!args.has("--out")) {
    x_ = std::make_unique<Output>("-");  // hex lines
    return;
  }
  const std::string prefix = args.get("--out");
  // One command at a time writes a folder's key sets, from the check to
  // the last rename; without --force no file is replaced even then.
  lock_ = std::make_unique<FolderLock>(prefix);
  refuse_existing(args, kept);
  replace_ = args.has("--force") || kept.empty();
  // The key and its halves are replaced together: a key never stands beside
  // another key's public halves.
  x_ = std::make_unique<Output>(prefix + ".x");
  y_ = std::make_unique<Output>(prefix + ".y");
  if (with_private) d_ = std::make_unique<Output>(prefix + ".key", Output::kSecret);
}

void KeySet::write(const RawKeyPair& key) {
  if (!y_) {  // hex lines
    if (with_private_) {
      x_->write("private ");
      write_secret(*x_, key.d, Format::kHex);
    }
    x_->write("x " + host::to_hex(key.x) + "\ny " + host::to_hex(key.y) + "\n");
    x_->commit();
    return;
  }
  write_value(*x_, key.x, format_);
  write_value(*y_, key.y, format_);
  if (!with_private_) {
    commit_together({x_.get(), y_.get()}, replace_);
    return;
  }
  write_secret(*d_, key.d, format_);
  commit_together({x_.get(), y_.get(), d_.get()}, replace_);
}

void write_key_pair(const Args& args, const RawKeyPair& key, bool with_private,
                    const std::vector<const char*>& kept) {
  KeySet(args, with_private, kept).write(key);
}

}  // namespace cli
