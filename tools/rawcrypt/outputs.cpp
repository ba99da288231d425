// Outputs: temporaries, one file or a set replaced together, folder locks.
#include "tools/rawcrypt/outputs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/rawcrypt/failure.h"
#include "tools/rawcrypt/paths.h"
#include "tools/rawcrypt/process.h"

namespace cli {
namespace {

unsigned name_serial = 0;  // one count for every name the tool makes

// unique_name: `stem` and a serial number, given to a file by make(name),
// which fails with EEXIST when the name is taken. An empty name, with
// errno, when make fails otherwise.
template <typename Make>
std::string unique_name(const std::string& stem, Make make) {
  for (int attempt = 0; attempt < 64; ++attempt) {
    char serial[8];
    snprintf(serial, sizeof serial, "%04x", name_serial++ & 0xffffu);
    const std::string name = stem + serial;
    if (make(name)) return name;
    if (errno != EEXIST) return "";
  }
  return "";
}

// named_temp: a temporary's fixed-length name in `dir`, whatever the
// output's name, given by make(name) and remembered for the signal
// handler with the descriptor *fd, all with the signals held.
template <typename Make>
std::string named_temp(int dir, const int* fd, int* slot, Make make) {
  char stem[24];
  snprintf(stem, sizeof stem, ".rawcrypt.tmp-%08x", static_cast<unsigned>(getpid()));
  SignalsHeld held;
  const std::string name = unique_name(stem, make);
  if (name.empty()) return name;
  *slot = remember_temp(dir, *fd, name);
  if (*slot >= 0) return name;
  unlinkat(dir, name.c_str(), 0);
  errno = EMFILE;
  return "";
}

// self_path: the name through which linkat reaches an unnamed file.
std::string self_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

void write_all(int fd, const void* data, size_t size, const std::string& shown) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR && !interrupted()) continue;
    if (n <= 0) throw Failure(system_error("cannot write " + shown));
    p += n;
    size -= static_cast<size_t>(n);
  }
}

