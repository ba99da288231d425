// Paths resolved from opened folders, and descriptors named through /proc.
#include "tools/rawcrypt/paths.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <deque>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include "tools/rawcrypt/failure.h"
#include "tools/rawcrypt/process.h"

namespace cli {
namespace {

std::deque<std::string> components(const std::string& path) {
  std::deque<std::string> parts;
  for (size_t at = 0; at < path.size();) {
    const size_t slash = std::min(path.find('/', at), path.size());
    if (slash > at && path.compare(at, slash - at, ".") != 0) parts.push_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  return parts;
}

int open_folder(const char* path) { return open(path, O_PATH | O_DIRECTORY | O_CLOEXEC); }

// names_folder: whether a path (or a symlink's text) ends in "/" or "/.",
// which only a folder may.
bool names_folder(const std::string& path) {
  return !path.empty() && (path.back() == '/' || (path.size() >= 2 && path.compare(path.size() - 2, 2, "/.") == 0));
}

bool on_proc(int dir) {
  struct statfs fs;
  return fstatfs(dir, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// own_descriptors: whether `dir` is the tool's own folder of descriptors.
bool own_descriptors(int dir) {
  struct stat here, own;
  if (fstat(dir, &here) != 0) return false;
  for (const char* path : {"/proc/self/fd", "/proc/thread-self/fd"})
    if (stat(path, &own) == 0 && own.st_dev == here.st_dev && own.st_ino == here.st_ino) return true;
  return false;
}

}  // namespace

void resolve(const std::string& path, const std::string& failure, Place* place) {
  Fd& dir = place->dir;
  dir.reset(open_folder(path.compare(0, 1, "/") == 0 ? "/" : "."));
  if (dir.get() < 0) fail(failure, errno);
  std::deque<std::string> rest = components(path);
  place->folder = names_folder(path);
  for (int links = 0; !rest.empty();) {
    place->name = std::move(rest.front());
    rest.pop_front();
    const char* name = place->name.c_str();
    const bool last = rest.empty();
    struct stat st;
    if (fstatat(dir.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT && last) return;  // a new file
      fail(failure, errno);
    }
    if (!S_ISLNK(st.st_mode)) {
      if (last && place->folder && !S_ISDIR(st.st_mode)) fail(failure, ENOTDIR);
      if (last) return;
      dir.reset(openat(dir.get(), name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (dir.get() < 0) fail(failure, errno);
      continue;
    }
    if (++links > 40) fail(failure, ELOOP);
    Fd via(openat(dir.get(), name, O_PATH | O_CLOEXEC));
    if (via.get() < 0 && (errno == EACCES || errno == ELOOP)) fail(failure, errno);
    if (on_proc(dir.get())) {
      // /proc's links lead where the kernel says, not where their text does
      // (/proc/self, or "pipe:[...]" and "... (deleted)" of descriptors).
      if (last && place->folder) {  // the folder itself, or nothing
        struct stat target;
        if (via.get() < 0 || fstat(via.get(), &target) != 0 || !S_ISDIR(target.st_mode)) fail(failure, ENOTDIR);
        dir.reset(via.release());
        place->name = ".";
        return;
      }
      if (last && own_descriptors(dir.get()) && place->name.size() < 10 &&
          place->name.find_first_not_of("0123456789") == std::string::npos) {
        place->descriptor = std::stoi(place->name);
        return;
      }
      if (via.get() < 0) fail(failure, errno);
      if (last) {
        place->foreign = true;
        return;
      }
      dir.reset(via.release());
      continue;
    }
    char text[PATH_MAX];
    const ssize_t n = readlinkat(dir.get(), name, text, sizeof text - 1);
    if (n < 0) fail(failure, errno);
    text[n] = '\0';
    if (last && names_folder(text)) place->folder = true;
    if (text[0] == '/') dir.reset(open_folder("/"));
    if (dir.get() < 0) fail(failure, errno);
    const std::deque<std::string> more = components(text);
    rest.insert(rest.begin(), more.begin(), more.end());
  }
}

int duplicate(int descriptor, const std::string& failure) {
  if (!was_open_at_start(descriptor)) fail(failure, EBADF);
  const int fd = fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
  if (fd < 0) fail(failure, errno);
  return fd;
}

std::string dirname_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace cli
