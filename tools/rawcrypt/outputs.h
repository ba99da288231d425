// A command's outputs: a regular file replaced whole or not at all (alone or
// with the other files of a set), or a device, a pipe, a terminal or one of
// the caller's descriptors written straight through; and the lock that
// makes commands writing one folder's key sets take turns. Touches only
// the outputs' files, their temporaries and old copies, in their folders.
#ifndef RAWCRYPT_TOOLS_RAWCRYPT_OUTPUTS_H
#define RAWCRYPT_TOOLS_RAWCRYPT_OUTPUTS_H

#include <cstddef>
#include <initializer_list>
#include <string>

namespace cli {

// Output: where a command's result goes.
// - "-" (that name only): standard output, which must be open.
// - any path that names one of the caller's descriptors through /proc
//   (/dev/stdout, /dev/fd/N, /proc/self/fd/N, a symlink to one, ...):
//   written through a duplicate of it, at its offset and with its flags.
//   The descriptor must have been open when the tool started; another
//   process's descriptor of a regular file is refused (name the file).
// - a regular file, new or existing, through any symlinks: written to a
//   temporary in the final file's folder (unnamed where the filesystem and
//   /proc allow) and put in its place by commit(), keeping an existing
//   file's mode (and owner and group, where the user may set them); other
//   hard links keep the old content. A command that fails, or is ended by a
//   signal, leaves the old file as it was and no temporary file (at most an
//   empty one, in a folder where files cannot be removed).
// - anything else (a device, a FIFO, a terminal): written straight through.
// Secret outputs are mode 0600 whatever existed. Every write is checked,
// and the fsync of a replacing file or the close of any other.
class Output;

// commit_together: outputs that belong together (a key and its public
// halves) are all put in place, or on any failure none is: each keeps its
// old file whole. Without `replace_existing`, an existing file fails the
// commit instead. Two outputs that lead to one file are refused. While one
// is replaced, its old file is kept as NAME.old-N, removed at the end: only
// a hard kill (SIGKILL, a power cut) leaves it, and renaming it back
// restores the old file.
void commit_together(std::initializer_list<Output*> outputs, bool replace_existing = true);

class Output {
 public:
  enum Kind { kPublic, kSecret };
  explicit Output(const std::string& path, Kind kind = kPublic);
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  void write(const void* data, size_t size);
  void write(const std::string& text) { write(text.data(), text.size()); }
  void commit() { commit_together({this}); }

 private:
  friend void commit_together(std::initializer_list<Output*> outputs, bool replace_existing);
  void stage();  // written, synced, and named in the target's folder
  void drop_temp();

  std::string shown_;         // the path as the user gave it, as messages show it
  int dir_ = -1;              // the folder of the regular file commit() replaces
  std::string name_;          // that file's name in it
  std::string named_temp_;    // the temporary's name there, once it has one
  int fd_ = -1;
  int slot_ = -1;             // of named_temp_ among those a signal removes
  bool standard_ = false, replaces_ = false, unnamed_ = false;
};

// FolderLock: an exclusive lock on the folder of `path`, held until it is
// destroyed, so that two commands writing one set of files take turns.
class FolderLock {
 public:
  explicit FolderLock(const std::string& path);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace cli

#endif  // RAWCRYPT_TOOLS_RAWCRYPT_OUTPUTS_H