bool same_file(int dir_a, const std::string& a, int dir_b, const std::string& b) {
  struct stat sa, sb;
  return a == b && fstat(dir_a, &sa) == 0 && fstat(dir_b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace

Output::Output(const std::string& path, Kind kind) : shown_(printable(path)) {
  const std::string failure = "cannot write " + shown_;
  if (path == "-") {
    if (!was_open_at_start(1) || fcntl(1, F_GETFL) < 0) throw Failure("standard output is closed");
    standard_ = true;
    fd_ = 1;
    return;
  }
  Place place;
  resolve(path, failure, &place);
  if (place.descriptor >= 0) {  // its offset and flags (O_APPEND of ">>") are the caller's
    fd_ = duplicate(place.descriptor, failure);
    return;
  }
  dir_ = place.dir.release();
  name_ = place.name;
  struct stat st;
  const bool present = fstatat(dir_, name_.c_str(), &st, 0) == 0;
  if (place.folder && !present) fail(failure, EISDIR);  // "NAME/" is no new file
  if (place.foreign && (!present || S_ISREG(st.st_mode)))
    throw Failure(failure + ": an open file of another process (name the file itself)");
  if (present && !S_ISREG(st.st_mode)) {  // a device, a FIFO, a terminal
    fd_ = openat(dir_, name_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd_ < 0) throw Failure(system_error(failure));
    return;
  }
  replaces_ = true;
  // An unnamed temporary is named at commit through /proc; without it, or
  // on a filesystem without unnamed temporaries, it has a name from the start.
  fd_ = openat(dir_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  unnamed_ = fd_ >= 0 && access(self_path(fd_).c_str(), F_OK) == 0;
  if (!unnamed_) {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    named_temp_ = named_temp(dir_, &fd_, &slot_, [&](const std::string& name) {
      fd_ = openat(dir_, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
      return fd_ >= 0;
    });
    if (named_temp_.empty()) throw Failure(system_error(failure));
  }
  mode_t mode;
  if (present) {
    mode = st.st_mode & 07777;
    if (geteuid() == 0 || st.st_uid == geteuid()) (void)!fchown(fd_, st.st_uid, st.st_gid);
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  if (kind == kSecret) mode = 0600;
  if (fchmod(fd_, mode) != 0) throw Failure(system_error(failure));
}

Output::~Output() {
  drop_temp();
  if (fd_ >= 0 && !standard_) close(fd_);
  if (dir_ >= 0) close(dir_);
}

void Output::drop_temp() {
  if (named_temp_.empty()) return;
  remove_named(dir_, named_temp_.c_str(), fd_);
  forget_temp(&slot_);
  named_temp_.clear();
}

void Output::write(const void* data, size_t size) { write_all(fd_, data, size, shown_); }

void Output::stage() {
  if (standard_) return;  // standard output stays open; main() checks its close
  if (!replaces_) {
    const int fd = std::exchange(fd_, -1);
    if (close(fd) != 0) throw Failure(system_error("cannot write " + shown_));
    return;
  }
  // Synced, the file is whole; its descriptor stays open until it is in
  // place, to empty it should it be impossible to remove.
  if (fsync(fd_) != 0) throw Failure(system_error("cannot write " + shown_));
  if (unnamed_) {
    const std::string self = self_path(fd_);
    named_temp_ = named_temp(dir_, &fd_, &slot_, [&](const std::string& name) {
      return linkat(AT_FDCWD, self.c_str(), dir_, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
    });
    if (named_temp_.empty()) throw Failure(system_error("cannot write " + shown_));
    unnamed_ = false;
  }
}

void commit_together(std::initializer_list<Output*> outputs, bool replace_existing) {
  const std::vector<Output*> list(outputs);
  for (size_t i = 0; i < list.size(); ++i)
    for (size_t j = 0; j < i; ++j)
      if (list[i]->replaces_ && list[j]->replaces_ &&
          same_file(list[i]->dir_, list[i]->name_, list[j]->dir_, list[j]->name_))
        throw Failure(list[j]->shown_ + " and " + list[i]->shown_ + " lead to one file");
  for (Output* out : list) out->stage();
  // The files change with the signals held: an interruption finds every
  // one replaced or none (none, when a deferred signal came before).
  SignalsHeld held;
  if (interrupted()) throw Failure("interrupted by a signal");
  std::vector<std::string> kept(list.size());  // old files, until all are replaced
  size_t landed = 0;
  try {
    for (; landed < list.size(); ++landed) {
      Output& out = *list[landed];
      if (!out.replaces_) continue;
      const int dir = out.dir_;
      const char* target = out.name_.c_str();
      struct stat st;
      const bool present = fstatat(dir, target, &st, AT_SYMLINK_NOFOLLOW) == 0;
      if (replace_existing && landed + 1 < list.size() && present) {  // the last one is never undone
        kept[landed] = unique_name(out.name_.substr(0, 240) + ".old-", [&](const std::string& name) {
          // Without hard links (vfat), the old file is moved aside instead.
          return linkat(dir, target, dir, name.c_str(), 0) == 0 ||
                 (errno != EEXIST && renameat2(dir, target, dir, name.c_str(), RENAME_NOREPLACE) == 0);
        });
        if (kept[landed].empty()) throw Failure(system_error("cannot write " + out.shown_));
      }
      if (renameat2(dir, out.named_temp_.c_str(), dir, target, replace_existing ? 0 : RENAME_NOREPLACE) != 0)
        throw Failure(system_error("cannot write " + out.shown_));
      forget_temp(&out.slot_);
      out.named_temp_.clear();
    }
  } catch (const std::exception& e) {
    std::string lost;  // old files that could not be put back
    for (size_t i = std::min(landed + 1, list.size()); i-- > 0;) {
      const Output& out = *list[i];
      if (!kept[i].empty()) {  // a link beside the file in place is merely removed
        if (renameat(out.dir_, kept[i].c_str(), out.dir_, out.name_.c_str()) != 0)
          lost += "; the old " + out.shown_ + " is kept beside it as " + printable(kept[i]);
        else if (unlinkat(out.dir_, kept[i].c_str(), 0) != 0 && errno != ENOENT)
          lost += "; " + printable(kept[i]) + " is left beside " + out.shown_ + ", another name of it";
      } else if (i < landed && out.replaces_) {
        unlinkat(out.dir_, out.name_.c_str(), 0);
      }
    }
    const auto* failure = dynamic_cast<const Failure*>(&e);
    throw Failure(e.what() + lost, failure ? failure->exit_code : kFailed);
  }
  for (size_t i = 0; i < list.size(); ++i)
    if (!kept[i].empty()) unlinkat(list[i]->dir_, kept[i].c_str(), 0);
}

FolderLock::FolderLock(const std::string& path) {
  fd_ = open(dirname_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int locked = -1;
  while (fd_ >= 0 && (locked = flock(fd_, LOCK_EX)) != 0 && errno == EINTR && !interrupted()) {
  }
  if (locked != 0) throw Failure(system_error("cannot write " + printable(path)));
}

FolderLock::~FolderLock() {
  if (fd_ >= 0) close(fd_);
}

}  // namespace cli
