// Where a path leads, found as the kernel would, one component at a time
// from opened folders: a file's folder and name, or one of the caller's
// descriptors named through /proc. Touches no file; opens folders only.
#ifndef RAWCRYPT_TOOLS_RAWCRYPT_PATHS_H
#define RAWCRYPT_TOOLS_RAWCRYPT_PATHS_H

#include <string>
#include <utility>

#include <unistd.h>

namespace cli {

// Fd: sole owner of a descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(-1); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Place: where a path leads: the final file's folder (held) and its name
// there, which may not exist and is never a symlink; or, when the path
// names one through /proc, a descriptor of the tool (`descriptor`) or of
// another process (`foreign`, its /proc folder and number). `folder`: the
// path ends in a slash (or "/."), so it names a folder, as open(2) takes it.
struct Place {
  Fd dir;
  std::string name = ".";
  int descriptor = -1;
  bool foreign = false;
  bool folder = false;
};

// resolve: the Place of `path`. Symlinks are followed one at a time from
// the opened folders, each also opened by the kernel, whose refusal
// (protected_symlinks) stands, so names stay short however deep the folder.
// Fails with `failure` and the system's reason, as open(2) would where a
// path that names a folder leads to another file (ENOTDIR).
void resolve(const std::string& path, const std::string& failure, Place* place);

// duplicate: a caller's descriptor named by a path, which must have been
// open when the tool started; fails with `failure`.
int duplicate(int descriptor, const std::string& failure);

// dirname_of: the folder part of a path ("." for a bare name).
std::string dirname_of(const std::string& path);

// exists: whether the path names anything (a dangling symlink included).
bool exists(const std::string& path);

}  // namespace cli

#endif  // RAWCRYPT_TOOLS_RAWCRYPT_PATHS_H
