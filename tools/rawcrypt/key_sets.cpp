// A key pair's files written together, under the folder's lock.
#include "tools/rawcrypt/key_sets.h"

#include "tools/rawcrypt/failure.h"
#include "tools/rawcrypt/paths.h"

namespace cli {

Format key_format(const Args& args) {
  const std::string prefix = args.get("--out", "-");
  if (prefix.empty() || prefix.back() == '/')  // the files would be hidden ones: .key, .x, .y
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

}  // namespace cli
